// Median wall time of a hand-off process (a start with a file name while another
// process holds the lock), beside the median of /bin/true as the floor of
// starting any process at all; then the shared libraries one hand-off process maps
// (the dynamic loader's own account, LD_DEBUG=libs), of which none may be FFmpeg's.
//   bench_handoff [program] [runs]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "bench/support/BenchSupport.h"
#include "platform/InstanceFiles.h"

namespace {

// The CPU milliseconds (user + system) a run of `program` with `argument` used,
// whatever its exit status: on a machine shared with other work, this moves far less
// than the wall time.
double childCpuMilliseconds(const std::string& program, const std::string& argument) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(program.c_str(), program.c_str(), argument.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid) {
        return -1;
    }
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

} // namespace

int main(int argc, char** argv) {
    std::string self = argv[0];
    std::string program =
        argc > 1 ? argv[1] : self.substr(0, self.rfind('/')) + "/../bin/mp3tunewright";
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

    std::vector<double> handOff, floor, handOffCpu;
    for (int i = 0; i < runs; ++i) {
        handOff.push_back(
            bench::childWallMilliseconds(program, {"/music/track " + std::to_string(i) + ".mp3"}));
        floor.push_back(bench::childWallMilliseconds("/bin/true", {}));
        handOffCpu.push_back(
            childCpuMilliseconds(program, "/music/cpu " + std::to_string(i) + ".mp3"));
    }
    // One more hand-off with the loader reporting every library it maps.
    const std::string traced = "LD_DEBUG=libs '" + program + "' '/music/traced.mp3' 2>&1";
    int mapped = 0;
    std::vector<std::string> ffmpeg;
    if (std::FILE* pipe = ::popen(traced.c_str(), "r")) {
        char line[4096];
        while (std::fgets(line, sizeof line, pipe)) {
            if (std::strstr(line, "calling init:")) {
                ++mapped;
                for (const char* name :
                     {"libavformat", "libavcodec", "libavutil", "libswresample"}) {
                    if (std::strstr(line, name)) {
                        ffmpeg.push_back(name);
                    }
                }
            }
        }
        ::pclose(pipe);
    }
    size_t files = platform::listHandOffFiles(dir).size();
    for (const std::string& f : platform::listHandOffFiles(dir)) {
        unlink(f.c_str());
    }
    lock.release();
    rmdir(dir.c_str());

    double h = bench::upperMedian(handOff), t = bench::upperMedian(floor);
    std::printf("hand-off runs:            %d (%zu files written)\n", runs, files);
    std::printf("median hand-off process:  %.2f ms\n", h);
    std::printf("median /bin/true:         %.2f ms\n", t);
    std::printf("ratio hand-off / true:    %.1f\n", h / t);
    std::printf("target hand-off <= 20 ms: %s\n", h <= 20.0 ? "met" : "NOT met");
    std::printf("libraries a hand-off maps: %d, of them FFmpeg's: %zu%s\n", mapped, ffmpeg.size(),
                ffmpeg.empty() ? " (target: none, met)" : " (target: none, NOT met)");
    std::printf("median hand-off CPU time: %.2f ms (user + system)\n",
                bench::upperMedian(handOffCpu));
    return files == 2 * static_cast<size_t>(runs) + 1 && mapped > 0 && ffmpeg.empty() ? 0 : 1;
}
