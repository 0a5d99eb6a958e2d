// The executable: a start that only hands its names over to the converting process
// does so here, without loading the program's libraries (Qt and all it brings);
// every other start loads the program proper from the program folder and runs it,
// with the lock this start took.

#include <cstdio>
#include <dlfcn.h>

#include "app/CommandLine.h"
#include "app/HandOff.h"
#include "platform/Paths.h"

int main(int argc, char** argv) {
    const app::Arguments arguments = app::ParseArguments(argc, argv);
    platform::InstanceLock lock;
    app::Claim claim;
    if (arguments.request == app::Arguments::Request::Start && !arguments.names.empty()) {
        claim = app::ClaimNames(lock, arguments.names, arguments.decodeFolders);
        if (claim.outcome == app::Claim::HandedOver) {
            return 1;
        }
        // A failure is the program's to report, with a box: it tries again itself.
    }
    // Loaded for the life of the process; never unloaded.
    const std::string path = platform::programDir() + app::kProgramLibrary;
    void* program = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    auto run = program ? reinterpret_cast<app::ProgramMain>(::dlsym(program, app::kProgramMain))
                       : nullptr;
    if (!run) {
        std::fprintf(stderr, "mp3tunewright: cannot load %s: %s\n", path.c_str(), ::dlerror());
        return 2;
    }
    const bool held = claim.outcome == app::Claim::Converter && lock.held();
    const std::string dir = lock.dir();
    const int fd = held ? lock.handOver() : -1;
    return run(argc, argv, fd, dir.c_str(), held && claim.namesHandedOver ? 1 : 0);
}
