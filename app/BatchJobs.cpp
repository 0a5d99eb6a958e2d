// The decode and encode jobs of the conversion window: one queue entry each, from
// the target directory and name through the codec loop to the status shown.

#include "app/BatchJobs.h"

#include <QCoreApplication>
#include <QFile>
#include <QLabel>
#include <QTimer>
#include <cstdio>
#include <exception>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

#include "app/ConversionForm.h"
#include "app/Startup.h"
#include "codec/MP3Codec.h"
#include "platform/Paths.h"
#include "platform/Services.h"
#include "settings/Settings.h"

namespace app {

bool CreateTargetDirectory(const std::string& dir) {
    if (dir.empty()) {
        return false;
    }
    return platform::forceDirectories(dir);
}

std::string TargetNameFor(const std::string& dir, const std::string& entry,
                          const std::string& extension) {
    std::string base = platform::fileName(entry);
    const std::string::size_type dot = base.rfind('.');
    if (dot != std::string::npos) {
        base.erase(dot);
    }
    std::string directory = dir;
    if (!directory.empty() && directory.back() == '/') {
        directory.pop_back();
    }
    return directory + "/" + base + extension;
}

std::string UniqueTargetName(const std::string& target, const std::string& extension,
                             const std::function<bool(const std::string&)>& settled) {
    const std::string directory = platform::withTrailingSlash(platform::parentDir(target));
    std::string base = platform::fileName(target);
    const std::string::size_type dot = base.rfind('.');
    if (dot != std::string::npos) {
        base.erase(dot);
    }
    for (unsigned long n = 0;; ++n) {
        std::string candidate = directory + base + std::to_string(n) + extension;
        if (settled && !settled(candidate)) {
            return {};
        }
        if (!PathExists(candidate)) {
            return candidate;
        }
    }
}

std::string RedoTarget(const std::string& target) {
    return platform::withTrailingSlash(platform::parentDir(target)) + ".tw-redo-" +
           platform::fileName(target);
}

bool PathExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

} // namespace app

namespace {

// What tells the two kinds of job apart.
struct JobKind {
    int16_t lastKind;
    const char* extension;
    const char* kindLine;
    int16_t errorShift;
};

constexpr JobKind kDecodeJob{TForm1::KindDecode, ".WAV", "Decompressing", 11};
constexpr JobKind kEncodeJob{TForm1::KindEncode, ".MP3", "Compressing", 21};

// Texts of message boxes are shown as UTF-8; file names are bytes.
std::string displayText(const std::string& bytes) {
    return QFile::decodeName(bytes.c_str()).toStdString();
}

// Every job that fails says so on stderr, boxes or not: a batch started from a
// script, or with "Don't display errors", still leaves a trace of what failed.
void reportFailure(const std::string& source, const std::string& what) {
    std::fprintf(stderr, "mp3tunewright: %s: %s\n", source.c_str(), what.c_str());
    std::fflush(stderr);
}

} // namespace

platform::Button TForm1::Box(const std::string& text, const std::string& caption, unsigned buttons,
                             platform::Icon icon) {
    struct Open {
        int& count;
        ~Open() { --count; }
    } open{openBoxes_};
    ++openBoxes_;
    // Over the window, wherever it sits on the screen.
    return platform::messageBox(this, text, caption, buttons, icon);
}

void TForm1::DecodeFile(const std::string& entry) {
    RunJobGuarded(entry, KindDecode);
}

void TForm1::EncodeFile(const std::string& entry) {
    RunJobGuarded(entry, KindEncode);
}

bool TForm1::RunJobGuarded(const std::string& entry, Kind kind) {
    // A job started by a tick inside another job's box keeps the outer job's flag.
    const bool outerEntryTaken = entryTaken_;
    entryTaken_ = false;
    bool ran = true;
    try {
        ran = RunJob(entry, kind);
    } catch (const std::exception& error) {
        EndJobAfterException(entry, kind, &error);
    } catch (...) {
        EndJobAfterException(entry, kind, nullptr);
    }
    entryTaken_ = outerEntryTaken;
    return ran;
}

void TForm1::EndJobAfterException(const std::string& entry, Kind kind,
                                  const std::exception* error) {
    // The job ends as an error: its entry leaves the queue, its worker has let go
    // of its files, Busy is cleared (else no later job nor the completion could
    // ever run) and the batch goes on.
    if (!entryTaken_ && !FileQueue.empty() && FileQueue.front() == entry) {
        auto planned = planned_.find(entry);
        if (planned != planned_.end()) {
            if (planned->second.job != 0) {
                pool_->stop(planned->second.job);
            }
            planned_.erase(planned);
            --plannedCount_;
        }
        PopEntry();
    }
    if (Busy) {
        pool_->stop(currentJob_);
        WaitForJob(currentJob_, nullptr);
    }
    Busy = false;
    ShowJobException(entry, kind, error ? error->what() : "Unknown exception");
}

void TForm1::ShowJobException(const std::string& entry, Kind kind, const std::string& what) {
    SetProgress(255);
    ShowStatus("Error encountered",
               kind == KindDecode ? kDecodeJob.errorShift : kEncodeJob.errorShift);
    reportFailure(entry, what);
    if (!CurrentSettings().NoErrors) {
        // The program's general error box, over the window.
        Box(what, platform::applicationTitle(), platform::Ok, platform::Icon::Error);
    }
}

void TForm1::TakeEntry() {
    PopEntry();
    entryTaken_ = true;
}

std::optional<TForm1::JobPlan> TForm1::PlanJob(const std::string& entry, Kind kindValue) {
    const bool decode = kindValue == KindDecode;
    const JobKind& kind = decode ? kDecodeJob : kEncodeJob;
    const settings::SettingsRecord& s = CurrentSettings();
    JobPlan plan;

    // What running jobs read or write is decided only once they have ended, so
    // every decision here is the one a run of one job at a time would make.
    std::unordered_set<std::string> reserved;
    for (const auto& [id, job] : jobs_) {
        if (!job.ended) {
            reserved.insert({job.order.source, job.order.target, job.order.redoTarget});
        }
    }
    auto blocked = [&reserved](const std::string& path) { return reserved.count(path) != 0; };
    if (blocked(entry)) {
        return std::nullopt;
    }

    // A job interrupted before (the converter was killed or closed from outside
    // inside it) is redone into the target it had begun, not into a second one.
    auto left = leftInfo_.find(entry);
    const std::string redo = left != leftInfo_.end() ? left->second.target : std::string();
    plan.targetDir =
        !redo.empty() ? platform::parentDir(redo) : (decode ? s.DecodedDir : s.EncodedDir);
    if (!app::CreateTargetDirectory(plan.targetDir)) {
        plan.outcome = JobPlan::DirectoryFailed;
        return plan;
    }

    std::string target =
        !redo.empty() ? redo : app::TargetNameFor(plan.targetDir, entry, kind.extension);
    if (blocked(target)) {
        return std::nullopt;
    }
    if (redo.empty() && app::PathExists(target)) {
        switch (s.Overwrite) {
        case 1: {
            // Every name tried on the way must be settled too.
            target = app::UniqueTargetName(target, kind.extension,
                                           [&](const std::string& name) { return !blocked(name); });
            if (target.empty()) {
                return std::nullopt;
            }
            break;
        }
        case 2:
            plan.outcome = JobPlan::Skipped;
            return plan;
        default:
            // The codec deletes the existing file when it opens the job.
            break;
        }
    }
    plan.target = target;
    if (!platform::fileExists(entry)) {
        plan.outcome = JobPlan::MissingSource;
        return plan;
    }
    plan.outcome = JobPlan::Run;
    plan.order.decode = decode;
    plan.order.source = entry;
    plan.order.target = redo.empty() ? target : app::RedoTarget(target);
    plan.order.redoTarget = redo;
    plan.order.nice = NiceFor(s.Priority);
    return plan;
}

int TForm1::NiceFor(int16_t priority) {
    switch (priority) {
    case 0:
        return 10; // Low
    case 1:
        return 0; // Normal
    case 3:
        return -10; // High
    default:
        return -5; // Above normal
    }
}

bool TForm1::Dispatch(const std::string& entry, Kind kind) {
    std::optional<JobPlan> plan = PlanJob(entry, kind);
    if (!plan || (plan->outcome == JobPlan::Run && !pool_->hasIdleWorker())) {
        return false;
    }
    leftInfo_.erase(entry);
    const uint32_t index = RecordIndexOf(entry);
    if (plan->outcome == JobPlan::Run) {
        // Recorded as started, with its target, before the worker writes a byte.
        if (index != kNoIndex) {
            RecordWritten(record_.started(index, plan->target));
        }
        plan->job = pool_->start(plan->order);
        RunningJob& job = jobs_[plan->job];
        job.order = plan->order;
        job.recordIndex = index;
        job.recordEpoch = recordEpoch_;
    } else if (index != kNoIndex) {
        // Decided without a codec: the entry is done with as it is decided.
        RecordWritten(record_.finish({index}));
    }
    planned_.emplace(entry, std::move(*plan));
    ++plannedCount_;
    return true;
}

void TForm1::DispatchAhead() {
    if (!parallel_ || StopRequested || CloseRequested || batchEndsAt_) {
        return;
    }
    while (plannedCount_ < FileQueue.size() && pool_->hasIdleWorker()) {
        const std::string entry = FileQueue[plannedCount_];
        const Kind kind = app::IsDecodeEntry(entry) ? KindDecode : KindEncode;
        if (!Dispatch(entry, kind)) {
            return; // waits for a running job's outcome; tried again when one ends
        }
        const JobPlan& plan = planned_.at(entry);
        if (plan.outcome == JobPlan::DirectoryFailed && kind == KindEncode) {
            // That entry ends the batch at its turn: nothing after it is started.
            batchEndsAt_ = true;
            return;
        }
    }
}

void TForm1::OnJobChanged(quint64 /*id*/) {
    // A worker that has ended its job takes the next entry at once.
    RecordEndedJobs();
    DispatchAhead();
}

void TForm1::RecordEndedJobs() {
    for (auto& [id, job] : jobs_) {
        if (job.ended) {
            continue;
        }
        std::optional<app::JobState> state = pool_->state(id);
        if (!state || !state->ended) {
            continue;
        }
        job.ended = true;
        job.state = *state;
        // A job stopped by a close from outside stays unfinished: the next
        // converter redoes it. Jobs stopped by Exit or "Last file" belong to
        // entries that left the record already.
        if (!state->stopped && job.recordIndex != kNoIndex && job.recordEpoch == recordEpoch_) {
            RecordWritten(record_.finish({job.recordIndex}));
        }
        if (job.dropped && !state->result.empty() && job.order.redoTarget.empty()) {
            // Running ahead for an entry that "Last file" removed: as if it never ran.
            ::unlink(state->result.c_str());
        }
        pool_->forget(id);
    }
    // Jobs shown or dropped are forgotten once ended.
    for (auto it = jobs_.begin(); it != jobs_.end();) {
        it = it->second.ended && (it->second.shown || it->second.dropped) ? jobs_.erase(it)
                                                                          : std::next(it);
    }
}

app::JobState TForm1::WaitForJob(std::uint64_t id,
                                 const std::function<void(const app::JobState&)>& seen) {
    // The user-interface thread sleeps until something happens: the worker's
    // signal, a timer tick, a click. The wait timer bounds every sleep.
    waitTimer_->start();
    app::JobState state;
    for (;;) {
        RecordEndedJobs();
        auto running = jobs_.find(id);
        if (running != jobs_.end() && running->second.ended) {
            state = running->second.state;
            break;
        }
        std::optional<app::JobState> now = pool_->state(id);
        if (!now) {
            break;
        }
        if (seen) {
            seen(*now);
        }
        if (now->ended) {
            state = *now;
            break;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    waitTimer_->stop();
    RecordEndedJobs();
    return state;
}

bool TForm1::RunJob(const std::string& entry, Kind kindValue) {
    const JobKind& kind = kindValue == KindDecode ? kDecodeJob : kEncodeJob;
    const bool decode = kindValue == KindDecode;

    // Decided ahead by a free worker, or now, in its turn.
    auto found = planned_.find(entry);
    if (found == planned_.end()) {
        if (!Dispatch(entry, kindValue)) {
            return false; // a job of a removed entry still holds its files
        }
        found = planned_.find(entry);
    }
    JobPlan plan = std::move(found->second);
    planned_.erase(found);
    --plannedCount_;

    LastKind = kind.lastKind;
    ShowStatus("Starting", 10);

    switch (plan.outcome) {
    case JobPlan::DirectoryFailed:
        TakeEntry();
        ShowStatus("Failed", 0);
        reportFailure(entry, "Unable to create target directory " + plan.targetDir);
        if (!CurrentSettings().NoErrors) {
            Box("Unable to create target directory", "Error", platform::Ok, platform::Icon::None);
        }
        if (!decode) {
            Shutdown();
        }
        return true;
    case JobPlan::Skipped:
        ShowStatus("Skipping", 0);
        TakeEntry();
        return true;
    case JobPlan::MissingSource:
        // A missing source fails its own entry only, for both kinds: ending the
        // batch here would drop every later entry, names already taken from
        // hand-off files included, without a word.
        SourceName = entry;
        TargetName = plan.target;
        TakeEntry();
        SetCountLine();
        reportFailure(SourceName, "Unable to find source file");
        if (!CurrentSettings().NoErrors) {
            Box("Unable to find source file: " + displayText(SourceName), "Error", platform::Ok,
                platform::Icon::None);
        }
        return true;
    case JobPlan::Run:
        break;
    }

    SourceName = entry;
    TargetName = plan.order.target;
    TakeEntry();
    SetCountLine();

    Busy = true;
    currentJob_ = plan.job;
    const QString source = QFile::decodeName(SourceName.c_str());
    Label3->setText(app::SourceLineText(source, Label3->fontMetrics(), Label3->width()));
    Label3->setToolTip(source);
    Label1->setText(kind.kindLine);

    bool working = false;
    const app::JobState state = WaitForJob(plan.job, [&](const app::JobState& now) {
        if (!now.opened) {
            return;
        }
        if (!working && (decode || now.openCode == codec::kCodecOk)) {
            ShowStatus("Working", 10);
            working = true;
        }
        if (working) {
            SetProgress(app::ProgressWidth(static_cast<int16_t>(now.percent)));
        }
    });
    if (!working && state.opened && (decode || state.openCode == codec::kCodecOk)) {
        ShowStatus("Working", 10);
    }
    if (auto job = jobs_.find(plan.job); job != jobs_.end()) {
        job->second.shown = true;
    }
    RecordEndedJobs();
    if (!state.result.empty()) {
        TargetName = state.result;
    }
    currentJob_ = 0;
    SetProgress(255);

    if (state.threw) {
        Busy = false;
        ShowJobException(entry, kindValue, state.exception);
        return true;
    }
    const int code = state.code;
    if (code != codec::kCodecOk && code != codec::kCodecDone) {
        ShowStatus("Error encountered", kind.errorShift);
        reportFailure(SourceName, codec::CodecResultText(code));
        // A decode's errors show no box, but for a write that failed (a full
        // disk), which the user must hear of as an encode's.
        const bool box = !decode || code == codec::kCodecWriteFail;
        if (box && !CurrentSettings().NoErrors) {
            Box("Error occured: " + std::string(codec::CodecResultText(code)) +
                    "\n while operating with: " + displayText(platform::fileName(SourceName)),
                app::kApplicationTitle, platform::Ok, platform::Icon::None);
        }
    } else {
        ShowStatus("Done", 10);
    }
    Busy = false;
    return true;
}
