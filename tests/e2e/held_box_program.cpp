// The program's own start-up with one difference: the first message box is held
// open for three seconds with the event loop running before it is answered, as a
// person would take to read it. Prints the caption of each box shown, one per line.
#include <cstdio>

#include "FakeServices.h"
#include "app/Startup.h"

int main(int argc, char** argv) {
    auto dialogs = std::make_shared<testenv::ScriptedDialogs>();
    dialogs->answer(platform::Ok, 3000);
    dialogs->onBox = [](const platform::MessageBoxRequest& request) {
        std::printf("box: %s\n", request.caption.c_str());
        std::fflush(stdout);
    };
    platform::installServices({dialogs, nullptr, nullptr, nullptr});
    return app::Run(argc, argv);
}
