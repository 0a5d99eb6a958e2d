#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace app {

// What the command line asks for. Options are read before anything else, so
// that an option never becomes a file name, a queue entry or a hand-off.
struct Arguments {
    enum class Request { Start, Help, Version, ParallelJobs, Notify, Invalid };
    Request request = Request::Start;
    // The number given with --parallel-jobs=N.
    unsigned parallelJobs = 0;
    // The value given with --notify=0|1.
    bool notify = true;
    // --decode-folders: the names that are folders are decoded (their MP3s) rather
    // than compressed (their other audio files). It goes with a start, not a request.
    bool decodeFolders = false;
    // The file names, byte for byte and in order, without the "--" that ends
    // the options.
    std::vector<std::string> names;
    // The offending argument when the request is Invalid.
    std::string invalid;
};

// Reads arguments 1 to argc-1. Before "--", "--help", "--version",
// "--parallel-jobs=N" (N from 0 to 16) and "--notify=0|1" are requests (the first
// option decides), "--decode-folders" accompanies a start, and any other argument
// that starts with '-' is invalid; after "--" every argument is a file name.
Arguments ParseArguments(int argc, char** argv);

inline constexpr int kExitError = 2;
// The most jobs a batch runs at once.
inline constexpr unsigned kMostParallelJobs = 16;

// Answers a request other than Start: the usage text or the version on `out`
// (exit code 0), the ParallelJobs or Notify setting stored (and said on `out`),
// or the error on `err` (exit code 2). Also 2 when the answer cannot be written or
// the setting cannot be stored. Touches no file, folder or lock, and no setting
// but the one the option names.
int AnswerArguments(const Arguments& arguments, std::FILE* out, std::FILE* err);

// The text of --help.
std::string UsageText();

} // namespace app
