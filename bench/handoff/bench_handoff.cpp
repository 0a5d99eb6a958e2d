// Median wall time of a hand-off process (a start with a file name while another
// process holds the lock), beside the median of /bin/true as the floor of
// starting any process at all.
//   bench_handoff [program] [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/InstanceFiles.h"

namespace {

double runOnce(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    std::vector<std::string> copy{program};
    copy.insert(copy.end(), args.begin(), args.end());
    for (auto& a : copy) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    auto end = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::milli>(end - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    std::string self = argv[0];
    std::string program = argc > 1 ? argv[1]
                                   : self.substr(0, self.rfind('/')) + "/../bin/mp3tunewright";
    int runs = argc > 2 ? std::atoi(argv[2]) : 50;

    char dirTemplate[] = "/tmp/tw-bench-handoff-XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        std::perror("mkdtemp");
        return 1;
    }
    std::string dir = std::string(dirTemplate) + "/";
    setenv("TUNEWRIGHT_RUNTIME_DIR", dir.c_str(), 1);
    platform::InstanceLock lock;
    if (!lock.acquire(dir)) {
        std::fprintf(stderr, "cannot take the lock in %s\n", dir.c_str());
        return 1;
    }

    std::vector<double> handOff, floor;
    for (int i = 0; i < runs; ++i) {
        handOff.push_back(runOnce(program, {"/music/track " + std::to_string(i) + ".mp3"}));
        floor.push_back(runOnce("/bin/true", {}));
    }
    size_t files = platform::listHandOffFiles(dir).size();
    for (const std::string& f : platform::listHandOffFiles(dir)) {
        unlink(f.c_str());
    }
    lock.release();
    rmdir(dir.c_str());

    double h = median(handOff), t = median(floor);
    std::printf("hand-off runs:            %d (%zu files written)\n", runs, files);
    std::printf("median hand-off process:  %.2f ms\n", h);
    std::printf("median /bin/true:         %.2f ms\n", t);
    std::printf("ratio hand-off / true:    %.1f\n", h / t);
    std::printf("target hand-off <= 20 ms: %s\n", h <= 20.0 ? "met" : "NOT met");
    return files == static_cast<size_t>(runs) ? 0 : 1;
}
