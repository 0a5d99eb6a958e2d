// Rips a generated 10-minute disc image track through the ripping engine and the
// real libakrip32.so, once to WAV and once to MP3, and prints the WAV rip speed as a
// multiple of real time and the MP3 rip's CPU time against the lame tool encoding
// the same audio.
//
// Usage: bench_rip [runs]

#include <QCoreApplication>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "bench/support/BenchSupport.h"
#include "ripper/CdDrives.h"
#include "ripper/RipEngine.h"

namespace {

constexpr int kSeconds = 600;
constexpr int64_t kFrames = int64_t{kSeconds} * 75;
// The quality libmp3lame gets from the ripper's record (preset 0 keeps its default 3).
constexpr const char* kLameQuality = "3";

// Chords that change every two seconds with a little noise, so the encoder works as
// it does on music.
bool writeImage(const std::string& dir) {
    const int64_t samples = kFrames * 588;
    std::vector<uint8_t> bytes(static_cast<size_t>(samples) * 4);
    const double chords[4][3] = {{261.63, 329.63, 392.00},
                                 {220.00, 261.63, 329.63},
                                 {174.61, 220.00, 261.63},
                                 {196.00, 246.94, 293.66}};
    uint32_t seed = 0x2468ACEu;
    for (int64_t i = 0; i < samples; ++i) {
        const double t = double(i) / 44100;
        const auto& chord = chords[(i / (2 * 44100)) % 4];
        double left = 0, right = 0;
        for (int k = 0; k < 3; ++k) {
            left += std::sin(2 * M_PI * chord[k] * t) + 0.3 * std::sin(4 * M_PI * chord[k] * t);
            right += std::sin(2 * M_PI * chord[k] * 1.003 * t + k);
        }
        seed = seed * 1664525u + 1013904223u;
        double noise = (double(seed >> 8) / double(1u << 24) - 0.5) * 0.3;
        auto sample = [](double v) {
            return static_cast<int16_t>(std::clamp(std::lround(v * 5000), -32768L, 32767L));
        };
        int16_t l = sample(left + noise), r = sample(right - noise);
        uint8_t* p = &bytes[static_cast<size_t>(i) * 4];
        p[0] = static_cast<uint8_t>(l);
        p[1] = static_cast<uint8_t>(static_cast<uint16_t>(l) >> 8);
        p[2] = static_cast<uint8_t>(r);
        p[3] = static_cast<uint8_t>(static_cast<uint16_t>(r) >> 8);
    }
    std::FILE* bin = std::fopen((dir + "/bench.bin").c_str(), "wb");
    std::FILE* cue = std::fopen((dir + "/bench.cue").c_str(), "w");
    if (!bin || !cue) {
        return false;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), bin) == bytes.size();
    std::fputs("FILE \"bench.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n", cue);
    return (std::fclose(bin) == 0) & (std::fclose(cue) == 0) & ok;
}

class QuietView : public ripper::RipView {
public:
    void appendLog(const std::string& line) override { log.push_back(line); }
    void setProgress(int) override {}
    void setSpeedText(const std::string&) override {}
    void setElapsedText(const std::string&) override {}
    void setEstimateText(const std::string&) override {}
    void setTrackText(const std::string&) override {}
    void setRippingState(bool) override {}
    void processPendingEvents() override { QCoreApplication::processEvents(); }
    int rowCount() override { return 1; }
    bool isRowSelected(int) override { return true; }
    int driveIndex() override { return drive; }
    std::string prefix() override { return "Track"; }
    bool compressOnFly() override { return compress; }
    bool stopOnErrors() override { return false; }
    std::string ripperOut() override { return out; }
    bool notifyWhenDone() override { return false; }

    std::vector<std::string> log;
    int drive = 0;
    bool compress = false;
    std::string out;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;

    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tw-bench-rip-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 2;
    }
    const std::string dir = pattern;
    if (!writeImage(dir)) {
        std::fprintf(stderr, "cannot write the disc image in %s\n", dir.c_str());
        return 2;
    }
    setenv("TUNEWRIGHT_CD_IMAGES", (dir + "/bench.cue").c_str(), 1);

    QuietView view;
    view.out = dir + "/out";
    ripper::CdDrives drives(ripper::linkedCdLibrary());
    std::vector<std::string> names = drives.DiscoverDrives();
    auto it = std::find(names.begin(), names.end(), "bench.cue");
    if (it == names.end()) {
        std::fprintf(stderr, "the image is not among the drives\n");
        return 2;
    }
    view.drive = int(it - names.begin());
    ripper::RipEngine engine(drives, view);
    engine.EncoderLibraryPath = std::string(TW_APP_DIR) + "/lame.so";

    const std::string wav = view.out + "/Track#1.wav";
    const std::string mp3 = view.out + "/Track#1.mp3";
    const std::string lameNamed = dir + "/lame.mp3";
    const std::string lamePlain = dir + "/lame-plain.mp3";
    const std::string image = bench::readAll(dir + "/bench.bin");

    std::vector<double> wavWall, mp3Cpu, lameCpu, plainCpu;
    for (int i = 0; i < runs; ++i) {
        view.compress = false;
        view.log.clear();
        double start = bench::wallSeconds();
        engine.RipSelectedTracks();
        wavWall.push_back(bench::wallSeconds() - start);
        if (view.log.back() != "Ripping done" || bench::readAll(wav).substr(44) != image) {
            std::fprintf(stderr, "the WAV rip failed or differs from the image\n");
            return 1;
        }

        view.compress = true;
        view.log.clear();
        double cpu = bench::processCpuSeconds();
        engine.RipSelectedTracks();
        mp3Cpu.push_back(bench::processCpuSeconds() - cpu);
        if (view.log.back() != "Ripping done") {
            std::fprintf(stderr, "the MP3 rip failed: %s\n", view.log.back().c_str());
            return 1;
        }
        double l = bench::childCpuSeconds(
            {"lame", "--quiet", "-b", "128", "--cbr", "-m", "s", wav, lameNamed});
        double p = bench::childCpuSeconds({"lame", "--quiet", "-b", "128", "--cbr", "-m", "s", "-q",
                                           kLameQuality, "--noreplaygain", "-o", wav, lamePlain});
        if (l < 0 || p < 0) {
            std::fprintf(stderr, "the lame tool failed\n");
            return 1;
        }
        lameCpu.push_back(l);
        plainCpu.push_back(p);
    }

    const double wavMedian = bench::median(wavWall);
    const double realtime = kSeconds / wavMedian;
    const double mp3Median = bench::median(mp3Cpu);
    const double lameMedian = bench::median(lameCpu);
    const double plainMedian = bench::median(plainCpu);
    std::printf("bench_rip: a %d s disc image track (%lld frames), %d runs, medians\n", kSeconds,
                static_cast<long long>(kFrames), runs);
    std::printf("  WAV rip:  %.3f s wall = %.0fx real time (target >= 200x) %s\n", wavMedian,
                realtime, realtime >= 200 ? "OK" : "BELOW TARGET");
    std::printf("  MP3 rip:  %.3f s CPU (reading, encoding, writing)\n", mp3Median);
    std::printf("  lame -b 128 --cbr -m s:                        %.3f s CPU\n", lameMedian);
    std::printf("  lame -b 128 --cbr -m s -q %s --noreplaygain -o: %.3f s CPU\n", kLameQuality,
                plainMedian);
    const double ratio = mp3Median / lameMedian;
    std::printf("ratio MP3 rip / lame: %.3f (target <= 1.05) %s\n", ratio,
                ratio <= 1.05 ? "OK" : "ABOVE TARGET");
    std::printf("ratio MP3 rip / lame -q %s --noreplaygain -o: %.3f\n", kLameQuality,
                mp3Median / plainMedian);
    std::printf("MP3 rip identical to lame -q %s --noreplaygain -o: %s\n", kLameQuality,
                bench::readAll(mp3) == bench::readAll(lamePlain) ? "yes" : "no");

    for (const auto& f : {wav, mp3, lameNamed, lamePlain, dir + "/bench.bin", dir + "/bench.cue"}) {
        std::remove(f.c_str());
    }
    ::rmdir(view.out.c_str());
    ::rmdir(dir.c_str());
    return 0;
}
