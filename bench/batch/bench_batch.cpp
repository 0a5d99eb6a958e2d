// Wall time of a whole batch: N generated WAVs of a few seconds, each passed to its
// own process of the program as the file manager would start them. One process takes
// the lock and converts, the others hand their names over and end. Printed beside
// the batch's floor: one job per 700 ms queue tick, the first tick 700 ms after the
// start, and three idle ticks before the end, (N + 3) x 0.7 s.
//   bench_batch [program] [N] [seconds]
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

pid_t start(const std::string& program, const std::string& file) {
    pid_t pid = fork();
    if (pid == 0) {
        std::freopen("/dev/null", "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        execl(program.c_str(), program.c_str(), file.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
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
    setenv("TUNEWRIGHT_RUNTIME_DIR", makeDir(root + "runtime").c_str(), 1);
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

    const double begin = bench::wallSeconds();
    std::vector<pid_t> pids;
    for (const std::string& f : files) {
        pids.push_back(start(program, f));
    }
    int converters = 0, handOffs = 0, others = 0;
    for (pid_t pid : pids) {
        int status = 0;
        waitpid(pid, &status, 0);
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        code == 0 ? ++converters : code == 1 ? ++handOffs : ++others;
    }
    const double wall = bench::wallSeconds() - begin;

    int converted = 0;
    for (int i = 0; i < n; ++i) {
        converted += bench::fileSize(out + "/file" + std::to_string(i) + ".MP3") > 0;
    }
    const double floor = (n + 3) * 0.7;
    std::printf("batch: %d WAVs of %.1f s, %d processes (%d converted, %d handed over, %d other)\n",
                n, seconds, n, converters, handOffs, others);
    std::printf("  files converted     %d of %d\n", converted, n);
    std::printf("  wall time           %.2f s\n", wall);
    std::printf("  floor (N+3) x 0.7   %.2f s\n", floor);
    std::printf("  ratio               %.3f (target <= 1.10)\n", wall / floor);

    std::string cleanup = "rm -rf '" + root + "'";
    if (std::system(cleanup.c_str()) != 0) {
        std::fprintf(stderr, "left %s behind\n", root.c_str());
    }
    return converted == n && converters == 1 ? 0 : 1;
}
