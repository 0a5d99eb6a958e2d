#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Services.h"

namespace testenv {

// Records every message box and answers from a script. With no scripted answer
// left it answers with the box's default button. A box may first run the event
// loop for a while, so tests see what happens while it is open.
class ScriptedDialogs : public platform::Dialogs {
public:
    struct Answer {
        platform::Button button;
        int holdMs = 0;  // event loop runs this long before the answer
    };
    platform::Button messageBox(const platform::MessageBoxRequest& request) override;
    std::string browseFolder(const std::string& title, const std::string& startDir) override;
    // Ends the hold of every box that is open; each returns closedAnswer().
    void dismissOpenBoxes() override;

    void answer(platform::Button button, int holdMs = 0) { answers.push_back({button, holdMs}); }
    // Called with each box before it is answered (may be empty).
    std::function<void(const platform::MessageBoxRequest&)> onBox;

    int dismissals = 0;  // boxes ended by dismissOpenBoxes
    std::deque<Answer> answers;
    std::vector<platform::MessageBoxRequest> shown;
    std::deque<std::string> folders;  // answers to browseFolder, "" = cancelled
    std::vector<std::string> browsed; // start folders of each browse

private:
    int dismissCalls_ = 0;
};

class RecordingShell : public platform::Shell {
public:
    struct Call {
        std::string path;
        platform::ShowMode mode;
    };
    bool open(const std::string& path, platform::ShowMode mode) override {
        calls.push_back({path, mode});
        return opens;
    }
    std::vector<Call> calls;
    bool opens = true; // false: no program takes the file
};

class RecordingSound : public platform::Sound {
public:
    void playFileSync(const std::string& path) override { files.push_back(path); }
    void playDefault() override { ++defaults; }
    std::vector<std::string> files;
    int defaults = 0;
};

class ManualClock : public platform::Clock {
public:
    uint32_t milliseconds() override { return now; }
    uint32_t now = 0;
};

// Installs fresh doubles for the life of the object and restores the previous
// services afterwards.
struct FakeServices {
    FakeServices();
    ~FakeServices();
    std::shared_ptr<ScriptedDialogs> dialogs = std::make_shared<ScriptedDialogs>();
    std::shared_ptr<RecordingShell> shell = std::make_shared<RecordingShell>();
    std::shared_ptr<RecordingSound> sound = std::make_shared<RecordingSound>();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();

private:
    platform::Services previous_;
};

}  // namespace testenv
