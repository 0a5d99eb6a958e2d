#pragma once

#include <string>

class QWidget;

namespace platform {

// The help document, installed beside the executable.
inline constexpr const char* kHelpFileName = "mp3tw.html";

// The help document to open: the one in the current directory when there is one
// (the name has no directory part), else the one in the program directory (a start
// from a desktop menu runs in the home directory).
std::string helpPath();

// Asks the shell to open the help document, normally shown. When nothing can open
// it, a box that belongs to `owner` says where the document is, so the user can
// open it by other means.
void openHelp(QWidget* owner = nullptr);

} // namespace platform
