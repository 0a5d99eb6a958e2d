// The program proper's entry point, which the executable calls once it knows the
// start is more than a hand-off.

#include "app/HandOff.h"
#include "app/Startup.h"

extern "C" __attribute__((visibility("default"))) int tw_program_main(int argc, char** argv,
                                                                      int lockFd,
                                                                      const char* lockDir,
                                                                      int namesHandedOver) {
    if (lockFd < 0) {
        return app::Run(argc, argv);
    }
    app::HeldLock held{lockFd, lockDir ? lockDir : "", namesHandedOver != 0};
    return app::Run(argc, argv, &held);
}
