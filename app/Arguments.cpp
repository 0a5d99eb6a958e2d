// Reading the command line, which every start does first (a hand-off process too,
// before any of the program's libraries is loaded).

#include "app/CommandLine.h"

#include <cstdlib>

namespace app {

Arguments ParseArguments(int argc, char** argv) {
    Arguments arguments;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i] ? argv[i] : "";
        if (optionsEnded || argument.empty() || argument[0] != '-') {
            arguments.names.push_back(std::move(argument));
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
        } else if (arguments.request != Arguments::Request::Start) {
            // An earlier option has decided already.
        } else if (argument == "--help") {
            arguments.request = Arguments::Request::Help;
        } else if (argument == "--version") {
            arguments.request = Arguments::Request::Version;
        } else if (argument == "--decode-folders") {
            arguments.decodeFolders = true;
        } else if (argument == "--notify=0" || argument == "--notify=1") {
            arguments.request = Arguments::Request::Notify;
            arguments.notify = argument.back() == '1';
        } else if (argument.rfind("--parallel-jobs=", 0) == 0) {
            const std::string number = argument.substr(16);
            char* end = nullptr;
            const unsigned long jobs = std::strtoul(number.c_str(), &end, 10);
            const bool digits = !number.empty() && number.size() <= 2 &&
                                number.find_first_not_of("0123456789") == std::string::npos;
            if (digits && *end == '\0' && jobs <= kMostParallelJobs) {
                arguments.request = Arguments::Request::ParallelJobs;
                arguments.parallelJobs = static_cast<unsigned>(jobs);
            } else {
                arguments.request = Arguments::Request::Invalid;
                arguments.invalid = argument;
            }
        } else {
            arguments.request = Arguments::Request::Invalid;
            arguments.invalid = argument;
        }
    }
    return arguments;
}

} // namespace app
