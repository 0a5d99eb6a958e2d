// lame.so: the four-call encoder stream interface over libmp3lame, the finished
// stream's LAME tag frame, and float samples at full resolution through the two
// optional entry points.

#include "lame_encoder.h"

#include <lame/lame.h>

#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

namespace {

// The record's fields, read byte by byte from the caller's buffer.
struct Settings {
    std::uint32_t sampleRate = 0;
    std::uint32_t reSampleRate = 0;
    std::int32_t mode = 0;
    std::uint32_t bitrate = 0;
    std::uint32_t maxBitrate = 0;
    std::int32_t preset = 0;
    std::uint32_t mpegVersion = 0;
    std::uint32_t psyModel = 0;
    std::uint32_t emphasis = 0;
    bool privateBit = false;
    bool crc = false;
    bool copyright = false;
    bool original = false;
    bool writeVbrHeader = false;
    bool enableVbr = false;
    std::int32_t vbrQuality = 0;
    std::uint32_t abrBps = 0;
    std::int32_t vbrMethod = 0;
};

std::uint32_t get32(const std::uint8_t* p, std::size_t offset) {
    return static_cast<std::uint32_t>(p[offset]) |
           (static_cast<std::uint32_t>(p[offset + 1]) << 8) |
           (static_cast<std::uint32_t>(p[offset + 2]) << 16) |
           (static_cast<std::uint32_t>(p[offset + 3]) << 24);
}

std::int32_t getSigned32(const std::uint8_t* p, std::size_t offset) {
    return static_cast<std::int32_t>(get32(p, offset));
}

Settings readSettings(const std::uint8_t* r) {
    Settings s;
    s.sampleRate = get32(r, BE_OFFSET_SAMPLE_RATE);
    s.reSampleRate = get32(r, BE_OFFSET_RESAMPLE_RATE);
    s.mode = getSigned32(r, BE_OFFSET_MODE);
    s.bitrate = get32(r, BE_OFFSET_BITRATE);
    s.maxBitrate = get32(r, BE_OFFSET_MAX_BITRATE);
    s.preset = getSigned32(r, BE_OFFSET_PRESET);
    s.mpegVersion = get32(r, BE_OFFSET_MPEG_VERSION);
    s.psyModel = get32(r, BE_OFFSET_PSY_MODEL);
    s.emphasis = get32(r, BE_OFFSET_EMPHASIS);
    s.privateBit = get32(r, BE_OFFSET_PRIVATE) != 0;
    s.crc = get32(r, BE_OFFSET_CRC) != 0;
    s.copyright = get32(r, BE_OFFSET_COPYRIGHT) != 0;
    s.original = get32(r, BE_OFFSET_ORIGINAL) != 0;
    s.writeVbrHeader = get32(r, BE_OFFSET_WRITE_VBR_HEADER) != 0;
    s.enableVbr = get32(r, BE_OFFSET_ENABLE_VBR) != 0;
    s.vbrQuality = getSigned32(r, BE_OFFSET_VBR_QUALITY);
    s.abrBps = get32(r, BE_OFFSET_ABR_BPS);
    s.vbrMethod = getSigned32(r, BE_OFFSET_VBR_METHOD);
    return s;
}

// The library reports nothing on the terminal; results carry every failure.
void quiet(const char*, va_list) {}

struct LameDeleter {
    void operator()(lame_global_flags* gfp) const { lame_close(gfp); }
};
using LamePtr = std::unique_ptr<lame_global_flags, LameDeleter>;

// libmp3lame builds shared tables on first initialisation; stream set-up is serialised.
std::mutex g_initMutex;

bool isQualityPreset(std::int32_t preset) {
    return preset >= BE_PRESET_NONE && preset < BE_PRESET_STANDARD;
}

// The preset's own settings; false for an unknown preset.
bool applyPreset(lame_global_flags* gfp, const Settings& s) {
    switch (s.preset) {
    case BE_PRESET_NONE:
        return true;
    case BE_PRESET_NORMAL_QUALITY:
        // libmp3lame's own default quality, the one its command-line tool uses.
        lame_set_quality(gfp, 3);
        return true;
    case BE_PRESET_LOW_QUALITY:
        lame_set_quality(gfp, 9);
        return true;
    case BE_PRESET_HIGH_QUALITY:
        lame_set_quality(gfp, 2);
        return true;
    case BE_PRESET_VOICE_QUALITY:
    case BE_PRESET_VOICE:
        lame_set_mode(gfp, MONO);
        lame_set_preset(gfp, 56);
        return true;
    case BE_PRESET_R3MIX:
        lame_set_preset(gfp, R3MIX);
        return true;
    case BE_PRESET_VERYHIGH_QUALITY:
        lame_set_quality(gfp, 0);
        return true;
    case BE_PRESET_STANDARD:
        lame_set_preset(gfp, STANDARD);
        return true;
    case BE_PRESET_FAST_STANDARD:
        lame_set_preset(gfp, STANDARD_FAST);
        return true;
    case BE_PRESET_EXTREME:
        lame_set_preset(gfp, EXTREME);
        return true;
    case BE_PRESET_FAST_EXTREME:
        lame_set_preset(gfp, EXTREME_FAST);
        return true;
    case BE_PRESET_INSANE:
        lame_set_preset(gfp, INSANE);
        return true;
    case BE_PRESET_ABR: {
        std::uint32_t kbps = s.abrBps / 1000;
        lame_set_preset(gfp, static_cast<int>(kbps < 8 ? 8 : kbps > 320 ? 320 : kbps));
        return true;
    }
    case BE_PRESET_CBR:
        lame_set_preset(gfp, static_cast<int>(s.bitrate));
        lame_set_VBR(gfp, vbr_off);
        return true;
    case BE_PRESET_MEDIUM:
        lame_set_preset(gfp, MEDIUM);
        return true;
    case BE_PRESET_FAST_MEDIUM:
        lame_set_preset(gfp, MEDIUM_FAST);
        return true;
    case BE_PRESET_PHONE:
        lame_set_mode(gfp, MONO);
        lame_set_preset(gfp, 16);
        return true;
    case BE_PRESET_SW:
        lame_set_mode(gfp, MONO);
        lame_set_preset(gfp, 24);
        return true;
    case BE_PRESET_AM:
        lame_set_mode(gfp, MONO);
        lame_set_preset(gfp, 40);
        return true;
    case BE_PRESET_FM:
    case BE_PRESET_RADIO:
    case BE_PRESET_TAPE:
        lame_set_preset(gfp, 112);
        return true;
    case BE_PRESET_HIFI:
        lame_set_preset(gfp, 160);
        return true;
    case BE_PRESET_CD:
        lame_set_preset(gfp, 192);
        return true;
    case BE_PRESET_STUDIO:
        lame_set_preset(gfp, 256);
        return true;
    default:
        return false;
    }
}

// Maps the record onto libmp3lame; BE_ERR_SUCCESSFUL or the refusal's code.
std::uint32_t configure(lame_global_flags* gfp, const Settings& s) {
    lame_set_errorf(gfp, quiet);
    lame_set_debugf(gfp, quiet);
    lame_set_msgf(gfp, quiet);

    lame_set_in_samplerate(gfp, static_cast<int>(s.sampleRate));
    if (s.sampleRate == 0 || s.sampleRate > 1000000 || s.reSampleRate > 1000000 ||
        s.bitrate > 10000 || s.maxBitrate > 10000) {
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }

    if (s.preset == BE_PRESET_ABR || s.preset == BE_PRESET_CBR) {
        applyPreset(gfp, s);
    }

    // The named presets of libmp3lame carry their own mode and rate settings.
    if (isQualityPreset(s.preset) || s.preset == BE_PRESET_ABR || s.preset == BE_PRESET_CBR) {
        switch (s.mode) {
        case BE_MP3_MODE_STEREO:
            lame_set_mode(gfp, STEREO);
            break;
        case BE_MP3_MODE_JSTEREO:
            lame_set_mode(gfp, JOINT_STEREO);
            break;
        case BE_MP3_MODE_DUALCHANNEL:
            // libmp3lame has no dual-channel coding; plain stereo codes the two
            // channels independently, which is the nearest.
            lame_set_mode(gfp, STEREO);
            break;
        case BE_MP3_MODE_MONO:
            lame_set_mode(gfp, MONO);
            break;
        default:
            return BE_ERR_INVALID_FORMAT_PARAMETERS;
        }

        if (s.enableVbr) {
            if (s.vbrQuality < 0 || s.vbrQuality > 9) {
                return BE_ERR_INVALID_FORMAT_PARAMETERS;
            }
            lame_set_VBR_q(gfp, s.vbrQuality);
            switch (s.vbrMethod) {
            case BE_VBR_METHOD_NONE:
                lame_set_VBR(gfp, vbr_off);
                break;
            case BE_VBR_METHOD_DEFAULT:
                lame_set_VBR(gfp, vbr_default);
                break;
            case BE_VBR_METHOD_OLD:
                lame_set_VBR(gfp, vbr_rh);
                break;
            case BE_VBR_METHOD_NEW:
            case BE_VBR_METHOD_MTRH:
                lame_set_VBR(gfp, vbr_mtrh);
                break;
            case BE_VBR_METHOD_ABR:
                lame_set_VBR(gfp, vbr_abr);
                break;
            default:
                return BE_ERR_INVALID_FORMAT_PARAMETERS;
            }
        } else {
            lame_set_VBR(gfp, vbr_off);
        }

        if (s.bitrate > 0) {
            lame_set_brate(gfp, static_cast<int>(s.bitrate));
        }

        // An average bitrate, in bit/s, selects average-rate coding whatever the method.
        if (s.abrBps > 0) {
            std::uint32_t kbps = (s.abrBps + 500) / 1000;
            kbps = kbps < 8 ? 8 : kbps > 320 ? 320 : kbps;
            lame_set_VBR(gfp, vbr_abr);
            lame_set_VBR_mean_bitrate_kbps(gfp, static_cast<int>(kbps));
        }
    }

    if (s.preset != BE_PRESET_ABR && s.preset != BE_PRESET_CBR && !applyPreset(gfp, s)) {
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }

    if (s.reSampleRate > 0) {
        lame_set_out_samplerate(gfp, static_cast<int>(s.reSampleRate));
    }

    // Mono means one input channel, whatever the preset.
    if (s.mode == BE_MP3_MODE_MONO) {
        lame_set_mode(gfp, MONO);
        lame_set_num_channels(gfp, 1);
    } else {
        lame_set_num_channels(gfp, 2);
    }

    // The MPEG version follows from the output rate in libmp3lame, and it has a single
    // psychoacoustic model: both fields are accepted without effect.
    (void)s.mpegVersion;
    (void)s.psyModel;
    if (s.emphasis > 3 || s.emphasis == 2) {
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    lame_set_emphasis(gfp, static_cast<int>(s.emphasis));

    lame_set_copyright(gfp, s.copyright ? 1 : 0);
    lame_set_original(gfp, s.original ? 1 : 0);
    lame_set_error_protection(gfp, s.crc ? 1 : 0);
    lame_set_extension(gfp, s.privateBit ? 1 : 0);

    if (s.bitrate > 0) {
        lame_set_VBR_min_bitrate_kbps(gfp, static_cast<int>(s.bitrate));
    }
    if (s.maxBitrate > 0) {
        lame_set_VBR_max_bitrate_kbps(gfp, static_cast<int>(s.maxBitrate));
    }
    lame_set_bWriteVbrTag(gfp, s.writeVbrHeader ? 1 : 0);

    if (lame_init_params(gfp) != 0) {
        return BE_ERR_ENCODER_FAILURE;
    }
    return BE_ERR_SUCCESSFUL;
}

struct Stream {
    LamePtr lame;
    int channels = 2;
    std::uint32_t samplesPerChunk = 0;
    std::uint32_t outputBufferSize = 0;
    bool flushed = false;
    // The Xing/Info tag frame taken at the flush; empty when the stream has none.
    std::vector<std::uint8_t> tagFrame;
    // With two channels, a lone last value of one call waits for its partner.
    bool hasPending = false;
    std::int16_t pending = 0;
    std::vector<std::int16_t> joined;
    std::vector<float> clamped; // float values of one call, limited to full scale
    std::mutex mutex;
};

class StreamTable {
public:
    // Registers a stream; 0 when the table is full.
    std::uint32_t add(std::shared_ptr<Stream> stream) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (streams_.size() >= BE_MAX_STREAMS) {
            return 0;
        }
        do {
            ++next_;
        } while (next_ == 0 || streams_.count(next_) != 0);
        streams_.emplace(next_, std::move(stream));
        return next_;
    }

    std::shared_ptr<Stream> find(std::uint32_t handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = streams_.find(handle);
        return it == streams_.end() ? nullptr : it->second;
    }

    std::shared_ptr<Stream> remove(std::uint32_t handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = streams_.find(handle);
        if (it == streams_.end()) {
            return nullptr;
        }
        std::shared_ptr<Stream> stream = std::move(it->second);
        streams_.erase(it);
        return stream;
    }

private:
    std::mutex mutex_;
    std::uint32_t next_ = 0;
    std::unordered_map<std::uint32_t, std::shared_ptr<Stream>> streams_;
};

StreamTable& table() {
    static StreamTable instance;
    return instance;
}

std::uint32_t initStream(const std::uint8_t* config, std::uint32_t* samplesPerChunk,
                         std::uint32_t* outputBufferSize, std::uint32_t* handle) {
    if (samplesPerChunk) {
        *samplesPerChunk = 0;
    }
    if (outputBufferSize) {
        *outputBufferSize = 0;
    }
    if (handle) {
        *handle = 0;
    }
    if (!config || !samplesPerChunk || !outputBufferSize || !handle) {
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    if (get32(config, BE_OFFSET_KIND) != BE_CONFIG_LAME ||
        get32(config, BE_OFFSET_VERSION) != BE_CONFIG_VERSION ||
        get32(config, BE_OFFSET_SIZE) != BE_CONFIG_SIZE) {
        return BE_ERR_INVALID_FORMAT;
    }
    Settings settings = readSettings(config);

    auto stream = std::make_shared<Stream>();
    {
        std::lock_guard<std::mutex> lock(g_initMutex);
        stream->lame.reset(lame_init());
        if (!stream->lame) {
            return BE_ERR_NO_MORE_HANDLES;
        }
        std::uint32_t result = configure(stream->lame.get(), settings);
        if (result != BE_ERR_SUCCESSFUL) {
            return result;
        }
    }
    lame_global_flags* gfp = stream->lame.get();
    int frameSize = lame_get_framesize(gfp);
    stream->channels = lame_get_num_channels(gfp);
    if (frameSize <= 0 || (stream->channels != 1 && stream->channels != 2)) {
        return BE_ERR_ENCODER_FAILURE;
    }
    stream->samplesPerChunk = static_cast<std::uint32_t>(frameSize * stream->channels);
    // libmp3lame's worst case for n values is 1.25 n + 7200 bytes; one value more
    // covers a value carried over from the previous call.
    stream->outputBufferSize = (5 * (stream->samplesPerChunk + 1) + 3) / 4 + 7200;
    stream->joined.reserve(stream->samplesPerChunk + 1);

    std::uint32_t id = table().add(stream);
    if (id == 0) {
        return BE_ERR_NO_MORE_HANDLES;
    }
    *samplesPerChunk = stream->samplesPerChunk;
    *outputBufferSize = stream->outputBufferSize;
    *handle = id;
    return BE_ERR_SUCCESSFUL;
}

// The checks both chunk calls start with: the count of bytes produced is 0 until
// something is encoded, the handle names a stream and every buffer is there. The
// stream, or null with `error` set.
std::shared_ptr<Stream> chunkStream(std::uint32_t handle, const void* samples,
                                    const std::uint8_t* output, std::uint32_t* outputBytes,
                                    std::uint32_t& error) {
    if (outputBytes) {
        *outputBytes = 0;
    }
    std::shared_ptr<Stream> stream = table().find(handle);
    if (!stream) {
        error = BE_ERR_INVALID_HANDLE;
        return nullptr;
    }
    if (!samples || !output || !outputBytes) {
        error = BE_ERR_INVALID_FORMAT_PARAMETERS;
        return nullptr;
    }
    return stream;
}

std::uint32_t encodeChunk(std::uint32_t handle, std::uint32_t count, const std::int16_t* samples,
                          std::uint8_t* output, std::uint32_t* outputBytes) {
    std::uint32_t error = BE_ERR_SUCCESSFUL;
    std::shared_ptr<Stream> stream = chunkStream(handle, samples, output, outputBytes, error);
    if (!stream) {
        return error;
    }
    std::lock_guard<std::mutex> lock(stream->mutex);
    if (stream->flushed || count > stream->samplesPerChunk) {
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    lame_global_flags* gfp = stream->lame.get();
    const int outSize = static_cast<int>(stream->outputBufferSize);
    int produced = 0;
    if (stream->channels == 1) {
        // libmp3lame's buffer functions take non-const pointers but only read them.
        auto* pcm = const_cast<short*>(reinterpret_cast<const short*>(samples));
        produced = lame_encode_buffer(gfp, pcm, pcm, static_cast<int>(count), output, outSize);
    } else {
        const std::int16_t* values = samples;
        std::uint32_t total = count;
        if (stream->hasPending) {
            stream->joined.assign(1, stream->pending);
            stream->joined.insert(stream->joined.end(), samples, samples + count);
            values = stream->joined.data();
            total = count + 1;
        }
        stream->hasPending = (total % 2) != 0;
        if (stream->hasPending) {
            stream->pending = values[total - 1];
        }
        auto* pcm = const_cast<short*>(reinterpret_cast<const short*>(values));
        produced =
            lame_encode_buffer_interleaved(gfp, pcm, static_cast<int>(total / 2), output, outSize);
    }
    if (produced == -1) {
        return BE_ERR_BUFFER_TOO_SMALL;
    }
    if (produced < 0) {
        return BE_ERR_ENCODER_FAILURE;
    }
    *outputBytes = static_cast<std::uint32_t>(produced);
    return BE_ERR_SUCCESSFUL;
}

std::uint32_t encodeChunkFloat(std::uint32_t handle, std::uint32_t count, const float* samples,
                               std::uint8_t* output, std::uint32_t* outputBytes) {
    std::uint32_t error = BE_ERR_SUCCESSFUL;
    std::shared_ptr<Stream> stream = chunkStream(handle, samples, output, outputBytes, error);
    if (!stream) {
        return error;
    }
    std::lock_guard<std::mutex> lock(stream->mutex);
    if (stream->flushed || count > stream->samplesPerChunk ||
        (stream->channels == 2 && (count % 2 != 0 || stream->hasPending))) {
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    // libmp3lame does not clip above full scale: the values are limited here.
    stream->clamped.resize(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const float v = samples[i];
        stream->clamped[i] = v > 1.0f ? 1.0f : v < -1.0f ? -1.0f : v == v ? v : 0.0f;
    }
    lame_global_flags* gfp = stream->lame.get();
    const int outSize = static_cast<int>(stream->outputBufferSize);
    float* pcm = stream->clamped.data();
    int produced = 0;
    if (stream->channels == 1) {
        produced =
            lame_encode_buffer_ieee_float(gfp, pcm, pcm, static_cast<int>(count), output, outSize);
    } else {
        produced = lame_encode_buffer_interleaved_ieee_float(gfp, pcm, static_cast<int>(count / 2),
                                                             output, outSize);
    }
    if (produced == -1) {
        return BE_ERR_BUFFER_TOO_SMALL;
    }
    if (produced < 0) {
        return BE_ERR_ENCODER_FAILURE;
    }
    *outputBytes = static_cast<std::uint32_t>(produced);
    return BE_ERR_SUCCESSFUL;
}

std::uint32_t deinitStream(std::uint32_t handle, std::uint8_t* output, std::uint32_t* outputBytes) {
    if (outputBytes) {
        *outputBytes = 0;
    }
    std::shared_ptr<Stream> stream = table().find(handle);
    if (!stream) {
        return BE_ERR_INVALID_HANDLE;
    }
    if (!output || !outputBytes) {
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    std::lock_guard<std::mutex> lock(stream->mutex);
    if (stream->flushed) {
        return BE_ERR_SUCCESSFUL;
    }
    stream->flushed = true;
    int produced =
        lame_encode_flush(stream->lame.get(), output, static_cast<int>(stream->outputBufferSize));
    if (produced == -1) {
        return BE_ERR_BUFFER_TOO_SMALL;
    }
    if (produced < 0) {
        return BE_ERR_ENCODER_FAILURE;
    }
    *outputBytes = static_cast<std::uint32_t>(produced);
    // The tag frame counts every frame just flushed; it is kept for
    // beGetLameTagFrame, which the caller may use until it closes the stream.
    lame_global_flags* gfp = stream->lame.get();
    const std::size_t needed = lame_get_lametag_frame(gfp, nullptr, 0);
    if (needed > 0) {
        stream->tagFrame.resize(needed);
        if (lame_get_lametag_frame(gfp, stream->tagFrame.data(), needed) != needed) {
            stream->tagFrame.clear();
        }
    }
    return BE_ERR_SUCCESSFUL;
}

std::uint32_t getLameTagFrame(std::uint32_t handle, std::uint8_t* buffer, std::uint32_t bufferSize,
                              std::uint32_t* frameBytes) {
    if (frameBytes) {
        *frameBytes = 0;
    }
    std::shared_ptr<Stream> stream = table().find(handle);
    if (!stream) {
        return BE_ERR_INVALID_HANDLE;
    }
    if (!frameBytes) {
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    std::lock_guard<std::mutex> lock(stream->mutex);
    if (!stream->flushed) {
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    const auto size = static_cast<std::uint32_t>(stream->tagFrame.size());
    if (size == 0) {
        return BE_ERR_SUCCESSFUL;
    }
    *frameBytes = size;
    if (!buffer || bufferSize < size) {
        return BE_ERR_BUFFER_TOO_SMALL;
    }
    std::memcpy(buffer, stream->tagFrame.data(), size);
    return BE_ERR_SUCCESSFUL;
}

std::uint32_t closeStream(std::uint32_t handle) {
    std::shared_ptr<Stream> stream = table().remove(handle);
    if (!stream) {
        return BE_ERR_INVALID_HANDLE;
    }
    // A call still running on another thread keeps the stream alive until it ends.
    return BE_ERR_SUCCESSFUL;
}

template <class F> std::uint32_t guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return BE_ERR_NO_MORE_HANDLES;
    } catch (...) {
        return BE_ERR_ENCODER_FAILURE;
    }
}

} // namespace

extern "C" {

TW_EXPORT std::uint32_t beInitStream(const std::uint8_t* config, std::uint32_t* samplesPerChunk,
                                     std::uint32_t* outputBufferSize, std::uint32_t* stream) {
    return guarded([&] { return initStream(config, samplesPerChunk, outputBufferSize, stream); });
}

TW_EXPORT std::uint32_t beEncodeChunk(std::uint32_t stream, std::uint32_t count,
                                      const std::int16_t* samples, std::uint8_t* output,
                                      std::uint32_t* outputBytes) {
    return guarded([&] { return encodeChunk(stream, count, samples, output, outputBytes); });
}

TW_EXPORT std::uint32_t beEncodeChunkFloat(std::uint32_t stream, std::uint32_t count,
                                           const float* samples, std::uint8_t* output,
                                           std::uint32_t* outputBytes) {
    return guarded([&] { return encodeChunkFloat(stream, count, samples, output, outputBytes); });
}

TW_EXPORT std::uint32_t beDeinitStream(std::uint32_t stream, std::uint8_t* output,
                                       std::uint32_t* outputBytes) {
    return guarded([&] { return deinitStream(stream, output, outputBytes); });
}

TW_EXPORT std::uint32_t beCloseStream(std::uint32_t stream) {
    return guarded([&] { return closeStream(stream); });
}

TW_EXPORT std::uint32_t beGetLameTagFrame(std::uint32_t stream, std::uint8_t* buffer,
                                          std::uint32_t bufferSize, std::uint32_t* frameBytes) {
    return guarded([&] { return getLameTagFrame(stream, buffer, bufferSize, frameBytes); });
}

} // extern "C"
