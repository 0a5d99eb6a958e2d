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
    // The child reopens stdout, which would write out what the parent buffered.
    std::fflush(nullptr);
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
    const double begin = bench::wallSeconds();
    std::vector<pid_t> pids;
    if (oneProcess) {
        pids.push_back(start(program, files));
    } else {
        for (const std::string& f : files) {
            pids.push_back(start(program, {f}));
        }
    }
    const std::string firstTarget = out + "/file0.MP3";
    size_t ended = 0;
    std::vector<bool> done(pids.size(), false);
    while (ended < pids.size()) {
        for (size_t i = 0; i < pids.size(); ++i) {
            int status = 0;
            if (done[i] || waitpid(pids[i], &status, WNOHANG) != pids[i]) {
                continue;
            }
            done[i] = true;
            ++ended;
            const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            code == 0 ? ++run.converters : code == 1 ? ++run.handOffs : ++run.others;
        }
        if (run.queued == 0) {
            const bool queued = oneProcess ? bench::fileSize(firstTarget) > 0
                                           : ended + 1 >= pids.size() && !anyHandOffFile(runtime);
            if (queued) {
                run.queued = bench::wallSeconds() - begin;
            }
        }
        ::usleep(2000);
    }
    run.wall = bench::wallSeconds() - begin;
    for (size_t i = 0; i < files.size(); ++i) {
        run.converted += bench::fileSize(out + "/file" + std::to_string(i) + ".MP3") > 0;
    }
    return run;
}

std::string makeDir(const std::string& path) {
    ::mkdir(path.c_str(), 0700);
    return path;
}

} // namespace

int main(int argc, char** argv) {
    const std::string self = argv[0];
    const std::string program =
        argc > 1 ? argv[1] : self.substr(0, self.rfind('/')) + "/../bin/mp3tunewright";
    const int n = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
    const double seconds = argc > 3 ? std::atof(argv[3]) : 5.0;
    if (::access(program.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "no program at %s\n", program.c_str());
        return 1;
    }

    // A private user: settings, runtime folder and output in a temporary folder.
    char rootTemplate[] = "/tmp/tw-bench-batch-XXXXXX";
    if (!mkdtemp(rootTemplate)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string root = std::string(rootTemplate) + "/";
    const std::string home = makeDir(root + "home");
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", makeDir(home + "/.config").c_str(), 1);
    setenv("XDG_DATA_HOME", makeDir(root + "data").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", makeDir(root + "xdg-runtime").c_str(), 1);
    const std::string runtimeDir = makeDir(root + "runtime");
    setenv("TUNEWRIGHT_RUNTIME_DIR", runtimeDir.c_str(), 1);
    setenv("TUNEWRIGHT_REGISTRY_DIR", makeDir(root + "registry").c_str(), 1);
    setenv("TUNEWRIGHT_UNATTENDED", "1", 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const std::string out = makeDir(root + "out");

    // No completion sound or folder: the figure is the batch itself.
    settings::SettingsRecord record;
    settings::SetDefaultSettings(record);
    record.EncodedDir = out;
    record.DecodedDir = out;
    record.PlaySound = 0;
    record.OpenDir = 0;
    std::string failed;
    if (!settings::SaveSettingsRecord(record, &failed)) {
        std::fprintf(stderr, "cannot save settings (%s)\n", failed.c_str());
        return 1;
    }

    std::vector<std::string> files;
    const std::string sources = makeDir(root + "sources");
    for (int i = 0; i < n; ++i) {
        files.push_back(sources + "/file" + std::to_string(i) + ".wav");
        if (!writeSine(files.back(), seconds, 330 + 10 * i)) {
            std::fprintf(stderr, "cannot write %s\n", files.back().c_str());
            return 1;
        }
    }

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
        std::printf(
            "batch: %d WAVs of %.1f s, %s (processes: %d converting, %d handed over, %d other)\n",
            n, seconds, oneProcess ? "one process with every name" : "one process per name",
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
