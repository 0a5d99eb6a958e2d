// The sample sources' rules, read straight through OpenSampleSource: which files each
// reader takes, at which rate and how many frames come out, how a damaged, cut or
// hostile file ends, and that reading stays within a fixed memory bound. ffmpeg
// makes the inputs and is the judge of damaged ones.

#include <gtest/gtest.h>

#include <cmath>
#include <fcntl.h>
#include <functional>
#include <sys/resource.h>
#include <unistd.h>

#include "AudioCheck.h"
#include "TestEnv.h"
#include "codec/FfmpegSampleSource.h"
#include "codec/SampleSource.h"
#include "ffreader.h"

namespace {

using namespace audiocheck;
using codec::ReadStatus;

struct ReadAll {
    bool opened = false;
    std::uint32_t rate = 0;
    long frames = 0;
    ReadStatus last = ReadStatus::Failed;
    std::uint64_t damaged = 0;
};

// Opens `path` as a job does and reads it to its end, `between` run after each read.
ReadAll readAll(const std::string& path, const std::function<void(long)>& between = nullptr) {
    ReadAll r;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return r;
    }
    auto source = codec::OpenSampleSource(fd, path, FFR_LIBRARY_NAME);
    if (source) {
        r.opened = true;
        r.rate = source->SampleRate();
        std::vector<std::int16_t> ints(2 * 1152);
        std::vector<float> floats(2 * 1152);
        for (int reads = 0; reads < 1000000; ++reads) {
            std::uint32_t got = 0;
            r.last = source->Read(ints.data(), floats.data(), 1152, got);
            if (r.last != ReadStatus::Frames) {
                break;
            }
            r.frames += got;
            if (between) {
                between(r.frames);
            }
        }
        r.damaged = source->DamagedFrames();
    }
    ::close(fd);
    return r;
}

std::string dir() {
    static const std::string d = testenv::makeDir("sample-source") + "/";
    return d;
}

void ffmpeg(const std::string& args, const std::string& out) {
    ASSERT_EQ(testenv::run("ffmpeg -nostdin -v error -y " + args + " '" + out + "'"), 0) << args;
}

// A 440 Hz sine of `frames` frames at `rate` in each of `channels` channels, through
// `codec`.
std::string tone(const std::string& name, int rate, long frames, const std::string& codec,
                 int channels = 2) {
    std::string labels;
    for (int c = 0; c < channels; ++c) {
        labels += "[c" + std::to_string(c) + "]";
    }
    const std::string out = dir() + name;
    ffmpeg("-f lavfi -i sine=f=440:r=" + std::to_string(rate) +
               " -filter_complex '[0]atrim=end_sample=" + std::to_string(frames) +
               (channels == 1 ? "'"
                              : ",asplit=" + std::to_string(channels) + labels + ";" + labels +
                                    "amerge=inputs=" + std::to_string(channels) + "'") +
               " " + codec,
           out);
    return out;
}

std::string cut(const std::string& path, double share) {
    const std::string bytes = testenv::readFile(path);
    const std::string out = path + ".cut" + path.substr(path.rfind('.'));
    testenv::writeFile(out, bytes.substr(0, static_cast<std::size_t>(bytes.size() * share)));
    return out;
}

// Overwrites `count` runs of `length` bytes spread evenly after the first 2 KiB.
std::string damage(const std::string& path, int count, std::size_t length) {
    std::string bytes = testenv::readFile(path);
    const std::size_t step = (bytes.size() - 2048) / static_cast<std::size_t>(count + 1);
    std::uint32_t x = 2463534242u;
    for (int i = 1; i <= count; ++i) {
        for (std::size_t k = 0; k < length; ++k) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            bytes[2048 + step * static_cast<std::size_t>(i) + k] = static_cast<char>(x);
        }
    }
    const std::string out = path + ".damaged" + path.substr(path.rfind('.'));
    testenv::writeFile(out, bytes);
    return out;
}

// An APEv2 tag (footer only) whose one text item holds `size` bytes.
std::string withApeTag(const std::string& path, std::size_t size) {
    std::string item;
    put32(item, static_cast<std::uint32_t>(size));
    put32(item, 0);
    item += std::string("Comment") + '\0' + std::string(size, 'x');
    std::string footer = "APETAGEX";
    put32(footer, 2000);
    put32(footer, static_cast<std::uint32_t>(item.size() + 32));
    put32(footer, 1);
    put32(footer, 0);
    footer += std::string(8, '\0');
    const std::string out = path + ".tagged.wv";
    testenv::writeFile(out, testenv::readFile(path) + item + footer);
    return out;
}

// A 1 Hz FLAC of 3000 samples (sox writes it; 2 KB that once made a job take 4 GB).
std::string oneHertzFlac() {
    const std::string out = dir() + "one-hertz.flac";
    EXPECT_EQ(testenv::run("sox -n -r 1 -c 1 -b 16 '" + out + "' synth 3000 sine 0.2"), 0);
    return out;
}

// A 24-bit WAV (read by the FFmpeg reader) whose header states `rate` Hz.
std::string wavStating(std::uint32_t rate) {
    std::string bytes = testenv::readFile(tone("stating.wav", 8000, 800, "-c:a pcm_s24le", 1));
    std::string field;
    put32(field, rate);
    bytes.replace(24, 4, field);
    const std::string out = dir() + "stating-" + std::to_string(rate) + ".wav";
    testenv::writeFile(out, bytes);
    return out;
}

long ffmpegFrames(const std::string& path) {
    const std::string raw = dir() + "reference.raw";
    if (testenv::run("ffmpeg -nostdin -v quiet -y -i '" + path + "' -f s16le -ac 1 '" + raw +
                     "'") != 0) {
        return -1;
    }
    return static_cast<long>(testenv::readFile(raw).size() / 2);
}

} // namespace

TEST(SampleSource, EachFileEndsAsItsRuleSays) {
    struct Row {
        std::string name;
        std::function<std::string()> make;
        bool opens;
        std::uint32_t rate;
        long frames; // expected frames (-2: ffmpeg's decode of the same file), or -1 any
        long slack;
        ReadStatus end;
        bool damaged;
    };
    const long m4aFrames = 44100 * 3;
    const std::vector<Row> rows = {
        // The WAV reader: every frame, also the last ones of mono and 8-bit files.
        {"wav-mono8", [] { return dir() + "m8.wav"; }, true, 22050, 4411, 0, ReadStatus::End,
         false},
        {"wav-mono16", [] { return dir() + "m16.wav"; }, true, 22050, 4411, 0, ReadStatus::End,
         false},
        {"wav-stereo8", [] { return dir() + "s8.wav"; }, true, 22050, 4411, 0, ReadStatus::End,
         false},
        {"wav-no-sample", [] { return dir() + "empty.wav"; }, false, 0, 0, 0, ReadStatus::End,
         false},
        // Rates and channels the FFmpeg reader takes, and those it refuses.
        {"flac-96k", [] { return tone("96k.flac", 96000, 96000, "-c:a flac"); }, true, 48000, 48000,
         2, ReadStatus::End, false},
        {"flac-1000hz", [] { return tone("1k.flac", 1000, 3000, "-c:a flac", 1); }, true, 8000,
         24000, 2, ReadStatus::End, false},
        {"flac-1hz", [] { return oneHertzFlac(); }, false, 0, 0, 0, ReadStatus::End, false},
        {"wav-states-999hz", [] { return wavStating(999); }, false, 0, 0, 0, ReadStatus::End,
         false},
        {"wav-states-1000001hz", [] { return wavStating(1000001); }, false, 0, 0, 0,
         ReadStatus::End, false},
        {"wav-8-channels", [] { return tone("8ch.wav", 44100, 4410, "-c:a pcm_s24le", 8); }, true,
         44100, 4410, 0, ReadStatus::End, false},
        {"wav-9-channels", [] { return tone("9ch.wav", 44100, 4410, "-c:a pcm_s24le", 9); }, false,
         0, 0, 0, ReadStatus::End, false},
        // AAC in MP4 ends at the track's exact length, not the edit's milliseconds.
        {"m4a-plus-17", [m4aFrames] { return tone("p17.m4a", 44100, m4aFrames + 17, "-c:a aac"); },
         true, 44100, m4aFrames + 17, 2, ReadStatus::End, false},
        {"m4a-plus-43", [m4aFrames] { return tone("p43.m4a", 44100, m4aFrames + 43, "-c:a aac"); },
         true, 44100, m4aFrames + 43, 2, ReadStatus::End, false},
        // Damaged frames are skipped as ffmpeg skips them; past the bound, the end fails.
        {"adts-40-bytes",
         [] { return damage(tone("d.aac", 44100, 20 * 44100, "-c:a aac -f adts", 1), 40, 1); },
         true, 44100, -2, 4096, ReadStatus::End, true},
        {"adts-a-third-garbage",
         [] { return damage(tone("g.aac", 44100, 10 * 44100, "-c:a aac -f adts"), 300, 200); },
         true, 44100, -1, 0, ReadStatus::Failed, true},
        // A stream that ends well short of its stated length fails, Ogg included.
        {"flac-cut", [] { return cut(tone("c.flac", 44100, 4 * 44100, "-c:a flac"), 0.5); }, true,
         44100, -1, 0, ReadStatus::Failed, true},
        {"opus-cut", [] { return cut(tone("c.opus", 48000, 4 * 48000, "-c:a libopus"), 0.5); },
         true, 48000, -1, 0, ReadStatus::Failed, false},
        {"vorbis-cut", [] { return cut(tone("c.ogg", 44100, 4 * 44100, "-c:a libvorbis"), 0.5); },
         true, 44100, -1, 0, ReadStatus::Failed, false},
        {"opus-whole", [] { return tone("w.opus", 48000, 4 * 48000, "-c:a libopus"); }, true, 48000,
         4 * 48000, 2, ReadStatus::End, false},
        // A tag after the last sample that FFmpeg refuses is no failure.
        {"wavpack-17mib-ape-tag",
         [] { return withApeTag(tone("t.wv", 44100, 44100, "-c:a wavpack"), 17u << 20); }, true,
         44100, 44100, 0, ReadStatus::End, false},
    };
    testenv::writeFile(dir() + "m8.wav", wavFile(22050, 1, 8, std::string(4411, '\x90')));
    testenv::writeFile(dir() + "m16.wav", wavFile(22050, 1, 16, std::string(2 * 4411, '\x01')));
    testenv::writeFile(dir() + "s8.wav", wavFile(22050, 2, 8, std::string(2 * 4411 + 1, '\x70')));
    testenv::writeFile(dir() + "empty.wav", wavFile(44100, 2, 16, std::string(3, '\0')));

    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path = row.make();
        const ReadAll r = readAll(path);
        ASSERT_EQ(r.opened, row.opens);
        if (!row.opens) {
            continue;
        }
        EXPECT_EQ(r.rate, row.rate);
        EXPECT_EQ(r.last, row.end);
        EXPECT_EQ(r.damaged > 0, row.damaged) << r.damaged;
        const long expected = row.frames == -2 ? ffmpegFrames(path) : row.frames;
        if (expected >= 0) {
            EXPECT_NEAR(double(r.frames), double(expected), double(row.slack));
        }
        if (row.end == ReadStatus::Failed) {
            EXPECT_GT(r.frames, 0) << "what came before the break is given";
        }
    }
}

// A source cut short while it is read (an Opus that stated 20 s at open, cut to a
// third after one second) fails at its end instead of passing for a shorter file.
TEST(SampleSource, ASourceCutWhileItIsReadFails) {
    const std::string opus = tone("long.opus", 48000, 20 * 48000, "-c:a libopus");
    const std::size_t size = testenv::readFile(opus).size();
    bool truncated = false;
    const ReadAll r = readAll(opus, [&](long frames) {
        if (!truncated && frames > 48000) {
            truncated = ::truncate(opus.c_str(), static_cast<off_t>(size / 3)) == 0;
        }
    });
    ASSERT_TRUE(truncated);
    EXPECT_EQ(r.last, ReadStatus::Failed);
    EXPECT_LT(r.frames, 10 * 48000);
}

// An M4A carrying a cover of `mib` MiB of noise (PNG).
std::string m4aWithCover(int mib) {
    const std::string png = dir() + "noise.png";
    const int side = static_cast<int>(std::sqrt(mib * double(1 << 20) / 3));
    ffmpeg("-f rawvideo -pix_fmt rgb24 -s " + std::to_string(side) + "x" + std::to_string(side) +
               " -i /dev/urandom -frames:v 1",
           png);
    const std::string out = dir() + "cover.m4a";
    ffmpeg("-f lavfi -i sine=d=2 -i '" + png +
               "' -map 0 -map 1 -c:a aac -c:v copy -disposition:v attached_pic",
           out);
    return out;
}

// Whatever a header states, reading keeps to a fixed bound: a child process reads
// each file with its address space limited to what it has plus a headroom. A cover
// above 16 MiB is never read, so a headroom below its size suffices.
TEST(SampleSource, ReadingStaysWithinAFixedMemoryBound) {
    // The library and FFmpeg's are mapped once, before any limit: the bound is on
    // reading, not on loading code.
    std::string why;
    ASSERT_TRUE(codec::SourceReaderAvailable(FFR_LIBRARY_NAME, why)) << why;
    struct Row {
        std::string file;
        rlim_t headroom;
        bool opens;
    };
    const std::vector<Row> rows = {
        {oneHertzFlac(), 256u << 20, false},
        {tone("bound-1k.flac", 1000, 60 * 1000, "-c:a flac -frame_size 65535", 1), 256u << 20,
         true},
        {tone("bound-96k.flac", 96000, 30 * 96000, "-c:a flac -sample_fmt s32"), 256u << 20, true},
        {m4aWithCover(40), 24u << 20, true},
    };
    for (const auto& [file, headroom, opens] : rows) {
        SCOPED_TRACE(file);
        const int status = testenv::runInChild(
            [&file = file, headroom = headroom, opens = opens] {
                long pages = 0;
                if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
                    if (std::fscanf(statm, "%ld", &pages) != 1) {
                        pages = 0;
                    }
                    std::fclose(statm);
                }
                const rlim_t limit =
                    static_cast<rlim_t>(pages) * ::sysconf(_SC_PAGESIZE) + headroom;
                const rlimit bound{limit, limit};
                if (pages == 0 || ::setrlimit(RLIMIT_AS, &bound) != 0) {
                    return 3;
                }
                const ReadAll r = readAll(file);
                return r.opened != opens ? 5 : !r.opened || r.last == ReadStatus::End ? 0 : 4;
            },
            120000);
        EXPECT_EQ(status, 0);
    }
}
