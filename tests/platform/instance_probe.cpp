// A separate process for the single-instance tests:
//   instance_probe hold <dir>          takes the lock, prints "held", sleeps until killed
//   instance_probe spawn <dir> <secs>  takes the lock, starts `sleep <secs>`, exits
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "platform/InstanceFiles.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        return 64;
    }
    platform::InstanceLock lock;
    if (!lock.acquire(argv[2])) {
        std::puts("busy");
        return 3;
    }
    if (std::strcmp(argv[1], "hold") == 0) {
        std::puts("held");
        std::fflush(stdout);
        for (int i = 0; i < 600; ++i) {
            sleep(1);
        }
        return 0;
    }
    if (std::strcmp(argv[1], "spawn") == 0 && argc > 3) {
        if (fork() == 0) {
            execlp("sleep", "sleep", argv[3], static_cast<char*>(nullptr));
            _exit(127);
        }
        // Give the child time to be running its own program, then leave
        // without releasing: only the kernel's cleanup drops the lock.
        usleep(300 * 1000);
        _exit(0);
    }
    return 64;
}
