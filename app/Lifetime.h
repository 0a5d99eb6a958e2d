#pragma once

// When the program ends. Closing the main window ends it, whatever other window is
// open, unless a window still holds it open: the ripper whose user chose, when the
// main window closed, to go on ripping holds it until the ripper is closed and its
// rip has ended. The end is the end of the message loop itself: no window is asked
// to close on the way (a window asked would save, as the options dialog does, or
// refuse, as the ripper does, and nothing would ask again).

#include <functional>

namespace app {

struct ProgramHolders {
    // Runs once, when the main window has closed: a window busy with work may ask
    // its user whether to stop it.
    std::function<void()> mainWindowClosed;
    // True while a window still holds the program open; asked until it is false.
    std::function<bool()> holding;
};

// Start-up sets the holders of its windows; an empty set holds nothing.
void SetProgramHolders(ProgramHolders holders);

// The main window has closed: ends the message loop as soon as nothing holds the
// program (queued, so a request made just before the loop runs ends it at once;
// start-up skips the loop when the quit was requested earlier still).
void EndProgramWhenFree();

// The application's message loop; returns its exit code.
int RunMessageLoop();

} // namespace app
