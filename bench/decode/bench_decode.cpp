// Decodes a generated 10-minute, 44100 Hz stereo, 128 kbit/s MP3 through TMP3Codec
// exactly as a batch job does (open; events processed before and after each step;
// close) and with `mpg123 -q -w` in the same run, and prints the CPU time of both,
// their ratio, and the share of the process's CPU that the user-interface thread
// used while the decoder thread worked. It also checks that both wrote the same
// samples.
//
// Usage: bench_decode [runs] [program directory holding xaudio.so]

#include <QCoreApplication>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "bench/support/BenchSupport.h"
#include "codec/MP3Codec.h"
#include "codec/WavFormat.h"

namespace {

constexpr std::uint32_t kRate = 44100;
constexpr int kSeconds = 600;

// A chord progression with a little noise, so the encoder makes frames like those of
// music rather than of a pure tone.
bool writeWav(const std::string& path) {
    const std::size_t frames = std::size_t{kRate} * kSeconds;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        return false;
    }
    auto header =
        codec::MakeWavHeader(codec::kCdAudioFormat, static_cast<std::uint32_t>(frames * 4));
    bool ok = std::fwrite(header.data(), 1, header.size(), f) == header.size();
    const double chords[4][3] = {{261.63, 329.63, 392.00},
                                 {220.00, 261.63, 329.63},
                                 {174.61, 220.00, 261.63},
                                 {196.00, 246.94, 293.66}};
    std::vector<std::uint8_t> block;
    std::uint32_t seed = 0x2468ACEu;
    for (std::size_t i = 0; i < frames && ok; ++i) {
        const double t = double(i) / kRate;
        const auto& chord = chords[(i / (2 * kRate)) % 4];
        double left = 0, right = 0;
        for (int k = 0; k < 3; ++k) {
            left += std::sin(2 * M_PI * chord[k] * t) + 0.3 * std::sin(4 * M_PI * chord[k] * t);
            right += std::sin(2 * M_PI * chord[k] * 1.002 * t + k);
        }
        seed = seed * 1664525u + 1013904223u;
        const double noise = (double(seed >> 8) / double(1u << 24) - 0.5) * 0.3;
        for (double v : {left + noise, right - noise}) {
            long s = std::clamp(std::lround(v * 5000), -32768L, 32767L);
            block.push_back(static_cast<std::uint8_t>(s & 0xFF));
            block.push_back(static_cast<std::uint8_t>((s >> 8) & 0xFF));
        }
        if (block.size() >= 1 << 20 || i + 1 == frames) {
            ok = std::fwrite(block.data(), 1, block.size(), f) == block.size();
            block.clear();
        }
    }
    return std::fclose(f) == 0 && ok;
}

struct JobFigures {
    double processCpu = -1;
    double uiCpu = 0;
    double wall = 0;
    int steps = 0;
};

// One decode exactly as the batch job runs it.
JobFigures decodeWithCodec(codec::TMP3Codec& codec, const std::string& mp3,
                           const std::string& wav) {
    JobFigures figures;
    const double process0 = bench::processCpuSeconds();
    const double ui0 = bench::threadCpuSeconds();
    const double wall0 = bench::wallSeconds();
    int code = codec.OpenDecode(mp3, wav);
    std::uint16_t progress = 0;
    while (code == 0) {
        QCoreApplication::processEvents();
        code = codec.DecodeStep(progress);
        ++figures.steps;
        QCoreApplication::processEvents();
    }
    codec.CloseDecode();
    figures.wall = bench::wallSeconds() - wall0;
    figures.uiCpu = bench::threadCpuSeconds() - ui0;
    if (code != 8) {
        std::fprintf(stderr, "DecodeStep ended with %d %s\n", code, codec::CodecResultText(code));
        return figures;
    }
    figures.processCpu = bench::processCpuSeconds() - process0;
    return figures;
}

// The sample bytes of a WAV file: what follows its "data" chunk header.
std::string samplesOf(const std::string& wav) {
    std::size_t at = wav.find("data", 12);
    return at == std::string::npos || at + 8 > wav.size() ? std::string() : wav.substr(at + 8);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const std::string programDir = argc > 2 ? argv[2] : TW_APP_DIR;

    char pattern[] = "/tmp/tw-bench-decode-XXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("mkdtemp");
        return 2;
    }
    const std::string dir = pattern;
    const std::string source = dir + "/music.wav";
    const std::string mp3 = dir + "/music.mp3";
    const std::string ours = dir + "/codec.wav";
    const std::string theirs = dir + "/mpg123.wav";
    std::fprintf(stderr, "making a %d s MP3 with lame...\n", kSeconds);
    if (!writeWav(source) ||
        bench::childCpuSeconds({"lame", "--quiet", "-b", "128", source, mp3}) < 0) {
        std::fprintf(stderr, "cannot make %s\n", mp3.c_str());
        return 2;
    }
    std::remove(source.c_str());

    codec::TMP3Codec codec;
    codec.XaudioPlayer()->XaudioPath = programDir + "/xaudio.so";
    try {
        codec.InitDecoder("");
    } catch (const codec::EXaudioException& e) {
        std::fprintf(stderr, "InitDecoder: %s\n", e.what());
        return 2;
    }

    std::vector<double> codecTimes, mpg123Times, uiShares, uiTimes;
    JobFigures last;
    for (int i = 0; i < runs; ++i) {
        // Both start without an output file: deleting or truncating the last run's
        // 100 MB is the file system's work, not the decoder's.
        std::remove(ours.c_str());
        std::remove(theirs.c_str());
        JobFigures job = decodeWithCodec(codec, mp3, ours);
        double reference = bench::childCpuSeconds({"mpg123", "-q", "-w", theirs, mp3});
        if (job.processCpu < 0 || reference < 0) {
            std::fprintf(stderr, "run %d failed (codec %.3f, mpg123 %.3f)\n", i, job.processCpu,
                         reference);
            return 1;
        }
        codecTimes.push_back(job.processCpu);
        mpg123Times.push_back(reference);
        uiTimes.push_back(job.uiCpu);
        uiShares.push_back(job.uiCpu / job.processCpu);
        last = job;
    }

    const std::string ourSamples = bench::readAll(ours).substr(codec::kWavHeaderSize);
    const std::string theirSamples = samplesOf(bench::readAll(theirs));

    // CPU time only grows on a busy machine, so the least of the runs is the
    // steadiest figure; the medians are shown beside it.
    std::printf("bench_decode: %d s of 44100 Hz stereo at 128 kbit/s, %d runs, CPU seconds "
                "(least, median)\n",
                kSeconds, runs);
    std::printf("  TMP3Codec job (open, steps, close):  %.3f s  %.3f s  (wall %.3f s, %d steps)\n",
                bench::least(codecTimes), bench::median(codecTimes), last.wall, last.steps);
    std::printf("  mpg123 -q -w:                        %.3f s  %.3f s\n",
                bench::least(mpg123Times), bench::median(mpg123Times));
    std::printf("  user-interface thread:               %.4f s  %.4f s\n", bench::least(uiTimes),
                bench::median(uiTimes));
    const double ratio = bench::least(codecTimes) / bench::least(mpg123Times);
    std::printf("ratio codec / mpg123: %.3f (target <= 1.10) %s; of medians %.3f\n", ratio,
                ratio <= 1.10 ? "OK" : "ABOVE TARGET",
                bench::median(codecTimes) / bench::median(mpg123Times));
    const double share = bench::median(uiShares);
    std::printf("user-interface thread's share of the process's CPU: %.2f %% (median; target <= 5 "
                "%%) %s\n",
                share * 100, share <= 0.05 ? "OK" : "ABOVE TARGET");
    std::printf("samples identical to mpg123's: %s (%zu bytes)\n",
                !ourSamples.empty() && ourSamples == theirSamples ? "yes" : "no",
                ourSamples.size());

    for (const auto& f : {mp3, ours, theirs}) {
        std::remove(f.c_str());
    }
    ::rmdir(dir.c_str());
    return 0;
}
