// ffreader.so: the source reader over FFmpeg's libraries (contract in ffreader.h).
// Every FFmpeg handle lives in a small owner, so each early return frees what was
// opened; every entry point catches whatever C++ throws.

#include "ffreader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Demuxers that read the one file they are given and never open another by
// reference. Playlists (hls), concat lists, image sequences (image2) and manifests
// (dash) are left out; a file of such a kind is refused after probing.
constexpr const char* kFormatWhitelist =
    "wav,w64,flac,mov,mp3,ogg,matroska,aiff,asf,aac,caf,wv,ape,au,mpc,mpc8,tta,dsf,amr,ac3,"
    "eac3,dts,truehd,mlp,avi,mpeg,mpegts,flv,rm,voc,shorten,tak";

// The largest single allocation FFmpeg may make here: far above any audio frame or
// cover kept, far below what a lying header would ask for.
constexpr size_t kMaxAllocation = 64u << 20;
// Pictures above this are not read (the tags leave them out anyway).
constexpr std::uint64_t kMaxPictureBytes = 16u << 20;
constexpr int kIoBufferSize = 64 << 10;

// Damage bounds: a run of damaged packets with nothing decoded between them, and the
// share of damaged packets at the end (checked once this many packets were read).
constexpr std::uint64_t kMaxDamagedRun = 64;
constexpr std::uint64_t kDamageShareAfter = 32;
constexpr std::uint64_t kDamageShareDivisor = 20;

// ---- Reading the descriptor -------------------------------------------------------

// A few bytes of the file shown differently to the demuxer (a box renamed "free").
struct Patch {
    std::int64_t at;
    char bytes[4];
};

struct FileInput {
    int fd = -1;
    std::int64_t pos = 0;
    bool ioError = false;
    std::vector<Patch> patches;

    std::int64_t size() const {
        struct stat st {};
        return ::fstat(fd, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
    }

    // pread until `n` bytes or the end; the count, or -1 on an error.
    long readAt(std::uint8_t* out, long n, std::int64_t at) const {
        long done = 0;
        while (done < n) {
            const ssize_t got = ::pread(fd, out + done, static_cast<size_t>(n - done), at + done);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                return -1;
            }
            if (got == 0) {
                break;
            }
            done += got;
        }
        return done;
    }
};

int readPacket(void* opaque, std::uint8_t* buf, int size) {
    auto* in = static_cast<FileInput*>(opaque);
    const long got = in->readAt(buf, size, in->pos);
    if (got < 0) {
        in->ioError = true;
        return AVERROR(EIO);
    }
    if (got == 0) {
        return AVERROR_EOF;
    }
    for (const Patch& p : in->patches) {
        for (int i = 0; i < 4; ++i) {
            const std::int64_t off = p.at + i - in->pos;
            if (off >= 0 && off < got) {
                buf[off] = static_cast<std::uint8_t>(p.bytes[i]);
            }
        }
    }
    in->pos += got;
    return static_cast<int>(got);
}

std::int64_t seekPacket(void* opaque, std::int64_t offset, int whence) {
    auto* in = static_cast<FileInput*>(opaque);
    switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE:
        return in->size();
    case SEEK_SET:
        break;
    case SEEK_CUR:
        offset += in->pos;
        break;
    case SEEK_END: {
        const std::int64_t size = in->size();
        if (size < 0) {
            return AVERROR(EIO);
        }
        offset += size;
        break;
    }
    default:
        return AVERROR(EINVAL);
    }
    if (offset < 0) {
        return AVERROR(EINVAL);
    }
    in->pos = offset;
    return offset;
}

// Nested opens (a file named inside the source) are refused outright.
int refuseOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) {
    return AVERROR(EPERM);
}

// ---- MP4 boxes --------------------------------------------------------------------

std::uint32_t be32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

std::uint64_t be64(const std::uint8_t* p) {
    return std::uint64_t{be32(p)} << 32 | be32(p + 4);
}

// What the MP4 walk finds: each track's exact length, and the covers too large to read.
struct Mp4Track {
    std::uint32_t id = 0;
    std::uint32_t timescale = 0;
    std::uint64_t duration = 0;
    std::int64_t mediaTime = 0; // of the first edit that is not empty
};

struct Mp4Facts {
    std::vector<Mp4Track> tracks;
    std::vector<Patch> hidden;
};

class Mp4Walk {
public:
    Mp4Walk(const FileInput& in, Mp4Facts& facts) : in_(in), facts_(facts) {}

    // Walks the boxes between `from` and `to` at `depth`; `track` is the track the
    // boxes belong to, if any.
    void walk(std::int64_t from, std::int64_t to, int depth, Mp4Track* track) {
        std::int64_t at = from;
        while (at + 8 <= to && ++boxes_ < 100000) {
            std::uint8_t head[16];
            if (in_.readAt(head, 8, at) != 8) {
                return;
            }
            std::uint64_t size = be32(head);
            std::int64_t body = at + 8;
            if (size == 1) {
                if (in_.readAt(head + 8, 8, at + 8) != 8) {
                    return;
                }
                size = be64(head + 8);
                body += 8;
            } else if (size == 0) {
                size = static_cast<std::uint64_t>(to - at);
            }
            if (size < static_cast<std::uint64_t>(body - at) ||
                size > static_cast<std::uint64_t>(to - at)) {
                return;
            }
            const std::int64_t end = at + static_cast<std::int64_t>(size);
            visit(head + 4, at, body, end, depth, track);
            at = end;
        }
    }

private:
    void visit(const std::uint8_t* type, std::int64_t at, std::int64_t body, std::int64_t end,
               int depth, Mp4Track* track) {
        auto is = [type](const char* t) { return std::memcmp(type, t, 4) == 0; };
        if (depth > 8) {
            return;
        }
        if (is("moov") || is("mdia") || is("edts") || is("udta") || is("ilst")) {
            walk(body, end, depth + 1, track);
        } else if (is("meta")) {
            walk(body + 4, end, depth + 1, track); // a full box: version and flags first
        } else if (is("trak")) {
            Mp4Track t;
            walk(body, end, depth + 1, &t);
            facts_.tracks.push_back(t);
        } else if (is("tkhd") && track) {
            std::uint8_t b[24];
            if (in_.readAt(b, 24, body) == 24) {
                track->id = b[0] == 1 ? be32(b + 20) : be32(b + 12);
            }
        } else if (is("mdhd") && track) {
            std::uint8_t b[32];
            if (in_.readAt(b, 32, body) == 32) {
                track->timescale = b[0] == 1 ? be32(b + 20) : be32(b + 12);
                track->duration = b[0] == 1 ? be64(b + 24) : be32(b + 16);
            }
        } else if (is("elst") && track) {
            std::uint8_t b[8];
            if (in_.readAt(b, 8, body) != 8) {
                return;
            }
            const bool wide = b[0] == 1;
            const std::uint32_t entries = std::min<std::uint32_t>(be32(b + 4), 64);
            const int entrySize = wide ? 20 : 12;
            for (std::uint32_t i = 0; i < entries; ++i) {
                std::uint8_t e[20];
                if (in_.readAt(e, entrySize, body + 8 + i * entrySize) != entrySize) {
                    return;
                }
                const std::int64_t media = wide ? static_cast<std::int64_t>(be64(e + 8))
                                                : static_cast<std::int32_t>(be32(e + 4));
                if (media >= 0) {
                    track->mediaTime = media;
                    return;
                }
            }
        } else if (is("covr") && static_cast<std::uint64_t>(end - at) > kMaxPictureBytes) {
            facts_.hidden.push_back(Patch{at + 4, {'f', 'r', 'e', 'e'}});
        }
    }

    const FileInput& in_;
    Mp4Facts& facts_;
    int boxes_ = 0;
};

// An MP4 (or QuickTime) file: its first box is "ftyp", "moov", "mdat", "free" or "wide".
bool looksLikeMp4(const FileInput& in) {
    std::uint8_t head[8];
    if (in.readAt(head, 8, 0) != 8) {
        return false;
    }
    for (const char* t : {"ftyp", "moov", "mdat", "free", "wide"}) {
        if (std::memcmp(head + 4, t, 4) == 0) {
            return true;
        }
    }
    return false;
}

// ---- Ogg ending -------------------------------------------------------------------

// True when the file ends with a whole Ogg page that closes its stream (end-of-stream
// flag): a file cut short ends inside a page or after one that does not.
bool oggEndsWhole(const FileInput& in) {
    const std::int64_t size = in.size();
    const std::int64_t tail = std::min<std::int64_t>(size, 70000);
    if (tail < 27) {
        return false;
    }
    std::vector<std::uint8_t> bytes(static_cast<size_t>(tail));
    if (in.readAt(bytes.data(), tail, size - tail) != tail) {
        return false;
    }
    for (std::int64_t i = tail - 27; i >= 0; --i) {
        const std::uint8_t* p = bytes.data() + i;
        if (std::memcmp(p, "OggS", 4) != 0 || p[4] != 0) {
            continue;
        }
        const int segments = p[26];
        if (i + 27 + segments > tail) {
            continue;
        }
        std::int64_t length = 27 + segments;
        for (int s = 0; s < segments; ++s) {
            length += p[27 + s];
        }
        if (i + length == tail) {
            return (p[5] & 0x04) != 0;
        }
    }
    return false;
}

// ---- Owners -----------------------------------------------------------------------

struct FormatOwner {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct IoOwner {
    void operator()(AVIOContext* c) const {
        av_freep(&c->buffer);
        avio_context_free(&c);
    }
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

// A channel layout that is uninitialised when it goes. A layout without channel
// order (a WAV without a channel mask) gets the usual layout for its count, but 3
// channels are left, right, centre rather than FFmpeg's 2.1, whose third is dropped.
class Layout {
public:
    Layout() = default;
    ~Layout() { av_channel_layout_uninit(&layout_); }
    Layout(const Layout&) = delete;
    Layout& operator=(const Layout&) = delete;
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
    int channels() const { return layout_.nb_channels; }

private:
    AVChannelLayout layout_{};
};

// FFmpeg's own messages are not shown and its allocations are bounded; both
// settings are process-wide, and only this library uses FFmpeg in the process.
void setUpLibraries() {
    static std::once_flag once;
    std::call_once(once, [] {
        av_log_set_level(AV_LOG_QUIET);
        av_max_alloc(kMaxAllocation);
    });
}

bool plausibleRate(std::int64_t rate) {
    return rate >= FFR_MIN_RATE && rate <= FFR_MAX_RATE;
}

bool plausibleChannels(int channels) {
    return channels >= 1 && channels <= static_cast<int>(FFR_MAX_CHANNELS);
}

} // namespace

// ---- The reader -------------------------------------------------------------------

struct FfrReader {
    FileInput input;
    std::unique_ptr<AVIOContext, IoOwner> io;
    std::unique_ptr<AVFormatContext, FormatOwner> format;
    std::unique_ptr<AVCodecContext, CodecOwner> decoder;
    std::unique_ptr<SwrContext, ResamplerOwner> resampler;
    std::unique_ptr<AVFrame, FrameOwner> frame;
    std::unique_ptr<AVPacket, PacketOwner> packet;
    int stream = -1;
    bool ogg = false;
    std::uint32_t outRate = 0;

    // What the resampler was set up for; a frame that differs makes a new one.
    int inFormat = -1;
    int inRate = 0;
    Layout inLayout;

    // The exact length of an MP4 track in its own timescale; 0 when not known.
    std::uint64_t exactLength = 0;
    std::uint32_t exactTimescale = 0;
    std::int64_t limit = -1; // decoded samples to take, -1 without an exact length
    bool limitReached = false;

    // The length the container stated at open, in the stream's time base, and how far
    // the packets read reach; for telling a stream cut short.
    std::int64_t statedTs = 0;
    std::int64_t startTs = 0;
    std::int64_t reachedTs = 0;
    std::int64_t statedFrames = -1; // at the source rate, for progress

    std::int64_t consumed = 0; // decoded samples given to the resampler
    std::uint64_t framesGiven = 0;
    std::uint64_t packets = 0;
    std::uint64_t damaged = 0;
    std::uint64_t damagedRun = 0;

    // One fixed chunk of resampled frames on their way out.
    static constexpr int kStagingFrames = 4096;
    std::vector<float> staging = std::vector<float>(2 * kStagingFrames);
    std::uint32_t stagingAt = 0;
    std::uint32_t stagingFrames = 0;

    bool started = false;
    bool frameHeld = false;  // `frame` holds decoded samples not yet resampled
    int frameOffset = 0;     // of those, the samples already resampled
    bool demuxEnded = false; // the demuxer gave its last packet, the decoder is flushed
    bool inputEnded = false; // nothing more comes from the decoder
    bool flushing = false;   // the resampler gives out what it still holds
    int pendingFailure = FFR_FAIL_NONE;
    int state = FFR_STATE_READING;
    int failure = FFR_FAIL_NONE;

    bool sameFormat(const AVFrame* f) {
        return resampler && f->format == inFormat && f->sample_rate == inRate &&
               (f->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC
                    ? f->ch_layout.nb_channels == inLayout.channels()
                    : av_channel_layout_compare(&f->ch_layout, inLayout.get()) == 0);
    }

    bool makeResampler(const AVFrame* f) {
        if (!plausibleChannels(f->ch_layout.nb_channels) || !plausibleRate(f->sample_rate) ||
            !inLayout.assign(f->ch_layout)) {
            return false;
        }
        inFormat = f->format;
        inRate = f->sample_rate;
        AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
        SwrContext* made = nullptr;
        if (swr_alloc_set_opts2(&made, &stereo, AV_SAMPLE_FMT_FLT, static_cast<int>(outRate),
                                inLayout.get(), static_cast<AVSampleFormat>(f->format),
                                f->sample_rate, 0, nullptr) < 0) {
            return false;
        }
        resampler.reset(made);
        // High-quality resampling; a mix-down is scaled so it cannot clip.
        av_opt_set(made, "resampler", "soxr", 0);
        av_opt_set_int(made, "precision", 28, 0);
        av_opt_set_double(made, "rematrix_maxval", 1.0, 0);
        if (inLayout.channels() == 1) {
            // A mono source plays at full level on both sides, as the program's own mono
            // WAVs do (the standard matrix would lower it by 3 dB).
            const double both[2] = {1.0, 1.0};
            if (swr_set_matrix(made, both, 1) < 0) {
                return false;
            }
        }
        return swr_init(made) >= 0;
    }

    // A decoder's error on a packet or frame is taken for damaged data, as players and
    // the ffmpeg tool take it (decoders give AVERROR_INVALIDDATA, but also -1 and
    // others for a corrupt header); only running out of memory is not.
    static bool damagedData(int error) { return error != AVERROR(ENOMEM); }

    void noteDamage() {
        ++damaged;
        if (++damagedRun >= kMaxDamagedRun) {
            endInput(FFR_FAIL_DAMAGE);
        }
    }

    void endInput(int why) {
        if (pendingFailure == FFR_FAIL_NONE) {
            pendingFailure = why;
        }
        inputEnded = true;
        if (frameHeld) {
            av_frame_unref(frame.get());
            frameHeld = false;
            frameOffset = 0;
        }
    }

    void notePacketTime(const AVPacket* p) {
        std::int64_t ts = p->pts != AV_NOPTS_VALUE ? p->pts : p->dts;
        if (ts == AV_NOPTS_VALUE) {
            return;
        }
        if (p->duration > 0) {
            ts += p->duration;
        }
        reachedTs = std::max(reachedTs, ts);
    }

    // Decodes until a frame is held or the input has ended.
    void decodeNext() {
        AVCodecContext* dec = decoder.get();
        while (!frameHeld && !inputEnded) {
            int r = avcodec_receive_frame(dec, frame.get());
            if (r == 0) {
                if (frame->nb_samples <= 0) {
                    av_frame_unref(frame.get());
                    continue;
                }
                damagedRun = 0;
                if (exactLength > 0 && limit < 0 && frame->sample_rate > 0) {
                    // In samples of the rate the decoder really gives (HE-AAC doubles
                    // the rate the container names).
                    limit = av_rescale(static_cast<std::int64_t>(exactLength), frame->sample_rate,
                                       exactTimescale);
                    statedFrames = limit;
                }
                frameHeld = true;
                return;
            }
            if (r == AVERROR_EOF) {
                inputEnded = true;
                return;
            }
            if (r == AVERROR(EAGAIN) && demuxEnded) {
                endInput(FFR_FAIL_DECODER);
                return;
            }
            if (r != AVERROR(EAGAIN)) {
                if (!damagedData(r)) {
                    endInput(FFR_FAIL_DECODER);
                    return;
                }
                noteDamage();
                continue;
            }
            r = av_read_frame(format.get(), packet.get());
            if (r < 0) {
                // The end, or a demuxer that cannot go on (a tag it refuses after the
                // audio): whether the stream is whole is decided by its length.
                demuxEnded = true;
                if (input.ioError) {
                    endInput(FFR_FAIL_READ);
                    return;
                }
                if (avcodec_send_packet(dec, nullptr) < 0) {
                    inputEnded = true;
                }
                continue;
            }
            if (packet->stream_index != stream) {
                av_packet_unref(packet.get());
                continue;
            }
            notePacketTime(packet.get());
            ++packets;
            r = avcodec_send_packet(dec, packet.get());
            av_packet_unref(packet.get());
            if (r < 0 && r != AVERROR(EAGAIN)) {
                if (damagedData(r)) {
                    noteDamage();
                } else {
                    endInput(FFR_FAIL_DECODER);
                }
            }
        }
    }

    // Where a stream that has given everything stands: ended, or failed for a reason
    // found on the way or now (damage share, a length short of the stated one).
    void finish() {
        int why = pendingFailure;
        if (why == FFR_FAIL_NONE && packets >= kDamageShareAfter &&
            damaged * kDamageShareDivisor > packets) {
            why = FFR_FAIL_DAMAGE;
        }
        if (why == FFR_FAIL_NONE && !limitReached && statedTs > 0) {
            const AVStream* st = format->streams[stream];
            const std::int64_t halfSecond = av_rescale_q(1, AVRational{1, 2}, st->time_base);
            const std::int64_t tolerance = std::max(statedTs / 50, halfSecond);
            if (reachedTs - startTs < statedTs - tolerance) {
                why = FFR_FAIL_SHORT;
            }
        }
        if (why == FFR_FAIL_NONE && ogg && !limitReached && !oggEndsWhole(input)) {
            why = FFR_FAIL_SHORT;
        }
        state = why == FFR_FAIL_NONE ? FFR_STATE_ENDED : FFR_STATE_FAILED;
        failure = why;
    }

    // Fills the staging chunk from the resampler: what it holds when flushing, else
    // a slice of the held frame small enough that its output fits the chunk, so
    // libswresample keeps at most a slice's worth.
    void produce() {
        stagingAt = 0;
        stagingFrames = 0;
        auto* to = reinterpret_cast<std::uint8_t*>(staging.data());
        if (flushing) {
            const int n = swr_convert(resampler.get(), &to, kStagingFrames, nullptr, 0);
            if (n > 0) {
                stagingFrames = static_cast<std::uint32_t>(n);
                return;
            }
            resampler.reset();
            flushing = false;
            if (n < 0) {
                endInput(FFR_FAIL_DECODER);
            }
            return;
        }
        AVFrame* f = frame.get();
        int left = f->nb_samples - frameOffset;
        if (limit >= 0) {
            left = static_cast<int>(std::min<std::int64_t>(left, limit - consumed));
        }
        int slice = std::max(left, 0);
        while (slice > 1 && swr_get_out_samples(resampler.get(), slice) > kStagingFrames) {
            slice /= 2;
        }
        int n = 0;
        if (slice > 0) {
            const int bytes = av_get_bytes_per_sample(static_cast<AVSampleFormat>(f->format));
            const bool planar = av_sample_fmt_is_planar(static_cast<AVSampleFormat>(f->format));
            const int channels = f->ch_layout.nb_channels;
            const std::uint8_t* in[FFR_MAX_CHANNELS] = {};
            for (int c = 0; c < (planar ? channels : 1); ++c) {
                in[c] = f->extended_data[c] +
                        static_cast<std::ptrdiff_t>(frameOffset) * bytes * (planar ? 1 : channels);
            }
            n = swr_convert(resampler.get(), &to, kStagingFrames, in, slice);
            frameOffset += slice;
            consumed += slice;
        }
        if (slice <= 0 || frameOffset >= f->nb_samples) {
            av_frame_unref(f);
            frameHeld = false;
            frameOffset = 0;
        }
        if (limit >= 0 && consumed >= limit) {
            // The exact length is reached: what follows is padding.
            limitReached = true;
            endInput(FFR_FAIL_NONE);
        }
        if (n < 0) {
            endInput(FFR_FAIL_DECODER);
            resampler.reset();
            return;
        }
        stagingFrames = static_cast<std::uint32_t>(n);
    }

    // Up to `want` frames into `out`; fewer only at the end or a failure.
    std::uint32_t read(float* out, std::uint32_t want) {
        std::uint32_t given = 0;
        while (given < want && state == FFR_STATE_READING) {
            if (stagingAt < stagingFrames) {
                const std::uint32_t take = std::min(want - given, stagingFrames - stagingAt);
                std::memcpy(out + 2 * static_cast<size_t>(given),
                            staging.data() + 2 * static_cast<size_t>(stagingAt),
                            2 * sizeof(float) * take);
                stagingAt += take;
                given += take;
                continue;
            }
            if (resampler && flushing) {
                produce();
                continue;
            }
            if (frameHeld) {
                if (!sameFormat(frame.get())) {
                    if (resampler) {
                        // A stream may change its format midway (chained Ogg): what
                        // the old set-up holds comes first.
                        flushing = true;
                        continue;
                    }
                    if (!makeResampler(frame.get())) {
                        endInput(FFR_FAIL_DECODER);
                        resampler.reset();
                        continue;
                    }
                }
                produce();
                continue;
            }
            if (inputEnded) {
                if (resampler) {
                    flushing = true;
                    continue;
                }
                finish();
                break;
            }
            decodeNext();
        }
        framesGiven += given;
        return given;
    }

    std::uint32_t progress() const {
        if (state == FFR_STATE_ENDED) {
            return 100;
        }
        std::int64_t done = 0;
        std::int64_t whole = 0;
        if (statedFrames > 0) {
            done = consumed;
            whole = statedFrames;
        } else {
            done = input.pos;
            whole = input.size();
        }
        if (whole <= 0 || done <= 0) {
            return 0;
        }
        return static_cast<std::uint32_t>(std::min<std::int64_t>(100, done * 100 / whole));
    }
};

namespace {

// "x.<extension>" of a name, letters and digits only: a probing hint that can never
// read as a protocol or a pattern.
std::string probeName(const char* hint) {
    std::string ext;
    if (hint) {
        const char* dot = std::strrchr(hint, '.');
        const char* slash = std::strrchr(hint, '/');
        if (dot && (!slash || dot > slash)) {
            for (const char* p = dot + 1; *p && ext.size() < 8; ++p) {
                const char c = *p;
                if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
                    ext += c;
                }
            }
        }
    }
    return ext.empty() ? "source" : "source." + ext;
}

int32_t openReader(int32_t fd, const char* hint, std::unique_ptr<FfrReader>& out,
                   FfrStreamInfo& info) {
    setUpLibraries();
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return FFR_ERR_ARGUMENT;
    }
    auto r = std::make_unique<FfrReader>();
    r->input.fd = fd;

    Mp4Facts mp4;
    if (looksLikeMp4(r->input)) {
        Mp4Walk(r->input, mp4).walk(0, r->input.size(), 0, nullptr);
        r->input.patches = mp4.hidden;
    }

    auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIoBufferSize));
    if (!buffer) {
        return FFR_ERR_MEMORY;
    }
    r->io.reset(
        avio_alloc_context(buffer, kIoBufferSize, 0, &r->input, readPacket, nullptr, seekPacket));
    if (!r->io) {
        av_free(buffer);
        return FFR_ERR_MEMORY;
    }
    AVFormatContext* ctx = avformat_alloc_context();
    if (!ctx) {
        return FFR_ERR_MEMORY;
    }
    ctx->pb = r->io.get();
    ctx->flags |= AVFMT_FLAG_CUSTOM_IO;
    ctx->io_open = refuseOpen;
    Options options;
    options.set("format_whitelist", kFormatWhitelist);
    if (avformat_open_input(&ctx, probeName(hint).c_str(), nullptr, options.get()) < 0) {
        return FFR_ERR_NOT_AUDIO; // avformat_open_input freed the context itself
    }
    r->format.reset(ctx);
    if (avformat_find_stream_info(ctx, nullptr) < 0) {
        return FFR_ERR_NOT_AUDIO;
    }
    r->ogg = std::strcmp(ctx->iformat->name, "ogg") == 0;

    // The first audio stream; every other stream is not even demuxed.
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        AVStream* s = ctx->streams[i];
        if (r->stream < 0 && s->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            r->stream = static_cast<int>(i);
        } else {
            s->discard = AVDISCARD_ALL;
        }
    }
    if (r->stream < 0) {
        return FFR_ERR_NOT_AUDIO;
    }
    AVStream* s = ctx->streams[r->stream];
    const AVCodec* codec = avcodec_find_decoder(s->codecpar->codec_id);
    if (!codec) {
        return FFR_ERR_NOT_AUDIO;
    }
    r->decoder.reset(avcodec_alloc_context3(codec));
    if (!r->decoder) {
        return FFR_ERR_MEMORY;
    }
    if (avcodec_parameters_to_context(r->decoder.get(), s->codecpar) < 0) {
        return FFR_ERR_NOT_AUDIO;
    }
    const int channels = r->decoder->ch_layout.nb_channels;
    const int rate = r->decoder->sample_rate;
    if (!plausibleChannels(channels) || !plausibleRate(rate)) {
        return FFR_ERR_IMPLAUSIBLE;
    }
    r->decoder->pkt_timebase = s->time_base;
    r->decoder->thread_count = 1;
    if (avcodec_open2(r->decoder.get(), codec, nullptr) < 0) {
        return FFR_ERR_NOT_AUDIO;
    }

    // The stated length: MP4 states it exactly in the track's own timescale (the
    // decoder gives the encoder's end padding as audio, so that is where the audio
    // ends); other containers' lengths tell a stream cut short and give the progress,
    // unless they are only guessed from a bitrate.
    for (const Mp4Track& t : mp4.tracks) {
        if (t.id == static_cast<std::uint32_t>(s->id) && t.timescale > 0 &&
            t.duration > static_cast<std::uint64_t>(t.mediaTime)) {
            r->exactLength = t.duration - static_cast<std::uint64_t>(t.mediaTime);
            r->exactTimescale = t.timescale;
        }
    }
    const bool guessed = ctx->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE;
    if (!guessed && s->duration != AV_NOPTS_VALUE && s->duration > 0) {
        r->statedTs = s->duration;
    } else if (!guessed && ctx->duration != AV_NOPTS_VALUE && ctx->duration > 0) {
        r->statedTs = av_rescale_q(ctx->duration, AV_TIME_BASE_Q, s->time_base);
    }
    r->startTs = s->start_time != AV_NOPTS_VALUE ? s->start_time : 0;
    const AVRational perSample{1, rate};
    if (r->exactLength > 0) {
        r->statedFrames =
            av_rescale(static_cast<std::int64_t>(r->exactLength), rate, r->exactTimescale);
    } else if (r->statedTs > 0) {
        r->statedFrames = av_rescale_q(r->statedTs, s->time_base, perSample);
    } else if (ctx->duration != AV_NOPTS_VALUE && ctx->duration > 0) {
        r->statedFrames = av_rescale_q(ctx->duration, AV_TIME_BASE_Q, perSample);
    }

    r->frame.reset(av_frame_alloc());
    r->packet.reset(av_packet_alloc());
    if (!r->frame || !r->packet) {
        return FFR_ERR_MEMORY;
    }
    info.sourceRate = static_cast<std::uint32_t>(rate);
    info.sourceChannels = static_cast<std::uint32_t>(channels);
    info.reserved = 0;
    info.statedFrames = r->statedTs > 0 || r->exactLength > 0 ? r->statedFrames : -1;
    out = std::move(r);
    return FFR_OK;
}

} // namespace

extern "C" {

TW_EXPORT int32_t ffr_open(int32_t fd, const char* hint, FfrReader** reader, FfrStreamInfo* info) {
    if (!reader) {
        return FFR_ERR_ARGUMENT;
    }
    *reader = nullptr;
    if (!info || info->size != sizeof(FfrStreamInfo)) {
        return FFR_ERR_ARGUMENT;
    }
    try {
        std::unique_ptr<FfrReader> made;
        const int32_t result = openReader(fd, hint, made, *info);
        if (result == FFR_OK) {
            *reader = made.release();
        }
        return result;
    } catch (const std::bad_alloc&) {
        return FFR_ERR_MEMORY;
    } catch (...) {
        return FFR_ERR_NOT_AUDIO;
    }
}

TW_EXPORT int32_t ffr_start(FfrReader* reader, uint32_t outputRate) {
    if (!reader || !plausibleRate(outputRate)) {
        return FFR_ERR_ARGUMENT;
    }
    if (reader->started) {
        return FFR_ERR_STATE;
    }
    try {
        reader->started = true;
        reader->outRate = outputRate;
        reader->decodeNext();
        return reader->frameHeld ? FFR_OK : FFR_ERR_NOT_AUDIO;
    } catch (const std::bad_alloc&) {
        return FFR_ERR_MEMORY;
    } catch (...) {
        return FFR_ERR_NOT_AUDIO;
    }
}

TW_EXPORT int32_t ffr_read(FfrReader* reader, float* out, uint32_t frames, uint32_t* given) {
    if (!reader || !out || !given) {
        return FFR_ERR_ARGUMENT;
    }
    *given = 0;
    if (!reader->started) {
        return FFR_ERR_STATE;
    }
    try {
        *given = reader->read(out, frames);
    } catch (...) {
        reader->state = FFR_STATE_FAILED;
        reader->failure = FFR_FAIL_DECODER;
    }
    return FFR_OK;
}

TW_EXPORT int32_t ffr_status(const FfrReader* reader, FfrStatus* status) {
    if (!reader || !status || status->size != sizeof(FfrStatus)) {
        return FFR_ERR_ARGUMENT;
    }
    status->progress = reader->progress();
    status->framesGiven = reader->framesGiven;
    status->damaged = reader->damaged;
    status->state = reader->state;
    status->failure = reader->failure;
    return FFR_OK;
}

TW_EXPORT void ffr_close(FfrReader* reader) {
    delete reader;
}

} // extern "C"
