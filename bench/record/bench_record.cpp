// Records from a device double that delivers 48000 Hz stereo 16-bit audio at real
// pace through the recorder window (offscreen) with MP3 at 320 kbit/s on the fly,
// and prints the overruns, the work of one capture cycle (from the buffer taken
// to the displays updated: copy, level, gate, encoding, writing), the
// user-interface thread's CPU while it waits for the device, and the ratio of the
// encoding work to the lame tool encoding the same audio at the same settings.
//
// Usage: bench_record [seconds] [program directory holding lame.so]

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "WaveInDoubles.h"
#include "bench/support/BenchSupport.h"
#include "recorder/RecorderForm.h"

namespace {

constexpr std::uint32_t kRate = 48000;

testenv::PacedWaveIn* device = nullptr;

class BenchForm : public TForm3 {
public:
    int stopAfterCycles = 0;
    int cycles = 0;
    std::vector<double> cycleWall; // seconds per cycle
    double cycleCpu = 0;
    double encodeCpu = 0; // inside the output's write: encoding and appending
    double waitWall = 0;
    double waitCpu = 0;
    std::uint64_t lostByDevice = 0;

protected:
    void ProcessEvents(int maxWaitMs) override {
        if (maxWaitMs > 0) {
            const double wall = bench::wallSeconds();
            const double cpu = bench::threadCpuSeconds();
            TForm3::ProcessEvents(maxWaitMs);
            waitWall += bench::wallSeconds() - wall;
            waitCpu += bench::threadCpuSeconds() - cpu;
            return;
        }
        TForm3::ProcessEvents(0);
        // The buffer is complete and the events are processed: the cycle's work starts.
        cycleStartWall_ = bench::wallSeconds();
        cycleStartCpu_ = bench::threadCpuSeconds();
    }
    void WriteOutput(const std::uint8_t* data, std::uint32_t length) override {
        const double cpu = bench::threadCpuSeconds();
        TForm3::WriteOutput(data, length);
        encodeCpu += bench::threadCpuSeconds() - cpu;
    }
    void ShowGateState(bool open) override {
        TForm3::ShowGateState(open);
        cycleWall.push_back(bench::wallSeconds() - cycleStartWall_);
        cycleCpu += bench::threadCpuSeconds() - cycleStartCpu_;
        if (++cycles == stopAfterCycles) {
            lostByDevice = device ? device->lostBuffers() : 0;
            SpeedButton2Click();
        }
    }

private:
    double cycleStartWall_ = 0;
    double cycleStartCpu_ = 0;
};

// The same tone the device double delivers, as raw samples for the lame tool.
bool writeRaw(const std::string& path, int seconds) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        return false;
    }
    const std::uint64_t frames = std::uint64_t{kRate} * seconds;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(frames * 4);
    for (std::uint64_t i = 0; i < frames; ++i) {
        auto s =
            static_cast<std::int16_t>(8000.0 * std::sin(2.0 * M_PI * 440.0 * double(i) / kRate));
        for (int c = 0; c < 2; ++c) {
            bytes.push_back(static_cast<std::uint8_t>(s & 0xff));
            bytes.push_back(static_cast<std::uint8_t>((s >> 8) & 0xff));
        }
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

// The recorder's MP3 output fed the same audio back to back, without real-time
// pauses between the buffers: CPU seconds, or a negative value on failure.
double encodeBackToBack(const std::string& libraryPath, const std::string& raw,
                        const std::string& mp3) {
    recorder::RecorderMp3Output output(libraryPath);
    recorder::RecorderMp3Settings settings;
    settings.sampleRate = kRate;
    settings.bitrate = 320;
    std::FILE* in = std::fopen(raw.c_str(), "rb");
    if (!in || !output.LoadEncoderLibrary() || !output.OpenEncoderStream(mp3, settings)) {
        if (in) {
            std::fclose(in);
        }
        return -1;
    }
    std::vector<std::uint8_t> buffer(kRate * 4 / 10);
    double used = 0;
    while (std::fread(buffer.data(), 1, buffer.size(), in) == buffer.size()) {
        const double cpu = bench::threadCpuSeconds();
        output.EncodeBuffer(buffer.data(), static_cast<std::uint32_t>(buffer.size()));
        used += bench::threadCpuSeconds() - cpu;
    }
    std::fclose(in);
    const double cpu = bench::threadCpuSeconds();
    output.CloseEncoderStream();
    return used + bench::threadCpuSeconds() - cpu;
}

} // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    // A message box (an encoder that cannot load) goes to stderr instead of waiting.
    setenv("TUNEWRIGHT_UNATTENDED", "1", 1);
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    const std::string programDir = argc > 2 ? argv[2] : TW_APP_DIR;

    char pattern[] = "/tmp/tw-bench-record-XXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("mkdtemp");
        return 2;
    }
    const std::string dir = pattern;

    platform::installWaveInFactory([] {
        auto paced = std::make_unique<testenv::PacedWaveIn>();
        device = paced.get();
        return paced;
    });

    BenchForm form;
    form.SetEncoderLibraryPath(programDir + "/lame.so");
    form.SetOutputDirectories([dir] { return dir; }, [dir] { return dir; });
    form.Edit1->setText("record");
    form.ComboBox1->setCurrentIndex(form.ComboBox1->findText("48000"));
    form.CheckBox2->setChecked(true);
    form.ComboBox2->setCurrentIndex(form.ComboBox2->findText("320"));
    form.stopAfterCycles = seconds * 10;
    form.show();

    QTimer safety;
    safety.setSingleShot(true);
    QObject::connect(&safety, &QTimer::timeout, [&] {
        std::fprintf(stderr, "recording did not end in time\n");
        form.SpeedButton2Click();
    });
    safety.start((seconds + 30) * 1000);

    const double wall0 = bench::wallSeconds();
    const double cpu0 = bench::threadCpuSeconds();
    form.SpeedButton1Click();
    const double wall = bench::wallSeconds() - wall0;
    const double cpu = bench::threadCpuSeconds() - cpu0;
    const std::string mp3 = dir + "/record.MP3";

    const std::string raw = dir + "/tone.raw";
    const std::string reference = dir + "/lame.mp3";
    const std::string backToBack = dir + "/back-to-back.mp3";
    double lameCpu = -1;
    double backToBackCpu = -1;
    if (writeRaw(raw, seconds)) {
        backToBackCpu = encodeBackToBack(programDir + "/lame.so", raw, backToBack);
        lameCpu = bench::childCpuSeconds({"lame",
                                          "--quiet",
                                          "-r",
                                          "-s",
                                          "48",
                                          "--bitwidth",
                                          "16",
                                          "--signed",
                                          "--little-endian",
                                          "-m",
                                          "s",
                                          "-b",
                                          "320",
                                          "--cbr",
                                          "-q",
                                          "3",
                                          "--noreplaygain",
                                          "-o",
                                          raw,
                                          reference});
    }

    const auto& counters = form.Engine().Counters();
    std::printf("bench_record: %d s of %u Hz stereo 16-bit at real pace, MP3 320 kbit/s on the "
                "fly, window offscreen\n",
                seconds, kRate);
    std::printf("  cycles %d, written %llu buffers, MP3 %ld bytes (320 kbit/s gives %ld)\n",
                form.cycles, static_cast<unsigned long long>(counters.writtenBuffers),
                bench::fileSize(mp3), long(seconds) * 40000);
    std::printf("  overruns: %u (target 0); buffers the device lost: %llu\n", counters.overruns,
                static_cast<unsigned long long>(form.lostByDevice));
    std::printf("  work of one cycle: median %.3f ms, p99 %.3f ms, max %.3f ms (target p99 < 10 "
                "ms) %s\n",
                bench::percentile(form.cycleWall, 0.5) * 1e3,
                bench::percentile(form.cycleWall, 0.99) * 1e3,
                bench::percentile(form.cycleWall, 1.0) * 1e3,
                bench::percentile(form.cycleWall, 0.99) < 0.010 ? "OK" : "ABOVE TARGET");
    const double waitShare = form.waitWall > 0 ? form.waitCpu / form.waitWall : 0;
    std::printf("  UI thread while waiting: %.2f%% CPU over %.1f s (target < 10%%) %s\n",
                waitShare * 100, form.waitWall, waitShare < 0.10 ? "OK" : "ABOVE TARGET");
    std::printf("  UI thread over the whole recording: %.2f s CPU in %.1f s (%.2f%%)\n", cpu, wall,
                cpu / wall * 100);
    if (lameCpu > 0) {
        std::printf("  lame -r -s 48 -m s -b 320 --cbr -q 3 on the same audio: %.3f s CPU, %ld "
                    "bytes\n",
                    lameCpu, bench::fileSize(reference));
        std::printf("ratio encoding CPU (the output's writes) / lame CPU: %.3f (%.3f s / %.3f s)\n",
                    form.encodeCpu / lameCpu, form.encodeCpu, lameCpu);
        std::printf("ratio MP3 output fed back to back / lame CPU: %.3f (%.3f s)\n",
                    backToBackCpu / lameCpu, backToBackCpu);
        std::printf("ratio cycle work CPU / lame CPU: %.3f (%.3f s / %.3f s)\n",
                    form.cycleCpu / lameCpu, form.cycleCpu, lameCpu);
        std::printf("ratio UI thread CPU / lame CPU: %.3f\n", cpu / lameCpu);
        // Same audio, same settings: without lost buffers the two files match.
        std::printf("recording identical to the lame tool's file: %s\n",
                    bench::readAll(mp3) == bench::readAll(reference) ? "yes" : "no");
    } else {
        std::printf("lame tool not available: no ratio\n");
    }

    for (const auto& f : {mp3, raw, reference, backToBack}) {
        std::remove(f.c_str());
    }
    ::rmdir(dir.c_str());
    const bool ok =
        form.cycles == seconds * 10 && counters.writtenBuffers == std::uint64_t(form.cycles);
    return ok ? 0 : 1;
}
