#pragma once

#include <functional>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

#include "settings/Settings.h"

namespace e2e {

// A started process of the program (or any command) with its output captured
// into files below the test's temporary root.
struct Process {
    pid_t pid = -1;
    std::string outPath;
    std::string errPath;
};

struct Options {
    std::string cwd;                         // empty: the test's current directory
    std::map<std::string, std::string> env;  // added to (or replacing in) the environment
};

// Starts `program` with `args`; the child gets the test's isolated environment
// plus TUNEWRIGHT_UNATTENDED=1 and QT_QPA_PLATFORM=offscreen unless `options`
// says otherwise.
Process start(const std::string& program, const std::vector<std::string>& args,
              const Options& options = {});

// Waits up to `timeoutMs` for the process to end. Returns its exit code, or -1
// when it did not end in time (it is then killed) or died from a signal.
int wait(Process& process, int timeoutMs);

// Starts and waits.
int run(const std::string& program, const std::vector<std::string>& args, int timeoutMs,
        const Options& options = {});

// The built program.
std::string programPath();

std::string output(const Process& process);
std::string errors(const Process& process);

// Waits up to `timeoutMs` for `done`, or for the process to print the whole line
// `line`; false when the time ran out.
bool waitFor(const std::function<bool()>& done, int timeoutMs);
bool waitForOutput(const Process& process, const std::string& line, int timeoutMs);

// The lines of `text` that start with one of `prefixes`, in their order.
std::vector<std::string> linesStartingWith(const std::string& text,
                                           const std::vector<std::string>& prefixes);

// Saves the settings the started processes read: the defaults with these output
// folders, no completion sound, no folder opened and every error shown; then
// `adjust` changes what a test needs. A failed save fails the test.
void saveSettings(const std::string& decoded, const std::string& encoded,
                  const std::function<void(settings::SettingsRecord&)>& adjust = {});

}  // namespace e2e
