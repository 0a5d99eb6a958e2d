#pragma once

// The batch engine: the conversion window's queue and the jobs that work it off.
//
// It holds the queue (one record per entry: its name, its place in the queue record,
// its job and the job's output), reads the hand-off files of later processes, keeps
// the queue record in the runtime folder, runs the jobs on the pool's workers and
// shows every entry through the window, one at a time and in queue order: "Starting",
// its codec phase with "Working" and the progress, its result with its status word
// and box. With one worker an entry starts on each queue tick, as the window always
// did; with several, the entries after the shown one run ahead on free workers, and
// their results are shown as soon as their turn comes.
//
// A job writes an unnamed file in its target's folder; that output takes its place
// (replacing an older file, under a unique name, or not at all) only at its entry's
// turn, decided on the folder as it stands then, so names and skips are those of one
// job at a time, and a job that fails, is stopped or whose entry is removed never
// touches a file that was there before.
//
// The engine runs on the window's thread, never waits for a job inside an event
// loop of its own, and reaches the window only through BatchView.

#include <QObject>
#include <QTimer>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "app/batch/FolderEntries.h"
#include "app/batch/JobPool.h"
#include "app/batch/QueueRecord.h"
#include "platform/FileIO.h"
#include "platform/PathKey.h"
#include "platform/Services.h"

namespace platform {
class InstanceLock;
}
namespace settings {
struct SettingsRecord;
}

namespace app {

// Width of the progress bar for a percent reported by the codec, kept within the
// bar's 0 to 255 pixels (short encodes report more than 100).
int ProgressWidth(int16_t percent);

// What the engine shows, asks and reads through its window.
class BatchView {
public:
    virtual ~BatchView() = default;
    // A status word, which fades (shift: where the fade level goes in the colour).
    virtual void showStatus(const std::string& word, int16_t shift) = 0;
    // The count line for this many queued entries.
    virtual void showCount(size_t count) = 0;
    // The source line and the kind line of the entry in its codec phase.
    virtual void showSource(const std::string& source) = 0;
    virtual void showKind(bool decode) = 0;
    // The progress bar's width, 0 to 255.
    virtual void showProgress(int width) = 0;
    // A message box over the window; returns the answer. The window's timers and
    // the engine's events go on while it is open.
    virtual platform::Button showBox(const std::string& text, const std::string& caption,
                                     unsigned buttons, platform::Icon icon) = 0;
    // The settings record as it is now.
    virtual const settings::SettingsRecord& settings() = 0;
    // The batch ends here (an encode whose target folder cannot be made).
    virtual void shutdown() = 0;
    // The next queue tick comes a whole tick from now (when the timer runs).
    virtual void restartTicks() = 0;
};

class BatchEngine : public QObject {
    Q_OBJECT
public:
    enum Kind : int16_t { KindDecode = 0, KindEncode = 1 };

    explicit BatchEngine(BatchView& view, QObject* parent = nullptr);
    // Stops every job and waits for its worker (as Finish).
    ~BatchEngine() override;
    BatchEngine(const BatchEngine&) = delete;
    BatchEngine& operator=(const BatchEngine&) = delete;

    // Queues `names` (each one entry) and starts `workers` workers whose codecs load
    // their libraries from `programDir`. With the instance `lock` (the converting
    // process) the names a converter that ended early left come first, and the
    // queue is kept in a record in the lock's folder.
    void Start(const std::vector<std::string>& names, const std::string& programDir,
               platform::InstanceLock* lock, int workers);

    // ---- The queue's state, as the window shows it ----
    // The queued names; entry 0 is the next one.
    std::deque<std::string> FileQueue() const;
    std::string SourceName; // source of the current or last job
    std::string TargetName; // its target
    int32_t IdleTicks = 0;
    bool Busy = false;          // an entry is in its codec phase (or shows its result)
    bool StopRequested = false; // Exit: no entry is started any more
    int16_t LastKind = KindDecode;

    // Appends the name unless the queue holds it already (byte for byte).
    void QueueFile(const std::string& name);

    // The queue tick. Complete: the batch is done (three idle ticks and nothing
    // waiting); the window runs the completion actions and ends.
    enum class Tick { Going, Complete };
    Tick QueueTick();

    // "Last file": the queue is emptied; the entry in its codec phase goes on.
    void LastFile();
    // Exit: nothing more starts, every job stops, the batch's record goes. While an
    // entry is in its codec phase the user is asked whether to delete what it
    // wrote: OK drops it, Cancel puts in place what it wrote so far.
    void Exit();
    // The window is asked to close (also from outside: a signal, the session
    // ending): every job stops at its next loop test, the entry in its codec phase
    // puts in place what it wrote, and the names left are kept for the next
    // converter, which redoes that entry from the start.
    void Close();
    // Waits for every worker, puts in place or drops what the stopped jobs wrote,
    // and keeps the record for a next converter only when names are unfinished.
    void Finish();

    // The completion sound and the opening of the last job's target folder.
    void CompletionActions();


    // Hand-off files this process read and could not remove, or could not take (no
    // room to record their names): they are not waiting work for this process.
    static std::vector<platform::FileIdentity> HandOffFilesSetAside();
    // True when names wait in `dir` for a converter: a hand-off file other than
    // `setAside`, or a record with unfinished names.
    static bool WorkWaiting(const std::string& dir,
                            const std::vector<platform::FileIdentity>& setAside);

    // The worker's nice value for a Priority setting.
    static int NiceFor(int16_t priority);

signals:
    // The entry of `name` has been shown with its result (a test follows a batch).
    void EntryShown(const QString& name);

private:
    static constexpr uint32_t kNoIndex = 0xffffffffu;

    // Where the decision for an entry lands, ahead of its turn or in it.
    struct Decision {
        enum Outcome { DirectoryFailed, Skipped, MissingSource, ReadOnly, Run };
        Outcome outcome = Run;
        std::string dir;    // the target's folder
        std::string target; // the target by the naming rules
        bool redo = false;  // the target is this name's partial, replaced whatever the rule
    };

    struct Entry {
        std::string name;
        uint32_t record = kNoIndex;
        std::string subfolder;
        bool retried = false;
        std::string partial;
        platform::FileIdentity partialIdentity;
        bool planned = false; // considered for running ahead
        std::uint64_t job = 0;
        bool ended = false;
        JobState state; // final once ended
        std::string outputFolder; // its job's output folder
        // The folder and name its output would take, for the entries after it.
        bool writes = false;
        platform::PathKey target;
        // A folder entry: the walk that finds its files (placed before it in the
        // queue); null once the walk has ended, when `found` says how many it found.
        bool folder = false;
        std::unique_ptr<FolderWalk> walk;
        size_t found = 0;
    };
    using EntryList = std::list<Entry>;

    RecordedName recorded(const Entry& e) const;
    Decision Decide(const Entry& entry, bool atTurn);
    bool ConflictsWithEarlier(EntryList::iterator it);
    void StartJob(Entry& entry, const std::string& folder);
    void DispatchAhead();
    void OnJobChanged(quint64 id);
    // Entry 0's turn, and the result of the entry in its codec phase.
    void StartTurn();
    void ShowTurn();
    void FinishTurn();
    void Advance();
    void EndCurrentJob();
    void Guarded(void (BatchEngine::*step)());
    void ShowJobException(const std::string& entry, bool decode, const std::string& what);
    // Puts the output of `entry`'s job in place for `decision`; the result code
    // after that (3 for a read-only target, 7 for one that cannot be named) and the
    // file it became.
    int PutInPlace(Entry& entry, const Decision& decision, int code, std::string& placed,
                   platform::FileIdentity& identity);
    // Removes an entry from the queue for good; its job, if any, stops and what it
    // wrote is dropped.
    void TakeEntry(EntryList::iterator it);
    // Lets go of an entry's job: one still running stops, and what it wrote is
    // dropped when it ends.
    void Detach(Entry& entry);
    // An entry's result has been shown.
    void ResultShown(const std::string& name);
    // Appends new names (in one record write, with the hand-off file they came
    // from); false when the record could not be written (nothing was queued).
    bool QueueNames(const std::vector<RecordedName>& names,
                    const platform::FileIdentity* from = nullptr);
    bool QueueNamesBefore(EntryList::iterator before, const std::vector<RecordedName>& names,
                          const platform::FileIdentity* from);
    // One bounded step of the first folder walk in the queue; more come from the
    // event loop while walks are left.
    void WalkStep();
    bool Walking(const Entry& e) const { return e.folder && e.walk; }
    // The summary of the batch for the desktop's notification, and the share done.
    platform::Notification Summary() const;
    void ShowShare();
    void StartRecord(const std::vector<std::string>& ownNames);
    bool ReleaseLockAtEndOfBatch();
    void ScanHandOffFiles();
    platform::Button Box(const std::string& text, const std::string& caption, unsigned buttons,
                         platform::Icon icon, bool holdsTurns);
    void Report(const std::string& source, const std::string& what);
    // Counts a failed entry for the summary.
    void Failed(const std::string& source, const std::string& what);

    BatchView& view_;
    std::string programDir_;
    std::unique_ptr<JobPool> pool_;
    bool parallel_ = false;
    EntryList queue_;
    EntryList current_; // the entry in its codec phase (at most one)
    Decision currentDecision_;
    bool working_ = false; // "Working" has been shown for the current entry
    // The running jobs of queued entries and of the current one; and those let go
    // of, whose outputs are dropped when they end.
    std::unordered_map<std::uint64_t, EntryList::iterator> jobs_;
    std::unordered_set<std::uint64_t> detached_;
    std::unordered_set<std::string> names_; // the queued names
    bool batchEndsAhead_ = false; // an entry ahead ends the batch at its turn
    bool closeRequested_ = false;
    bool dropCurrent_ = false; // Exit's OK: what the current entry wrote goes
    bool asking_ = false;      // Exit's question is open
    bool stoppedLeft_ = false; // a stopped job's entry is left for the next converter
    int openBoxes_ = 0;
    int holdTurns_ = 0;   // boxes shown while Busy: no entry is shown meanwhile
    bool finished_ = false;
    // Reads the progress of the entry in its codec phase while its job runs.
    QTimer* progressTimer_ = nullptr;
    bool walkQueued_ = false;
    // Names a converter that ended early had finished: a folder walked again
    // leaves them out.
    std::unordered_set<std::string> doneBefore_;
    // What the batch did, for the notification and the taskbar.
    size_t converted_[2] = {0, 0}; // by kind
    size_t failed_ = 0;
    size_t shown_ = 0;
    std::string firstFailure_;
    bool cut_ = false; // "Last file" dropped names
    platform::Inhibitor awake_;

    platform::InstanceLock* lock_ = nullptr;
    std::string runtimeDir_;
    QueueRecord record_;
    // Hand-off files whose names the earlier record holds: removed unread.
    std::vector<platform::FileIdentity> absorbed_;
};

} // namespace app
