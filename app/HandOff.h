#pragma once

// The part of start-up that every process given file names goes through before
// anything of the windows exists: the lock, or handing the names over to the
// process that holds it. It uses none of the program's libraries beyond the C++
// runtime, so a process that only hands names over starts and ends quickly (a file
// manager may start one per selected file).

#include <string>
#include <vector>

#include "platform/InstanceFiles.h"

namespace app {

// Relative names made absolute, in the process that got them (the converting
// process may run in another directory); a name that is a folder becomes its
// folder entry, which says which verb it came with (`decodeFolders`).
std::vector<std::string> AbsoluteNames(const std::vector<std::string>& names, bool decodeFolders);

// What a start with file names became.
struct Claim {
    enum Outcome {
        Converter,  // `lock` is held; the names are this process's to convert
        HandedOver, // the names went to the converting process: exit with 1
        Failed,     // the runtime folder, the lock or the hand-off file cannot be used
    };
    Outcome outcome = Failed;
    // With Converter: the names are in a hand-off file this process published
    // (the converter let the lock go meanwhile) and reads back through its scan.
    bool namesHandedOver = false;
    std::string error; // with Failed
};

// Takes the lock in the runtime folder, or hands `names` over to its holder. Only
// a lock held by another process means hand-off. After publishing, the lock is
// tried once more: a holder that released it meanwhile may have looked for
// hand-off files before this one appeared, so a free lock makes this process the
// converter.
Claim ClaimNames(platform::InstanceLock& lock, const std::vector<std::string>& names,
                 bool decodeFolders);

// The program proper, loaded from the program folder by the executable when a
// start is more than a hand-off. `lockFd` is the descriptor of the instance lock
// the executable took (-1: none), `lockDir` its folder.
extern "C" {
typedef int (*ProgramMain)(int argc, char** argv, int lockFd, const char* lockDir,
                           int namesHandedOver);
}
inline constexpr const char* kProgramLibrary = "mp3tunewright-program.so";
inline constexpr const char* kProgramMain = "tw_program_main";

} // namespace app
