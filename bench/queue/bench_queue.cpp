// Queueing one hand-off file of N names (100,000 by default) in a converting
// window: the scan of one queue tick reads the file, tests every name against the
// queue, appends the names to the crash-safe record and deletes the file. Printed
// beside the floor of reading and decoding the same file.
//   bench_queue [names] [runs]
#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/ConversionForm.h"
#include "bench/support/BenchSupport.h"
#include "platform/FileIO.h"
#include "platform/InstanceFiles.h"

int main(int argc, char** argv) {
    const int names = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    char root[] = "/tmp/tw-bench-queue-XXXXXX";
    if (!mkdtemp(root)) {
        return 1;
    }
    const std::string dir = std::string(root) + "/";
    setenv("TUNEWRIGHT_RUNTIME_DIR", (dir + "runtime").c_str(), 1);
    setenv("TUNEWRIGHT_REGISTRY_DIR", (dir + "registry").c_str(), 1);
    setenv("TUNEWRIGHT_UNATTENDED", "1", 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    int qtArgc = 1;
    QApplication application(qtArgc, argv);

    std::vector<std::string> entries;
    for (int i = 0; i < names; ++i) {
        entries.push_back("/home/user/Music/Some Artist/Some Album/" + std::to_string(i) +
                          " - a track with a longer title.wav");
    }
    std::string error;
    const std::string runtime = platform::runtimeDir(&error);
    if (runtime.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }

    std::vector<double> queueing, reading;
    for (int run = 0; run < runs; ++run) {
        // The floor: reading and decoding the file.
        const std::string path = platform::writeHandOffFile(runtime, entries, &error);
        double start = bench::wallSeconds();
        std::vector<std::string> read;
        platform::readHandOffFile(path, read);
        reading.push_back(bench::wallSeconds() - start);

        // A converting window (holding the lock) with an empty queue: its tick
        // finds no job and scans.
        TForm1::CloseRequested = false; // set by the last run's Shutdown
        platform::InstanceLock lock;
        if (!lock.acquire(runtime)) {
            return 1;
        }
        TForm1 window(std::vector<std::string>{}, TW_BENCH_APP_DIR, &lock);
        window.Timer1->stop();
        window.Timer2->stop();
        start = bench::wallSeconds();
        window.Timer1Timer();
        queueing.push_back(bench::wallSeconds() - start);
        if (window.Engine.FileQueue().size() != static_cast<size_t>(names)) {
            std::fprintf(stderr, "queued %zu of %d names\n", window.Engine.FileQueue().size(), names);
            return 1;
        }
        window.Image4Click();
        window.Shutdown();
    }
    const double q = bench::median(queueing);
    const double r = bench::median(reading);
    std::printf("queueing %d handed-over names: median %.1f ms over %d runs (reading the file "
                "alone %.1f ms, ratio %.1f)\n",
                names, q * 1000, runs, r * 1000, q / r);
    std::system(("rm -rf '" + dir + "'").c_str());
    return 0;
}
