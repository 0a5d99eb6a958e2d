#pragma once

#include <algorithm>
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

class RecordingNotifier : public platform::Notifier {
public:
    void notify(const platform::Notification& notification) override {
        shown.push_back(notification);
    }
    std::vector<platform::Notification> shown;
};

// Every call in order: a fraction shown, or -1 for a clear.
class RecordingTaskbar : public platform::TaskbarProgress {
public:
    void setProgress(double fraction) override { calls.push_back(fraction); }
    void clear() override { calls.push_back(-1); }
    std::vector<double> calls;
};

// Hands out handles that always hold; records each request and its release.
class RecordingSleepInhibitor : public platform::SleepInhibitor {
public:
    struct Request {
        std::string why;
        bool released = false;
    };
    platform::Inhibitor inhibit(const std::string& why) override {
        requests.push_back({why, false});
        return platform::Inhibitor(
            [this, i = requests.size() - 1] { requests[i].released = true; });
    }
    size_t held() const { // handles held now
        return std::count_if(requests.begin(), requests.end(),
                             [](const Request& r) { return !r.released; });
    }
    std::vector<Request> requests;
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
    std::shared_ptr<RecordingNotifier> notifier = std::make_shared<RecordingNotifier>();
    std::shared_ptr<RecordingTaskbar> taskbar = std::make_shared<RecordingTaskbar>();
    std::shared_ptr<RecordingSleepInhibitor> sleepInhibitor =
        std::make_shared<RecordingSleepInhibitor>();

private:
    platform::Services previous_;
};

}  // namespace testenv
