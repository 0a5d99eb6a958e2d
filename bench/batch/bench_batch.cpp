// Wall time of a whole batch of N generated WAVs of a few seconds, started in two
// ways a file manager starts them:
//   - hand-off: each file passed to its own process; one process takes the lock and
//     converts, the others hand their names over and end;
//   - one process: all files passed to one process (a context-menu action's %F).
// Each is printed beside the batch's floor: one job per 700 ms queue tick, the
// first tick 700 ms after the start, and three idle ticks before the end,
// (N + 3) x 0.7 s, and with the time until every name was queued: for the
// hand-off run, until every process has ended and the converter has taken every
// hand-off file; for the one-process run, until its first job wrote its target
// (the names are queued before that, when its window is created).
//   bench_batch [program] [N] [seconds] [handoff|one|both]
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "bench/support/BenchSupport.h"
#include "settings/Settings.h"

namespace {

void put(std::ofstream& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.put(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

// A 44100 Hz stereo 16-bit sine of `seconds`.
bool writeSine(const std::string& path, double seconds, double frequency) {
    const uint32_t rate = 44100;
    const uint32_t frames = static_cast<uint32_t>(seconds * rate);
    const uint32_t dataSize = frames * 4;
    std::ofstream out(path, std::ios::binary);
    out.write("RIFF", 4);
    put(out, dataSize + 36, 4);
    out.write("WAVEfmt ", 8);
    put(out, 16, 4);
    put(out, 1, 2);
    put(out, 2, 2);
    put(out, rate, 4);
    put(out, rate * 4, 4);
    put(out, 4, 2);
    put(out, 16, 2);
    out.write("data", 4);
    put(out, dataSize, 4);
    for (uint32_t i = 0; i < frames; ++i) {
        const double v = 0.5 * std::sin(2 * M_PI * frequency * i / rate);
        const auto s = static_cast<uint16_t>(static_cast<int16_t>(std::lround(v * 32767)));
        put(out, s, 2);
        put(out, s, 2);
    }
    return static_cast<bool>(out);
}

pid_t start(const std::string& program, const std::vector<std::string>& files) {
    pid_t pid = fork();
    if (pid == 0) {
        std::freopen("/dev/null", "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& f : files) {
            argv.push_back(const_cast<char*>(f.c_str()));
        }
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

bool anyHandOffFile(const std::string& dir) {
    DIR* listing = ::opendir(dir.c_str());
    if (!listing) {
        return false;
    }
    bool found = false;
    while (dirent* entry = ::readdir(listing)) {
        if (std::string(entry->d_name).rfind("addedmp3.", 0) == 0) {
            found = true;
            break;
        }
    }
    ::closedir(listing);
    return found;
}

struct Run {
    double wall = 0;
    double queued = 0;
    int converters = 0, handOffs = 0, others = 0, converted = 0;
};

// Starts the batch, notes when every name is queued, and waits for its end.
Run runBatch(const std::string& program, const std::vector<std::string>& files,
             const std::string& out, const std::string& runtime, bool oneProcess) {
    Run run;
    const std::string mode = argc > 4 ? argv[4] : "both";
    const double floor = (n + 3) * 0.7;
    bool ok = true;
    for (bool oneProcess : {false, true}) {
        if ((oneProcess && mode == "handoff") || (!oneProcess && mode == "one")) {
            continue;
        }
        std::string clear = "rm -f '" + out + "'/*";
        if (std::system(clear.c_str()) != 0) {
            return 1;
        }
        const Run run = runBatch(program, files, out, runtimeDir, oneProcess);
        std::printf("batch: %d WAVs of %.1f s, %s (%d converted, %d handed over, %d other)\n", n,
                    seconds, oneProcess ? "one process with every name" : "one process per name",
                    run.converters, run.handOffs, run.others);
        std::printf("  files converted     %d of %d\n", run.converted, n);
        std::printf("  names queued after  %.2f s\n", run.queued);
        std::printf("  wall time           %.2f s\n", run.wall);
        std::printf("  floor (N+3) x 0.7   %.2f s\n", floor);
        std::printf("  ratio               %.3f (target <= 1.10)\n", run.wall / floor);
        ok = ok && run.converted == n && run.converters == 1;
    }

    std::string cleanup = "rm -rf '" + root + "'";
    if (std::system(cleanup.c_str()) != 0) {
        std::fprintf(stderr, "left %s behind\n", root.c_str());
    }
    return ok ? 0 : 1;
}
