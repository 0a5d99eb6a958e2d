#pragma once

// The conversion window: a small borderless window that exists only in a process
// started with file names. It owns the queue of files to convert and the file codec,
// starts one job per queue tick, merges the names handed over by later processes,
// and ends the application once the queue has stayed empty for three ticks.

#include <QColor>
#include <QFontMetrics>
#include <QPoint>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/JobPool.h"
#include "platform/InstanceFiles.h"
#include "platform/Services.h"

class QLabel;
class QTimer;
class QToolButton;
class TOptionsForm;

namespace codec {
class TMP3Codec;
}
namespace settings {
struct SettingsRecord;
}

namespace app {

// The status word's colour value: the fade level shifted left by the low five bits
// of the shift, a 32-bit value with red in the lowest byte, then green, then blue.
uint32_t StatusColourValue(uint8_t level, int16_t shift);

// The colour drawn for such a value: its three low bytes as red, green and blue.
// The byte above blue (set by shift 21) is not drawn.
QColor StatusColour(uint32_t value);

// Where the window goes for an MWPosition value on a screen whose right and bottom
// edges are `right` and `bottom` (its width and height), for a window of
// `width` x `height`; any other position value keeps `current`.
QPoint PlacementFor(int position, int right, int bottom, int width, int height, QPoint current);

// True when a queue entry starts a decode job: its file-name part ends in ".mp3" in
// any letter case. Every other entry, one without an extension too, is an encode.
bool IsDecodeEntry(const std::string& entry);

// Text of the count line for a number of queued entries.
std::string CountLineText(size_t count);

// Width of the progress bar for a percent reported by the codec, kept within the
// bar's 0 to 255 pixels (short encodes report more than 100).
int ProgressWidth(int16_t percent);

// The source line's text for a path in a line `width` pixels wide: the path when
// it fits, else the folder part shortened from its left ("…/Albums/song.mp3") so
// the file name stays whole; only a file name wider than the line itself is
// shortened in its middle.
QString SourceLineText(const QString& path, const QFontMetrics& metrics, int width);

} // namespace app

class TForm1 : public QWidget {
    Q_OBJECT
public:
    // Builds the window, queues `names` (each one entry), creates the codec from
    // `programDir` and starts both timers. An exception of the decoder component
    // leaves the constructor.
    //
    // With the instance `lock` (the converting process), the window first queues
    // the unfinished names a killed converter left, keeps a record of its own
    // unfinished names in the runtime folder, and ends its batch only after it
    // has released the lock and found no names waiting (else it takes the lock
    // back and goes on).
    explicit TForm1(const std::vector<std::string>& names, const std::string& programDir = {},
                    platform::InstanceLock* lock = nullptr);
    explicit TForm1(const std::string& firstName, const std::string& programDir = {});
    ~TForm1() override;

    enum Kind : int16_t { KindDecode = 0, KindEncode = 1 };

    // Set when the window is asked to close, never cleared; a running codec loop
    // ends when it is set. Process-wide.
    static bool CloseRequested;
    // Set when the window was closed from outside (a signal, the session ending):
    // its unfinished names are left for the next converter.
    static bool ClosedFromOutside;

    std::deque<std::string> FileQueue; // entry 0 is the next one
    std::string AppDir;                // program directory with a trailing '/'
    std::string SourceName;
    std::string TargetName;
    int16_t StatusShift = 0;
    uint8_t FadeLevel = 0;
    int32_t IdleTicks = 0;
    bool Busy = false;
    bool StopRequested = false;
    int16_t LastKind = KindDecode;

    // Controls, named as the design names them.
    QLabel* Image1 = nullptr; // background picture
    QLabel* Label5 = nullptr; // drag strip
    QToolButton* SpeedButton4 = nullptr;
    QToolButton* SpeedButton5 = nullptr;
    QLabel* Image2 = nullptr; // progress bar: its width is the progress
    QLabel* Label3 = nullptr; // source path
    QLabel* Label1 = nullptr; // kind of job
    QLabel* Label2 = nullptr; // count line
    QLabel* Label4 = nullptr; // status word
    QLabel* Image3 = nullptr; // "Options"
    QLabel* Image4 = nullptr; // "Last file"
    QTimer* Timer1 = nullptr; // queue timer, 700 ms
    QTimer* Timer2 = nullptr; // fade timer, 100 ms

    // Event handlers.
    void FormCreate();
    void FormShow();
    void FormDestroy();
    void FormCloseQuery();
    void Timer1Timer();
    void Timer2Timer();
    void SpeedButton4Click();
    void SpeedButton5Click();
    void Label5MouseDown();
    void Image3Click();
    void Image4Click();

signals:
    // A status word was shown (for the desktop's accessibility and for tests
    // that follow a batch from outside).
    void StatusShown(const QString& word);

public:
    // Operations.
    void QueueFile(const std::string& name);
    void ShowStatus(const std::string& word, int16_t shift);
    void Shutdown();
    // The close request from outside (the session ends, a signal), as the
    // window's close: a running job ends at its next loop test and its target is
    // finished by the codec's close; no question, no completion actions.
    void CloseFromOutside();
    void DecodeFile(const std::string& entry);
    void EncodeFile(const std::string& entry);
    // The completion sound and the opening of the last job's target directory.
    void CompletionActions();

    // The settings record readers take their values from: the current options
    // object's (the launcher's once it exists), else the window's own.
    settings::SettingsRecord& CurrentSettings();

    // True once the window has ended the application (Shutdown or a close).
    bool ApplicationEnded() const { return ended_; }
    // Hand-off files this process took and could not remove (never read again).
    static const std::vector<platform::FileIdentity>& TakenHandOffFiles() { return takenHandOffs_; }
    // The window's own codec, made with the window: its creation is where a missing
    // decoder library stops the program. The jobs run on the workers' codecs.
    codec::TMP3Codec& Codec() { return *codec_; }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // What is decided for a queue entry before its codec runs (BatchJobs.cpp): the
    // steps a job takes before its codec phase, in queue order, and the order its
    // worker gets.
    struct JobPlan {
        enum Outcome { DirectoryFailed, Skipped, MissingSource, Run };
        Outcome outcome = Run;
        std::string targetDir;
        std::string target; // the job's target by the naming rules
        app::JobOrder order;
        std::uint64_t job = 0; // the pool's job (Run)
    };
    // A job handed to the pool, as the window keeps it until it has been shown.
    struct RunningJob {
        app::JobOrder order;
        uint32_t recordIndex = 0xffffffffu;
        uint32_t recordEpoch = 0;
        bool ended = false;
        bool shown = false;   // its entry's turn came and its result was shown
        bool dropped = false; // its entry was removed by "Last file"
        app::JobState state;
    };

    // One job for queue entry 0, in its turn: what was decided for it (ahead, or
    // now) is shown and its worker awaited. False when it cannot be decided yet
    // (a job of a removed entry still holds its files). The guarded form ends a job
    // that threw as an error and keeps the batch going.
    bool RunJob(const std::string& entry, Kind kind);
    bool RunJobGuarded(const std::string& entry, Kind kind);
    void EndJobAfterException(const std::string& entry, Kind kind, const std::exception* error);
    void ShowJobException(const std::string& entry, Kind kind, const std::string& what);
    // Decides the steps before the codec phase for an entry, as a run of one job
    // at a time would: nullopt while a running job still reads or writes a file the
    // decision depends on. Creates the target directory.
    std::optional<JobPlan> PlanJob(const std::string& entry, Kind kind);
    // Plans an entry and, when it runs, hands it to a worker and records it as
    // started with its target. False when it cannot be decided yet.
    bool Dispatch(const std::string& entry, Kind kind);
    // Hands the entries after those already decided to free workers, in queue
    // order (several jobs at once only).
    void DispatchAhead();
    // A job moved on or ended: ended jobs are recorded, free workers get work.
    void OnJobChanged(quint64 id);
    void RecordEndedJobs();
    // Runs the event loop until the job has ended, calling `seen` with its state
    // as it moves on.
    app::JobState WaitForJob(std::uint64_t id,
                             const std::function<void(const app::JobState&)>& seen);
    // The worker thread's nice value for a Priority setting.
    static int NiceFor(int16_t priority);
    uint32_t RecordIndexOf(const std::string& entry);
    // Removes entry 0, the job's own entry.
    void TakeEntry();
    // Removes entry 0 from the queue and its index.
    void PopEntry();
    // Appends the names the queue does not hold yet, in one record write (with the
    // hand-off file `from` they were read from); returns how many were added.
    size_t QueueNames(const std::vector<std::string>& names,
                      const platform::FileIdentity* from = nullptr);
    // Rebuilds the name index when the queue was changed behind its back.
    void SyncQueueIndex();
    // Queues the unfinished names of a converter that ended early, then starts
    // this window's record with the whole queue.
    void StartRecord(const std::vector<std::string>& ownNames);
    // The end of a batch with the lock: releases it, looks for waiting names,
    // and takes the lock back when there are some. True when the batch really
    // ends; false when it goes on.
    bool ReleaseLockAtEndOfBatch();
    void ScanHandOffFiles();
    void SetCountLine();
    void SetProgress(int width);
    void EndApplication();
    // A message box of the batch; the batch does not end while one is open.
    platform::Button Box(const std::string& text, const std::string& caption, unsigned buttons,
                         platform::Icon icon);
    // The result of a write of the record: on a failure the record is dropped (with
    // a line on stderr), so a torn or stale record can never make a next converter
    // convert names again; the hand-off files are then kept until their names are
    // done. Returns `ok`.
    bool RecordWritten(bool ok);
    // Removes the hand-off files kept while no record was written.
    void RemoveKeptHandOffFiles();

    static constexpr uint32_t kNoIndex = 0xffffffffu;

    std::unique_ptr<codec::TMP3Codec> codec_;
    std::unique_ptr<app::JobPool> pool_;
    bool parallel_ = false; // more than one worker: entries run ahead of their turn
    // Entries decided ahead of their turn, by name (the queue holds a name once);
    // they are the first plannedCount_ entries of the queue.
    std::unordered_map<std::string, JobPlan> planned_;
    size_t plannedCount_ = 0;
    bool batchEndsAt_ = false; // a decided entry ends the batch: nothing after it starts
    std::unordered_map<std::uint64_t, RunningJob> jobs_;
    std::uint64_t currentJob_ = 0; // the job of entry 0 in its codec phase
    QTimer* waitTimer_ = nullptr;  // bounds the sleeps while a job is awaited
    platform::InstanceLock* lock_ = nullptr;
    platform::QueueRecord record_;
    // Name -> record index of every queued entry: the duplicate test without a
    // walk through the queue.
    std::unordered_map<std::string, uint32_t> queuedIndex_;
    uint32_t nextIndex_ = 0;   // index of the next name queued without a record
    uint32_t recordEpoch_ = 0; // counts the records started
    std::unique_ptr<TOptionsForm> options_;
    std::string runtimeDir_;
    bool ended_ = false;
    bool entryTaken_ = false; // the running job has removed its entry
    int openBoxes_ = 0;
    // What the record of an earlier converter said of the queued names it left:
    // their interrupted jobs' targets.
    std::unordered_map<std::string, platform::RecordedName> leftInfo_;
    // Hand-off files whose names the earlier record holds: removed unread.
    std::vector<platform::FileIdentity> absorbed_;
    // Hand-off files read while no record is kept: removed once the batch ends.
    std::vector<std::string> keptHandOffs_;
    // Hand-off files taken by this process that could not be removed: never read
    // again. Process-wide, so a batch that starts again in the same process
    // does not take them either.
    static std::vector<platform::FileIdentity> takenHandOffs_;
};
