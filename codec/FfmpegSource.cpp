// The FFmpeg source reader of the encode job. Every FFmpeg handle lives in a small
// owner, so each early return frees what was opened.

#include "codec/FfmpegSource.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <mutex>
#include <unistd.h>

namespace codec {
namespace {

// Demuxers that read the one file they are given and never open another by
// reference. Playlists (hls), concat lists, image sequences (image2) and manifests
// (dash) are left out; a file of such a kind is refused after probing.
constexpr const char* kFormatWhitelist =
    "wav,w64,flac,mov,mp3,ogg,matroska,aiff,asf,aac,caf,wv,ape,au,mpc,mpc8,tta,dsf,amr,ac3,"
    "eac3,dts,truehd,mlp,avi,mpeg,mpegts,flv,rm,voc,shorten,tak";

// The most channels libswresample mixes down with its standard matrix.
constexpr int kMaxChannels = 8;

struct FormatOwner {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecOwner {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct ResamplerOwner {
    void operator()(SwrContext* c) const { swr_free(&c); }
};
struct FrameOwner {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketOwner {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

// An AVDictionary of open options, freed with whatever the open left in it.
class Options {
public:
    Options() = default;
    ~Options() { av_dict_free(&dict_); }
    Options(const Options&) = delete;
    Options& operator=(const Options&) = delete;
    void set(const char* key, const char* value) { av_dict_set(&dict_, key, value, 0); }
    AVDictionary** get() { return &dict_; }

private:
    AVDictionary* dict_ = nullptr;
};

// A channel layout that is uninitialised when it goes.
class Layout {
public:
    Layout() = default;
    ~Layout() { av_channel_layout_uninit(&layout_); }
    Layout(const Layout&) = delete;
    Layout& operator=(const Layout&) = delete;
    // A copy of `from`; a layout without channel order (a WAV without a channel
    // mask) gets the usual layout for its count, but 3 channels are taken as left,
    // right, centre rather than FFmpeg's 2.1, whose third channel would be dropped.
    bool assign(const AVChannelLayout& from) {
        av_channel_layout_uninit(&layout_);
        if (from.order == AV_CHANNEL_ORDER_UNSPEC) {
            if (from.nb_channels == 3) {
                layout_ = AV_CHANNEL_LAYOUT_SURROUND;
            } else {
                av_channel_layout_default(&layout_, from.nb_channels);
            }
            return true;
        }
        return av_channel_layout_copy(&layout_, &from) == 0;
    }
    AVChannelLayout* get() { return &layout_; }
    const AVChannelLayout* get() const { return &layout_; }

private:
    AVChannelLayout layout_{};
};

// FFmpeg's own messages are not shown: every failure reaches the user as the
// codec's result code. The level is process-wide, so it is set once.
void quietLibraries() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

std::string absolutePath(const std::string& path) {
    if (!path.empty() && path[0] == '/') {
        return path;
    }
    std::array<char, PATH_MAX> cwd{};
    if (!::getcwd(cwd.data(), cwd.size())) {
        return path;
    }
    return std::string(cwd.data()) + "/" + path;
}

} // namespace

std::uint32_t EncodeRateForSourceRate(std::uint32_t sampleRate) {
    static constexpr std::array<std::uint32_t, 9> kRates = {8000,  11025, 12000, 16000, 22050,
                                                            24000, 32000, 44100, 48000};
    if (sampleRate == 88200 || sampleRate == 176400 || sampleRate == 352800) {
        return 44100;
    }
    for (std::uint32_t rate : kRates) {
        if (sampleRate <= rate) {
            return rate;
        }
    }
    return 48000;
}

struct FfmpegSource::Handles {
    std::unique_ptr<AVFormatContext, FormatOwner> format;
    std::unique_ptr<AVCodecContext, CodecOwner> decoder;
    std::unique_ptr<SwrContext, ResamplerOwner> resampler;
    std::unique_ptr<AVFrame, FrameOwner> frame;
    std::unique_ptr<AVPacket, PacketOwner> packet;
    int stream = -1;
    // The length an MP4 states, in the stream's time base; 0 when not trusted.
    std::int64_t statedLength = 0;
    AVRational statedTimeBase{1, 1};
    // What the resampler was set up for; a frame that differs rebuilds it.
    int inFormat = -1;
    int inRate = 0;
    Layout inLayout;
    std::vector<float> converted; // one conversion's output, interleaved stereo
};

FfmpegSource::FfmpegSource() : h_(std::make_unique<Handles>()) {}

FfmpegSource::~FfmpegSource() = default;

std::unique_ptr<FfmpegSource> FfmpegSource::Open(const std::string& path) {
    quietLibraries();
    std::unique_ptr<FfmpegSource> source(new FfmpegSource());
    Handles& h = *source->h_;

    // A plain file name: "concat:", "subfile,", "pipe:" or "cache:" in a name would
    // otherwise be read as a protocol that opens something else.
    const std::string url = "file:" + absolutePath(path);
    Options options;
    options.set("protocol_whitelist", "file");
    options.set("format_whitelist", kFormatWhitelist);
    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, url.c_str(), nullptr, options.get()) < 0) {
        return nullptr; // avformat_open_input freed the context itself
    }
    h.format.reset(opened);
    if (avformat_find_stream_info(opened, nullptr) < 0) {
        return nullptr;
    }

    // The first audio stream; every other stream is not even demuxed.
    for (unsigned i = 0; i < opened->nb_streams; ++i) {
        AVStream* st = opened->streams[i];
        if (h.stream < 0 && st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            h.stream = static_cast<int>(i);
        } else {
            st->discard = AVDISCARD_ALL;
        }
    }
    if (h.stream < 0) {
        return nullptr;
    }
    AVStream* st = opened->streams[h.stream];
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    if (!codec) {
        return nullptr;
    }
    h.decoder.reset(avcodec_alloc_context3(codec));
    if (!h.decoder || avcodec_parameters_to_context(h.decoder.get(), st->codecpar) < 0) {
        return nullptr;
    }
    h.decoder->pkt_timebase = st->time_base;
    h.decoder->thread_count = 1;
    if (avcodec_open2(h.decoder.get(), codec, nullptr) < 0) {
        return nullptr;
    }
    const int channels = h.decoder->ch_layout.nb_channels;
    const int rate = h.decoder->sample_rate;
    if (channels < 1 || channels > kMaxChannels || rate <= 0) {
        return nullptr;
    }
    source->inChannels_ = channels;
    source->inRate_ = static_cast<std::uint32_t>(rate);
    source->outRate_ = EncodeRateForSourceRate(source->inRate_);

    // The length in samples. MP4 states it exactly, and AAC decoders give the
    // encoder's end padding as audio: the stated length is where the audio ends.
    // Other containers' lengths may be estimates (from a bitrate) and only serve
    // the progress.
    const AVRational perSample{1, rate};
    if (st->duration != AV_NOPTS_VALUE && st->duration > 0) {
        source->length_ = av_rescale_q(st->duration, st->time_base, perSample);
        if (std::strstr(opened->iformat->name, "mov")) {
            h.statedLength = st->duration;
            h.statedTimeBase = st->time_base;
        }
    } else if (opened->duration != AV_NOPTS_VALUE && opened->duration > 0) {
        source->length_ = av_rescale_q(opened->duration, AV_TIME_BASE_Q, perSample);
    }

    h.frame.reset(av_frame_alloc());
    h.packet.reset(av_packet_alloc());
    if (!h.frame || !h.packet) {
        return nullptr;
    }
    return source;
}

bool FfmpegSource::Convert(const void* framePtr, int samples) {
    Handles& h = *h_;
    const auto* frame = static_cast<const AVFrame*>(framePtr);
    if (frame) {
        const bool same =
            h.resampler && frame->format == h.inFormat && frame->sample_rate == h.inRate &&
            (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC
                 ? frame->ch_layout.nb_channels == h.inLayout.get()->nb_channels
                 : av_channel_layout_compare(&frame->ch_layout, h.inLayout.get()) == 0);
        if (!same) {
            // A stream may change its format midway (chained Ogg): what the old set-up
            // still holds comes first, then a new one is made for the new format.
            if (h.resampler && !Drain()) {
                return false;
            }
            if (frame->ch_layout.nb_channels < 1 || frame->ch_layout.nb_channels > kMaxChannels ||
                frame->sample_rate <= 0 || !h.inLayout.assign(frame->ch_layout)) {
                return false;
            }
            h.inFormat = frame->format;
            h.inRate = frame->sample_rate;
            AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
            SwrContext* made = nullptr;
            if (swr_alloc_set_opts2(&made, &stereo, AV_SAMPLE_FMT_FLT, static_cast<int>(outRate_),
                                    h.inLayout.get(), static_cast<AVSampleFormat>(frame->format),
                                    frame->sample_rate, 0, nullptr) < 0) {
                return false;
            }
            h.resampler.reset(made);
            // High-quality resampling; a mix-down is scaled so it cannot clip.
            av_opt_set(made, "resampler", "soxr", 0);
            av_opt_set_int(made, "precision", 28, 0);
            av_opt_set_double(made, "rematrix_maxval", 1.0, 0);
            if (h.inLayout.get()->nb_channels == 1) {
                // A mono source plays at full level on both sides, as the program's
                // own mono WAVs do (the standard matrix would lower it by 3 dB).
                const double both[2] = {1.0, 1.0};
                if (swr_set_matrix(made, both, 1) < 0) {
                    return false;
                }
            }
            if (swr_init(made) < 0) {
                return false;
            }
        }
    }
    if (!h.resampler) {
        return true;
    }
    const int room = swr_get_out_samples(h.resampler.get(), samples);
    if (room < 0) {
        return false;
    }
    h.converted.resize(2 * static_cast<std::size_t>(room) + 2);
    auto* out = reinterpret_cast<std::uint8_t*>(h.converted.data());
    const int made =
        swr_convert(h.resampler.get(), &out, room,
                    frame ? const_cast<const std::uint8_t**>(frame->extended_data) : nullptr,
                    frame ? samples : 0);
    if (made < 0) {
        return false;
    }
    // Frames already read are dropped before new ones are added, so the buffer
    // stays about one decoded frame long.
    if (pendingAt_ > 0) {
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(pendingAt_));
        pendingAt_ = 0;
    }
    pending_.insert(pending_.end(), h.converted.begin(), h.converted.begin() + 2 * made);
    return true;
}

bool FfmpegSource::Drain() {
    // Flushed until the resampler gives nothing more.
    for (int i = 0; i < 64 && h_->resampler; ++i) {
        const std::size_t before = pending_.size() - pendingAt_;
        if (!Convert(nullptr, 0)) {
            return false;
        }
        if (pending_.size() - pendingAt_ == before) {
            break;
        }
    }
    h_->resampler.reset();
    return true;
}

bool FfmpegSource::Fill() {
    Handles& h = *h_;
    AVCodecContext* decoder = h.decoder.get();
    AVFrame* frame = h.frame.get();
    AVPacket* packet = h.packet.get();
    for (;;) {
        int r = avcodec_receive_frame(decoder, frame);
        if (r == 0) {
            if (h.statedLength > 0 && limit_ < 0 && frame->sample_rate > 0) {
                // In samples of the rate the decoder really gives (HE-AAC doubles the
                // rate the container names).
                limit_ = av_rescale_q(h.statedLength, h.statedTimeBase, {1, frame->sample_rate});
                length_ = limit_;
            }
            int samples = frame->nb_samples;
            if (limit_ >= 0) {
                samples = static_cast<int>(std::min<std::int64_t>(samples, limit_ - consumed_));
            }
            bool ok = true;
            if (samples > 0) {
                ok = Convert(frame, samples);
                consumed_ += samples;
            }
            av_frame_unref(frame);
            if (!ok) {
                return false;
            }
            if (limit_ >= 0 && consumed_ >= limit_) {
                // The stated length is reached: what follows is padding.
                inputEnded_ = true;
                finished_ = true;
                return Drain();
            }
            return true;
        }
        if (r == AVERROR_EOF) {
            finished_ = true;
            return Drain();
        }
        if (r != AVERROR(EAGAIN) || inputEnded_) {
            return false;
        }
        r = av_read_frame(h.format.get(), packet);
        if (r == AVERROR_EOF) {
            inputEnded_ = true;
            if (avcodec_send_packet(decoder, nullptr) < 0) {
                return false;
            }
            continue;
        }
        if (r < 0) {
            return false;
        }
        if (packet->stream_index != h.stream) {
            av_packet_unref(packet);
            continue;
        }
        r = avcodec_send_packet(decoder, packet);
        av_packet_unref(packet);
        if (r < 0 && r != AVERROR(EAGAIN)) {
            return false;
        }
    }
}

long FfmpegSource::Read(float* out, std::size_t frames) {
    std::size_t given = 0;
    while (given < frames) {
        if (pendingFrames() > 0) {
            const std::size_t take = std::min(frames - given, pendingFrames());
            std::copy_n(pending_.begin() + static_cast<long>(pendingAt_), 2 * take,
                        out + 2 * given);
            pendingAt_ += 2 * take;
            given += take;
        } else if (failed_) {
            // The frames before the error first; the error at the next call.
            return given > 0 ? static_cast<long>(given) : -1;
        } else if (finished_) {
            break;
        } else if (!Fill()) {
            failed_ = true;
        }
    }
    return static_cast<long>(given);
}

std::uint16_t FfmpegSource::Progress() const {
    if (AtEnd()) {
        return 100;
    }
    std::int64_t done = 0;
    std::int64_t whole = 0;
    if (length_ > 0) {
        done = consumed_;
        whole = length_;
    } else if (AVIOContext* io = h_->format->pb) {
        done = avio_tell(io);
        whole = avio_size(io);
    }
    if (whole <= 0 || done <= 0) {
        return 0;
    }
    return static_cast<std::uint16_t>(std::min<std::int64_t>(100, done * 100 / whole));
}

} // namespace codec
