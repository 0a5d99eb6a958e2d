#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace app {

// What the command line asks for. Options are read before anything else, so
// that an option never becomes a file name, a queue entry or a hand-off.
struct Arguments {
    enum class Request { Start, Help, Version, Invalid };
    Request request = Request::Start;
    // The file names, byte for byte and in order, without the "--" that ends
    // the options.
    std::vector<std::string> names;
    // The offending argument when the request is Invalid.
    std::string invalid;
};

// Reads arguments 1 to argc-1. Before "--", "--help" and "--version" are
// requests (the first option decides) and any other argument that starts with
// '-' is invalid; after "--" every argument is a file name.
Arguments ParseArguments(int argc, char** argv);

inline constexpr int kExitError = 2;

// Answers a request other than Start: the usage text or the version on `out`
// (exit code 0), or the error on `err` (exit code 2). Also 2 when the answer
// cannot be written. Touches no file, folder, lock or setting.
int AnswerArguments(const Arguments& arguments, std::FILE* out, std::FILE* err);

// The text of --help.
std::string UsageText();

} // namespace app
