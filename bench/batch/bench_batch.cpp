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
//
// The parallel mode measures the batch on every core, one process with every name,
// from the start of the process to the last write of any output (the idle ticks
// after the last job do no work): 8 WAVs of 45 s with the default ParallelJobs
// against ParallelJobs 1 and against SoundConverter's batch mode (bench/setup
// installs it), 60 WAVs of 0.5 s, whether the MP3s of both runs are the same bytes,
// and the peak memory of a batch of 60 s WAVs with ParallelJobs 16.
//   bench_batch [program] parallel
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "bench/support/BenchSupport.h"
#include "platform/Registry.h"
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

pid_t start(const std::string& program, const std::vector<std::string>& files,
            const std::vector<std::string>& before = {}) {
    // The child reopens stdout, which would write out what the parent buffered.
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        std::freopen("/dev/null", "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& a : before) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        for (const std::string& f : files) {
            argv.push_back(const_cast<char*>(f.c_str()));
        }
        argv.push_back(nullptr);
        execvp(program.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

double realtimeSeconds() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

// The newest modification time among the files and folders below `dir` (any
// depth), on the real-time clock; 0 when there are none. A folder counts too: an
// output takes its place in its folder (a new name there) after its last write.
double lastWrite(const std::string& dir) {
    double newest = 0;
    DIR* listing = ::opendir(dir.c_str());
    if (!listing) {
        return 0;
    }
    while (dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        const std::string path = dir + "/" + name;
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            newest = std::max({newest, lastWrite(path),
                               st.st_mtim.tv_sec + st.st_mtim.tv_nsec / 1e9});
        } else {
            newest = std::max(newest, st.st_mtim.tv_sec + st.st_mtim.tv_nsec / 1e9);
        }
    }
    ::closedir(listing);
    return newest;
}

struct Timed {
    double toLastWrite = 0; // start of the process to the last write of an output
    long peakKiB = 0;       // the process's peak resident memory
    double uiShare = 0;     // the user-interface (main) thread's share of its CPU time
    bool ok = false;
};

// User and system clock ticks of a /proc stat file (fields 14 and 15); -1 when it
// cannot be read.
long long cpuTicks(const std::string& statPath) {
    std::ifstream in(statPath);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) {
            utime = std::atoll(field.c_str());
        } else if (i == 15) {
            stime = std::atoll(field.c_str());
        }
    }
    return utime + stime;
}

// Runs one process over `files` and times it to its last write into `out`.
Timed timeBatch(const std::string& program, const std::vector<std::string>& files,
                const std::string& out, const std::vector<std::string>& before = {}) {
    Timed timed;
    const double begin = realtimeSeconds();
    const pid_t pid = start(program, files, before);
    int status = 0;
    rusage usage{};
    // The CPU times are read while the process runs: its main thread's and its
    // whole, the last reading before it ends.
    const std::string proc = "/proc/" + std::to_string(pid);
    long long main = 0, all = 0;
    for (;;) {
        const pid_t ended = ::wait4(pid, &status, WNOHANG, &usage);
        if (ended == pid) {
            break;
        }
        if (ended < 0) {
            return timed;
        }
        const long long m = cpuTicks(proc + "/task/" + std::to_string(pid) + "/stat");
        const long long a = cpuTicks(proc + "/stat");
        if (m >= 0 && a > 0) {
            main = m;
            all = a;
        }
        ::usleep(20000);
    }
    timed.uiShare = all > 0 ? static_cast<double>(main) / static_cast<double>(all) : 0;
    timed.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    timed.toLastWrite = lastWrite(out) - begin;
    timed.peakKiB = usage.ru_maxrss;
    return timed;
}

void setParallelJobs(int jobs) {
    platform::Registry user(platform::RegistryRoot::CurrentUser);
    user.writeInteger(settings::kSettingsKey, "ParallelJobs", jobs);
}

bool emptyDir(const std::string& dir) {
    const std::string clear = "rm -rf '" + dir + "' && mkdir -p '" + dir + "'";
    return std::system(clear.c_str()) == 0;
}

// The runs of the parallel mode; true when every figure meets its target.
bool parallelBench(const std::string& program, const std::string& root, const std::string& out) {
    const std::string sources = root + "parallel-sources";
    emptyDir(sources);
    auto make = [&](const std::string& stem, int count, double seconds) {
        std::vector<std::string> files;
        for (int i = 0; i < count; ++i) {
            files.push_back(sources + "/" + stem + std::to_string(i) + ".wav");
            writeSine(files.back(), seconds, 330 + 10 * i);
        }
        return files;
    };
    bool ok = true;

    // 8 WAVs of 45 s: the default against one job at a time, and the peer.
    const std::vector<std::string> album = make("track", 8, 45);
    const std::string serialOut = root + "serial-out";
    emptyDir(out);
    setParallelJobs(1);
    const Timed serial = timeBatch(program, album, out);
    std::system(("rm -rf '" + serialOut + "' && mv '" + out + "' '" + serialOut + "'").c_str());
    emptyDir(out);
    setParallelJobs(0);
    const Timed parallel = timeBatch(program, album, out);
    // Same names, same bytes.
    bool same = true;
    for (size_t i = 0; i < album.size(); ++i) {
        const std::string name = "/track" + std::to_string(i) + ".MP3";
        const std::string a = bench::readAll(serialOut + name);
        same = same && !a.empty() && a == bench::readAll(out + name);
    }
    std::printf("parallel batch: 8 WAVs of 45 s, one process, start to last write\n");
    std::printf("  ParallelJobs 1        %.2f s\n", serial.toLastWrite);
    std::printf("  default               %.2f s\n", parallel.toLastWrite);
    const double ratio = parallel.toLastWrite / serial.toLastWrite;
    std::printf("  ratio default / 1     %.3f (target <= 0.55)\n", ratio);
    std::printf("  UI thread CPU share   %.1f %% (target < 5)\n", 100 * parallel.uiShare);
    std::printf("  MP3s byte-identical   %s\n", same ? "yes" : "NO");
    ok = ok && serial.ok && parallel.ok && same && ratio <= 0.55 && parallel.uiShare < 0.05;

    const std::string peerOut = root + "peer-out";
    emptyDir(peerOut);
    if (::system("command -v soundconverter >/dev/null 2>&1") == 0) {
        // Its batch mode, CBR 128 kbit/s as ours, one job per CPU.
        const Timed peer = timeBatch("soundconverter", album, peerOut,
                                     {"-b", "-f", "mp3", "-m", "cbr", "-q", "128", "-o", peerOut});
        const double peerRatio = parallel.toLastWrite / peer.toLastWrite;
        std::printf("  SoundConverter -b     %.2f s\n", peer.toLastWrite);
        std::printf("  ratio default / peer  %.3f (target <= 1.00)\n", peerRatio);
        ok = ok && peer.ok && peerRatio <= 1.0;
    } else {
        std::printf("  SoundConverter        not installed (bench/setup installs it)\n");
    }

    // 60 WAVs of half a second.
    const std::vector<std::string> shorts = make("short", 60, 0.5);
    emptyDir(out);
    const Timed many = timeBatch(program, shorts, out);
    std::printf("parallel batch: 60 WAVs of 0.5 s, default, start to last write\n");
    std::printf("  time                  %.2f s (target < 8)\n", many.toLastWrite);
    ok = ok && many.ok && many.toLastWrite < 8.0;

    // Peak memory with sixteen workers.
    const std::vector<std::string> minutes = make("minute", 16, 60);
    emptyDir(out);
    setParallelJobs(16);
    const Timed wide = timeBatch(program, minutes, out);
    setParallelJobs(0);
    std::printf("parallel batch: 16 WAVs of 60 s, ParallelJobs 16\n");
    std::printf("  peak RSS              %.1f MB (target < 150)\n", wide.peakKiB / 1024.0);
    ok = ok && wide.ok && wide.peakKiB / 1024.0 < 150;
    return ok;
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

    if (argc > 2 && std::string(argv[2]) == "parallel") {
        const bool ok = parallelBench(program, root, out);
        std::system(("rm -rf '" + root + "'").c_str());
        return ok ? 0 : 1;
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
