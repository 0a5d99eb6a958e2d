#pragma once

#include <string>

namespace platform {

// The help document, installed beside the executable.
inline constexpr const char* kHelpFileName = "mp3tw.html";

// The help document to open: the one in the current directory when there is one
// (the name has no directory part), else the one in the program directory (a start
// from a desktop menu runs in the home directory).
std::string helpPath();

// Asks the shell to open the help document, normally shown. A document the shell
// cannot open produces no message.
void openHelp();

} // namespace platform
