#include "app/batch/BatchEngine.h"

#include <QFile>
#include <QMetaObject>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <sys/stat.h>
#include <unistd.h>

#include "app/batch/Naming.h"
#include "codec/MP3Codec.h"
#include "platform/InstanceFiles.h"
#include "platform/Paths.h"
#include "settings/Settings.h"

namespace app {
namespace {

// What tells the two kinds of job apart.
struct JobKind {
    int16_t lastKind;
    const char* extension;
    int16_t errorShift;
};
constexpr JobKind kDecodeJob{BatchEngine::KindDecode, ".WAV", 11};
constexpr JobKind kEncodeJob{BatchEngine::KindEncode, ".MP3", 21};

const JobKind& kindOf(bool decode) {
    return decode ? kDecodeJob : kEncodeJob;
}

// The application's title, the caption of the encode error box.
const char kTitle[] = "MP3 Tunewright 3.32";

// Texts of message boxes are shown as UTF-8; file names are bytes.
std::string displayText(const std::string& bytes) {
    return QFile::decodeName(bytes.c_str()).toStdString();
}

// Finished results waiting for their turn, per worker: beyond this no further
// entry runs ahead (each holds an open output).
constexpr int kAheadPerWorker = 3;

// Hand-off files this process took and could not remove (their names are queued),
// or could not take for want of room to record them: neither is work waiting for
// this process. Process-wide, so a batch that starts again in the same process
// leaves them too.
std::vector<platform::FileIdentity> g_takenHandOffs;
std::vector<platform::FileIdentity> g_deferredHandOffs;

bool contains(const std::vector<platform::FileIdentity>& ids, const platform::FileIdentity& id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// True when a file named `name` in the folder of `target` is `target` or one of the
// names the unique-name rule would give it (its stem, digits, its extension).
bool inTargetFamily(const platform::PathKey& target, const platform::PathKey& name) {
    if (target.device != name.device || target.inode != name.inode) {
        return false;
    }
    if (target.name == name.name) {
        return true;
    }
    const std::string::size_type dot = target.name.rfind('.');
    if (dot == std::string::npos) {
        return false;
    }
    const std::string stem = target.name.substr(0, dot);
    const std::string ext = target.name.substr(dot);
    if (name.name.size() <= stem.size() + ext.size() || name.name.compare(0, stem.size(), stem) != 0 ||
        name.name.compare(name.name.size() - ext.size(), ext.size(), ext) != 0) {
        return false;
    }
    const std::string digits =
        name.name.substr(stem.size(), name.name.size() - stem.size() - ext.size());
    return std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool sameFolder(const std::string& a, const std::string& b) {
    struct stat sa {}, sb{};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

} // namespace

int ProgressWidth(int16_t percent) {
    int width = percent * 255 / 100;
    return width < 0 ? 0 : (width > 255 ? 255 : width);
}

BatchEngine::BatchEngine(BatchView& view, QObject* parent)
    : QObject(parent), view_(view), progressTimer_(new QTimer(this)) {
    // The bar follows the job about 25 times a second.
    progressTimer_->setInterval(40);
    connect(progressTimer_, &QTimer::timeout, this, [this] {
        if (!asking_) {
            Guarded(&BatchEngine::ShowTurn);
        }
    });
}

BatchEngine::~BatchEngine() {
    Finish();
}

void BatchEngine::Start(const std::vector<std::string>& names, const std::string& programDir,
                        platform::InstanceLock* lock, int workers) {
    programDir_ = platform::withTrailingSlash(programDir);
    lock_ = lock;
    std::string error;
    runtimeDir_ = lock_ ? lock_->dir() : platform::runtimeDir(&error);
    if (lock_) {
        StartRecord(names);
    } else {
        std::vector<RecordedName> own;
        for (const std::string& name : names) {
            own.push_back({name});
        }
        QueueNames(own);
    }
    // The computer stays awake while the batch runs.
    if (platform::services().sleepInhibitor) {
        // A folder's files are counted only once it has been walked.
        const bool folders = std::any_of(queue_.begin(), queue_.end(),
                                         [](const Entry& e) { return e.folder; });
        const size_t n = queue_.size();
        awake_ = platform::services().sleepInhibitor->inhibit(
            folders ? "Converting files"
                    : "Converting " + std::to_string(n) + (n == 1 ? " file" : " files"));
    }
    pool_ = std::make_unique<JobPool>(workers, programDir_);
    parallel_ = pool_->workers() > 1;
    connect(pool_.get(), &JobPool::jobChanged, this, &BatchEngine::OnJobChanged,
            Qt::QueuedConnection);
    // With several workers the jobs start as soon as the event loop runs; the
    // first tick shows entry 0's. One worker keeps one entry per tick.
    if (parallel_) {
        QMetaObject::invokeMethod(
            this, [this] { DispatchAhead(); }, Qt::QueuedConnection);
    }
}

std::deque<std::string> BatchEngine::FileQueue() const {
    std::deque<std::string> names;
    for (const Entry& e : queue_) {
        names.push_back(e.name);
    }
    return names;
}

RecordedName BatchEngine::recorded(const Entry& e) const {
    return RecordedName{e.name, e.subfolder, e.retried, e.partial, e.partialIdentity};
}

// ---- The queue and its record ---------------------------------------------------

void BatchEngine::QueueFile(const std::string& name) {
    QueueNames({RecordedName{name}});
}

bool BatchEngine::QueueNames(const std::vector<RecordedName>& names,
                             const platform::FileIdentity* from) {
    return QueueNamesBefore(queue_.end(), names, from);
}

bool BatchEngine::QueueNamesBefore(EntryList::iterator before,
                                   const std::vector<RecordedName>& names,
                                   const platform::FileIdentity* from) {
    std::vector<RecordedName> added;
    std::unordered_set<std::string> seen;
    for (const RecordedName& name : names) {
        // Byte for byte and case-sensitive, as the queue compares names.
        if (names_.count(name.name) == 0 && seen.insert(name.name).second) {
            added.push_back(name);
        }
    }
    if (added.empty()) {
        return true;
    }
    uint32_t index = kNoIndex;
    if (record_.active()) {
        index = record_.next();
        if (!record_.append(added, from)) {
            if (from) {
                return false; // the hand-off file stays, the one trace of its names
            }
            // Names given in this process are queued all the same.
            std::fprintf(stderr, "mp3tunewright: cannot record the queue: %s\n",
                         std::strerror(errno));
            index = kNoIndex;
        }
    }
    bool folders = false;
    for (const RecordedName& name : added) {
        Entry e;
        e.name = name.name;
        e.subfolder = name.subfolder;
        e.retried = name.retried;
        e.partial = name.partial;
        e.partialIdentity = name.partialIdentity;
        e.record = index == kNoIndex ? kNoIndex : index++;
        // A folder stands for the files a walk finds in it.
        if (std::optional<FolderEntry> folder = ParseFolderEntry(e.name)) {
            e.folder = true;
            e.walk = std::make_unique<FolderWalk>(*folder);
            folders = true;
        }
        names_.insert(e.name);
        queue_.insert(before, std::move(e));
    }
    if (folders && !walkQueued_) {
        walkQueued_ = true;
        QMetaObject::invokeMethod(
            this, [this] { WalkStep(); }, Qt::QueuedConnection);
    }
    view_.showCount(queue_.size());
    return true;
}

void BatchEngine::WalkStep() {
    walkQueued_ = false;
    if (finished_ || StopRequested || closeRequested_) {
        return;
    }
    // Folders are walked in queue order, a bounded step each time the event loop
    // comes here, so the window stays responsive on a folder of any size.
    auto it = std::find_if(queue_.begin(), queue_.end(), [this](const Entry& e) { return Walking(e); });
    if (it == queue_.end()) {
        return;
    }
    std::vector<FoundFile> found;
    const bool more = it->walk->step(found);
    std::vector<RecordedName> names;
    for (FoundFile& file : found) {
        if (doneBefore_.count(file.path) == 0) {
            names.push_back({std::move(file.path), std::move(file.subfolder)});
        }
    }
    it->found += found.size();
    QueueNamesBefore(it, names, nullptr);
    if (!more) {
        it->walk.reset();
        if (it->found > 0) {
            // Its files stand in the queue now; the folder's entry is done.
            if (it->record != kNoIndex) {
                record_.finished({it->record});
            }
            names_.erase(it->name);
            queue_.erase(it);
            view_.showCount(queue_.size());
        }
    }
    if (std::any_of(queue_.begin(), queue_.end(), [this](const Entry& e) { return Walking(e); })) {
        walkQueued_ = true;
        QMetaObject::invokeMethod(
            this, [this] { WalkStep(); }, Qt::QueuedConnection);
    }
    DispatchAhead();
}

void BatchEngine::StartRecord(const std::vector<std::string>& ownNames) {
    // What a converter that ended early left comes before this start's own names.
    RecordLeft left = QueueRecord::readLeft(runtimeDir_);
    for (const RecordedName& entry : left.dropped) {
        std::fprintf(stderr,
                     "mp3tunewright: %s was cut off twice by a converter that died and is not "
                     "converted again\n",
                     entry.name.c_str());
    }
    // The hand-off files the old record took that are still there stay taken.
    absorbed_.clear();
    for (const std::string& path : platform::listHandOffFiles(runtimeDir_)) {
        std::optional<platform::FileIdentity> id = platform::identityOf(path);
        if (id && contains(left.absorbed, *id)) {
            absorbed_.push_back(*id);
        }
    }
    doneBefore_.insert(left.finished.begin(), left.finished.end());
    QueueNames(left.unfinished);
    std::vector<RecordedName> own;
    for (const std::string& name : ownNames) {
        own.push_back({name});
    }
    QueueNames(own);

    std::vector<RecordedName> entries;
    for (const Entry& e : queue_) {
        entries.push_back(recorded(e));
    }
    std::string error;
    if (!record_.start(runtimeDir_, entries, absorbed_, &error)) {
        // The batch still runs; only its names are not kept for a next converter.
        std::fprintf(stderr, "mp3tunewright: %s; the queue is not kept for a next start\n",
                     error.c_str());
        return;
    }
    uint32_t index = 0;
    for (Entry& e : queue_) {
        e.record = index++;
    }
}

void BatchEngine::ScanHandOffFiles() {
    if (runtimeDir_.empty()) {
        return;
    }
    platform::removeStaleHandOffTemporaries(runtimeDir_);
    for (const std::string& path : platform::listHandOffFiles(runtimeDir_)) {
        std::vector<std::string> entries;
        platform::FileIdentity id;
        if (!platform::readHandOffFile(path, entries, &id) || contains(g_takenHandOffs, id)) {
            continue;
        }
        const auto absorbed = std::find(absorbed_.begin(), absorbed_.end(), id);
        if (absorbed != absorbed_.end()) {
            // A converter killed after recording these names and before removing
            // the file: they are queued from its record already.
            absorbed_.erase(absorbed);
        } else {
            std::vector<RecordedName> names;
            for (std::string& e : entries) {
                names.push_back({std::move(e)});
            }
            // The names are in the record before their file goes. Without room for
            // them (or without a record at all, as the lock's holder) the file stays,
            // the one trace of its names, for a scan that finds room or a next start.
            const bool recordable = !lock_ || record_.active();
            if (!recordable || !QueueNames(names, &id)) {
                if (!contains(g_deferredHandOffs, id)) {
                    std::fprintf(stderr,
                                 "mp3tunewright: no room to record the names of %s: %s; it "
                                 "stays for later\n",
                                 path.c_str(), recordable ? std::strerror(errno) : "no record");
                    g_deferredHandOffs.push_back(id);
                }
                continue;
            }
            g_deferredHandOffs.erase(
                std::remove(g_deferredHandOffs.begin(), g_deferredHandOffs.end(), id),
                g_deferredHandOffs.end());
        }
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            std::fprintf(stderr, "mp3tunewright: cannot remove %s (%s); it is not read again\n",
                         path.c_str(), std::strerror(errno));
            g_takenHandOffs.push_back(id);
        }
    }
}

std::vector<platform::FileIdentity> BatchEngine::HandOffFilesSetAside() {
    std::vector<platform::FileIdentity> ids = g_takenHandOffs;
    ids.insert(ids.end(), g_deferredHandOffs.begin(), g_deferredHandOffs.end());
    return ids;
}

bool BatchEngine::WorkWaiting(const std::string& dir,
                              const std::vector<platform::FileIdentity>& setAside) {
    return platform::handOffFilesWaiting(dir, setAside) || QueueRecord::holdsWork(dir);
}

bool BatchEngine::ReleaseLockAtEndOfBatch() {
    if (!lock_ || !lock_->held()) {
        return true;
    }
    // A writer publishes its file and then tries the lock. Looking for files only
    // after the lock is free closes the gap between the last scan and the end: a
    // file published before this look is found here, and a writer that publishes
    // after it finds the lock free and converts its names itself.
    record_.remove();
    lock_->release();
    if (!WorkWaiting(runtimeDir_, HandOffFilesSetAside())) {
        return true;
    }
    std::string error;
    switch (lock_->reacquire(&error)) {
    case platform::LockResult::Acquired:
        break;
    case platform::LockResult::Held:
        return true; // another converter started meanwhile; the names are its
    case platform::LockResult::Failed:
        std::fprintf(stderr, "mp3tunewright: %s\n", error.c_str());
        return true;
    }
    // The batch goes on in place; the names are read only now that the lock is
    // this process's again.
    StartRecord({});
    ScanHandOffFiles();
    return false;
}

// ---- The queue tick and the user's requests --------------------------------------

BatchEngine::Tick BatchEngine::QueueTick() {
    if (closeRequested_ || finished_) {
        return Tick::Going;
    }
    // An open box is read before the batch ends: the idle ticks start after it.
    if (!queue_.empty() || Busy || openBoxes_ > 0) {
        IdleTicks = 0;
    } else {
        ++IdleTicks;
    }
    if (IdleTicks >= 3) {
        if (!ReleaseLockAtEndOfBatch()) {
            IdleTicks = 0;
            return Tick::Going;
        }
        return Tick::Complete;
    }
    if (!Busy && holdTurns_ == 0 && !queue_.empty() && !StopRequested) {
        // One entry per tick with one worker; with several, every entry whose turn
        // can come now.
        if (parallel_) {
            Advance();
        } else {
            Guarded(&BatchEngine::StartTurn);
        }
    }
    // Once the batch is being ended, names handed over now would never be
    // converted: their files stay for the next conversion process.
    if (!StopRequested && !closeRequested_ && !finished_) {
        ScanHandOffFiles();
        DispatchAhead();
    }
    return Tick::Going;
}

void BatchEngine::LastFile() {
    cut_ = cut_ || !queue_.empty();
    std::vector<uint32_t> indices;
    for (const Entry& e : queue_) {
        if (e.record != kNoIndex) {
            indices.push_back(e.record);
        }
    }
    record_.finished(indices);
    // Jobs running ahead for the removed entries stop; what they wrote goes.
    while (!queue_.empty()) {
        TakeEntry(queue_.begin());
    }
    names_.clear();
    batchEndsAhead_ = false;
    view_.showCount(0);
}

void BatchEngine::Exit() {
    StopRequested = true;
    if (pool_) {
        pool_->stopAll();
    }
    // The batch ends here, by its completion or by the user: nothing is left for a
    // next converter.
    record_.remove();
    if (Busy && !current_.empty()) {
        // The job ends meanwhile; its file is dealt with once the answer is in.
        asking_ = true;
        dropCurrent_ = Box("Delete uncomplete files ?", "MP3 Tunewright",
                           platform::Ok | platform::Cancel, platform::Icon::Question,
                           false) == platform::Ok;
        asking_ = false;
    }
    EndCurrentJob();
}

void BatchEngine::Close() {
    closeRequested_ = true;
    if (pool_) {
        pool_->stopAll();
    }
    EndCurrentJob();
}

void BatchEngine::EndCurrentJob() {
    // The stopped job of the entry in its codec phase ends at its next loop test
    // (a worker never waits for this thread); the entry then ends its own way
    // ("Done" for a stopped job) before control goes back to the message loop.
    if (!pool_ || current_.empty() || asking_) {
        return;
    }
    Entry& e = current_.front();
    if (e.job != 0 && !e.ended) {
        pool_->wait(e.job);
        if (std::optional<JobState> state = pool_->state(e.job)) {
            e.state = *state;
        }
        e.ended = true;
        jobs_.erase(e.job);
        pool_->forget(e.job);
    }
    if (e.ended) {
        Guarded(&BatchEngine::ShowTurn);
    }
}

void BatchEngine::Finish() {
    if (finished_ || !pool_) {
        return;
    }
    finished_ = true;
    if (platform::services().taskbar) {
        platform::services().taskbar->clear();
    }
    awake_.release();
    pool_->stopAll();
    pool_->waitAll();
    // Every job has ended now; what each left is decided here.
    auto settle = [this](Entry& e) {
        if (e.job != 0 && !e.ended) {
            if (std::optional<JobState> state = pool_->state(e.job)) {
                e.state = *state;
            }
            e.ended = true;
        }
    };
    if (!current_.empty()) {
        Entry& e = current_.front();
        settle(e);
        std::string placed;
        platform::FileIdentity identity;
        // Exit's Cancel and a close from outside leave the file as it stands;
        // Exit's OK drops it.
        if (!dropCurrent_ && e.state.output) {
            PutInPlace(e, currentDecision_, e.state.code, placed, identity);
        }
        if (e.record != kNoIndex) {
            if (e.state.code == codec::kCodecDone && !e.state.stopped) {
                record_.finished({e.record});
            } else {
                if (placed.empty()) {
                    record_.stopped(e.record);
                }
                stoppedLeft_ = true;
            }
        }
        current_.clear();
    }
    // What ran ahead of the window is dropped; its entries stay to be redone.
    for (Entry& e : queue_) {
        if (e.job != 0) {
            settle(e);
            if (e.record != kNoIndex) {
                record_.stopped(e.record);
            }
            e.state.output.reset();
        }
    }
    jobs_.clear();
    detached_.clear();
    // A record with nothing unfinished goes.
    if (queue_.empty() && !stoppedLeft_) {
        record_.remove();
    } else {
        record_.close();
    }
    pool_.reset();
}

// ---- Entries ahead of their turn --------------------------------------------------

BatchEngine::Decision BatchEngine::Decide(const Entry& entry, bool atTurn) {
    const bool decode = IsDecodeEntry(entry.name);
    const JobKind& kind = kindOf(decode);
    const settings::SettingsRecord& s = view_.settings();
    Decision d;
    // A partial a clean close put in place for this name, still as it was then, is
    // replaced by the redo whatever the overwrite rule says.
    if (!entry.partial.empty() && platform::identityOf(entry.partial) == entry.partialIdentity) {
        d.redo = true;
        d.target = entry.partial;
        d.dir = platform::parentDir(entry.partial);
    } else {
        d.dir = decode ? s.DecodedDir : s.EncodedDir;
        if (!entry.subfolder.empty() && !d.dir.empty()) {
            d.dir = platform::joinPath(d.dir, entry.subfolder);
        }
    }
    if (!CreateTargetDirectory(d.dir)) {
        d.outcome = Decision::DirectoryFailed;
        return d;
    }
    bool readOnly = false;
    if (!d.redo) {
        d.target = TargetNameFor(d.dir, entry.name, kind.extension);
    }
    if (PathExists(d.target)) {
        switch (d.redo ? 0 : s.Overwrite) {
        case 1:
            // Ahead of the turn the name is only known to be of this family.
            if (atTurn) {
                d.target = UniqueTargetName(d.target, kind.extension);
            }
            break;
        case 2:
            d.outcome = Decision::Skipped;
            return d;
        default: {
            // A file the user may not write, or a folder, is not replaced.
            struct stat st {};
            readOnly = (::lstat(d.target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) ||
                       platform::isReadOnlyFile(d.target);
            break;
        }
        }
    }
    if (!platform::fileExists(entry.name)) {
        d.outcome = Decision::MissingSource;
        return d;
    }
    d.outcome = readOnly ? Decision::ReadOnly : Decision::Run;
    return d;
}

bool BatchEngine::ConflictsWithEarlier(EntryList::iterator it) {
    // An entry reading a file an earlier one will write waits until that one has
    // taken its place: a job reads what one job at a time would read.
    const platform::PathKey source = platform::pathKeyOf(it->name);
    auto writesIt = [&source](const Entry& e) {
        return e.writes && inTargetFamily(e.target, source);
    };
    if (!current_.empty() && writesIt(current_.front())) {
        return true;
    }
    return std::any_of(queue_.begin(), it, writesIt);
}

void BatchEngine::StartJob(Entry& entry, const std::string& folder) {
    const bool decode = IsDecodeEntry(entry.name);
    JobOrder order;
    order.decode = decode;
    order.source = entry.name;
    order.folder = folder;
    order.nice = NiceFor(view_.settings().Priority);
    // Recorded as started before the worker writes a byte: a converter that dies
    // now leaves it marked as cut off.
    if (entry.record != kNoIndex) {
        record_.started(entry.record);
    }
    entry.job = pool_->start(order);
    entry.ended = false;
    entry.state = JobState{};
    entry.outputFolder = folder;
}

void BatchEngine::DispatchAhead() {
    if (!pool_ || StopRequested || closeRequested_ || finished_) {
        return;
    }
    // The entry in its codec phase whose job could not start for want of a worker.
    if (!current_.empty() && current_.front().job == 0 && !current_.front().ended && Busy &&
        currentDecision_.outcome == Decision::Run && pool_->hasIdleWorker()) {
        StartJob(current_.front(), currentDecision_.dir);
        auto it = current_.begin();
        jobs_[it->job] = it;
    }
    if (!parallel_ || batchEndsAhead_) {
        return;
    }
    int waiting = 0;
    for (auto it = queue_.begin(); it != queue_.end() && pool_->hasIdleWorker(); ++it) {
        if (it->folder) {
            if (it->walk) {
                return; // the entries after a folder wait until its files are found
            }
            continue;
        }
        if (it->planned) {
            waiting += it->job != 0 ? 1 : 0;
            continue;
        }
        if (waiting >= kAheadPerWorker * pool_->workers() || ConflictsWithEarlier(it)) {
            return; // tried again when a job ends or a result is shown
        }
        it->planned = true;
        const Decision d = Decide(*it, false);
        if (d.outcome == Decision::DirectoryFailed && !IsDecodeEntry(it->name)) {
            // That entry ends the batch at its turn: nothing after it starts.
            batchEndsAhead_ = true;
            return;
        }
        if (d.outcome != Decision::Run) {
            continue;
        }
        it->writes = true;
        it->target = platform::pathKeyOf(d.target);
        StartJob(*it, d.dir);
        jobs_[it->job] = it;
        ++waiting;
    }
}

void BatchEngine::OnJobChanged(quint64 id) {
    if (!pool_) {
        return;
    }
    std::optional<JobState> state = pool_->state(id);
    if (detached_.count(id) != 0) {
        // A job let go of: what it wrote goes with its state.
        if (state && state->ended) {
            detached_.erase(id);
            pool_->forget(id);
            DispatchAhead();
        }
        return;
    }
    auto found = jobs_.find(id);
    if (found == jobs_.end()) {
        return;
    }
    EntryList::iterator it = found->second;
    if (state && state->ended) {
        it->ended = true;
        it->state = *state;
        pool_->forget(id);
        jobs_.erase(found);
    }
    if (finished_) {
        return;
    }
    const bool stopping = StopRequested || closeRequested_;
    // The entry in its codec phase: its progress, and its own ending also when the
    // batch is being stopped (not while the user is asked about its file).
    if (!current_.empty() && current_.begin() == it) {
        if (!asking_) {
            Guarded(&BatchEngine::ShowTurn);
        }
        if (parallel_ && !stopping) {
            Advance();
        }
    }
    if (!stopping) {
        DispatchAhead();
    }
}

// ---- Entry 0's turn ----------------------------------------------------------------

void BatchEngine::Advance() {
    while (!Busy && holdTurns_ == 0 && !queue_.empty() && !Walking(queue_.front()) &&
           !StopRequested && !closeRequested_ && !finished_) {
        Guarded(&BatchEngine::StartTurn);
    }
}

void BatchEngine::Guarded(void (BatchEngine::*step)()) {
    // A job whose showing threw ends as an error: its entry leaves the queue, Busy
    // is cleared (else no later entry nor the completion could ever come) and the
    // batch goes on.
    std::string what;
    try {
        (this->*step)();
        return;
    } catch (const std::exception& error) {
        what = error.what();
    } catch (...) {
        what = "Unknown exception";
    }
    std::string entry = SourceName;
    bool decode = LastKind == KindDecode;
    if (!current_.empty()) {
        Entry& e = current_.front();
        entry = e.name;
        Detach(e);
        if (e.record != kNoIndex) {
            record_.finished({e.record});
        }
        current_.clear();
    }
    Busy = false;
    ShowJobException(entry, decode, what);
}

void BatchEngine::ShowJobException(const std::string& entry, bool decode, const std::string& what) {
    view_.showProgress(255);
    view_.showStatus("Error encountered", kindOf(decode).errorShift);
    Report(entry, what);
    if (!view_.settings().NoErrors) {
        // The program's general error box, over the window.
        Box(what, platform::applicationTitle(), platform::Ok, platform::Icon::Error, false);
    }
}

void BatchEngine::TakeEntry(EntryList::iterator it) {
    names_.erase(it->name);
    Detach(*it);
    queue_.erase(it);
}

void BatchEngine::Detach(Entry& entry) {
    if (entry.job != 0 && !entry.ended) {
        pool_->stop(entry.job);
        jobs_.erase(entry.job);
        detached_.insert(entry.job);
    }
    entry.job = 0;
    entry.ended = false;
    entry.state = JobState{};
}

void BatchEngine::ResultShown(const std::string& name) {
    ++shown_;
    ShowShare();
    emit EntryShown(QString::fromStdString(name));
    // The batch ends three whole ticks after its last result.
    if (queue_.empty() && openBoxes_ == 0) {
        view_.restartTicks();
    }
}

void BatchEngine::StartTurn() {
    if (queue_.empty()) {
        return;
    }
    Entry& e = queue_.front();
    const std::string name = e.name;
    if (e.folder) {
        if (e.walk) {
            return; // its files are still being found
        }
        // A folder in which the walk found nothing to convert.
        Report(name, "no file to convert in this folder");
        view_.showStatus("Skipping", 0);
        if (e.record != kNoIndex) {
            record_.finished({e.record});
        }
        TakeEntry(queue_.begin());
        view_.showCount(queue_.size());
        ResultShown(name);
        return;
    }
    const bool decode = IsDecodeEntry(name);
    const settings::SettingsRecord& s = view_.settings();
    LastKind = kindOf(decode).lastKind;
    const Decision d = Decide(e, true);
    view_.showStatus("Starting", 10);

    auto finishEntry = [&] {
        if (queue_.front().record != kNoIndex) {
            record_.finished({queue_.front().record});
        }
        TakeEntry(queue_.begin());
    };
    switch (d.outcome) {
    case Decision::DirectoryFailed:
        finishEntry();
        view_.showStatus("Failed", 0);
        Report(name, "Unable to create target directory " + d.dir);
        Failed(name, "Unable to create target directory");
        ResultShown(name);
        if (!s.NoErrors) {
            Box("Unable to create target directory", "Error", platform::Ok, platform::Icon::None,
                false);
        }
        if (!decode && !StopRequested && !closeRequested_) {
            view_.shutdown();
        }
        return;
    case Decision::Skipped:
        view_.showStatus("Skipping", 0);
        finishEntry();
        ResultShown(name);
        return;
    default:
        break;
    }

    SourceName = name;
    TargetName = d.target;
    if (d.outcome == Decision::MissingSource) {
        // A missing source fails its own entry only, for both kinds: ending the
        // batch here would drop every later entry without a word.
        finishEntry();
        view_.showCount(queue_.size());
        Report(name, "Unable to find source file");
        Failed(name, "Unable to find source file");
        ResultShown(name);
        if (!s.NoErrors) {
            Box("Unable to find source file: " + displayText(name), "Error", platform::Ok,
                platform::Icon::None, false);
        }
        return;
    }

    // The codec phase: the entry leaves the queue, its job runs on.
    names_.erase(name);
    current_.splice(current_.begin(), queue_, queue_.begin());
    currentDecision_ = d;
    working_ = false;
    view_.showCount(queue_.size());
    Busy = true;
    view_.showSource(name);
    view_.showKind(decode);

    Entry& run = current_.front();
    if (d.outcome == Decision::ReadOnly) {
        // As the codec's open refuses to overwrite it: nothing runs.
        Detach(run);
        run.ended = true;
        run.state.opened = true;
        run.state.openCode = run.state.code = codec::kCodecUnableToOverwrite;
        ShowTurn();
        return;
    }
    // A job that ran ahead into another folder (the setting changed meanwhile) is
    // not this turn's: it stops and the job runs again.
    if ((run.job != 0 || run.ended) && !sameFolder(run.outputFolder, d.dir)) {
        Detach(run);
    }
    run.writes = true;
    run.target = platform::pathKeyOf(d.target);
    if (run.job == 0 && !run.ended && pool_->hasIdleWorker()) {
        StartJob(run, d.dir);
        jobs_[run.job] = current_.begin();
    }
    ShowTurn();
}

void BatchEngine::ShowTurn() {
    if (current_.empty()) {
        progressTimer_->stop();
        return;
    }
    Entry& e = current_.front();
    const bool decode = IsDecodeEntry(e.name);
    JobState state = e.state;
    if (e.job != 0 && !e.ended) {
        if (std::optional<JobState> now = pool_->state(e.job)) {
            state = *now;
        }
    }
    if (e.job != 0 && !e.ended && !progressTimer_->isActive()) {
        progressTimer_->start();
    }
    if (!state.opened) {
        return;
    }
    if (!working_ && (decode || state.openCode == codec::kCodecOk)) {
        view_.showStatus("Working", 10);
        working_ = true;
    }
    if (working_) {
        view_.showProgress(ProgressWidth(static_cast<int16_t>(state.percent)));
    }
    if (e.ended) {
        progressTimer_->stop();
        FinishTurn();
    }
}

int BatchEngine::PutInPlace(Entry& entry, const Decision& decision, int code,
                            std::string& placed, platform::FileIdentity& identity) {
    std::shared_ptr<JobOutput> output = std::move(entry.state.output);
    if (!output) {
        return code;
    }
    const bool complete = code == codec::kCodecDone && !entry.state.stopped;
    std::string target = decision.target;
    const bool decode = IsDecodeEntry(entry.name);
    // The record says where the output goes, and which file it is, before it goes
    // there: a converter killed in between leaves a record the next one can check
    // against the folder, so the name is neither lost nor converted twice.
    identity = output->identity();
    auto announce = [&] {
        if (entry.record == kNoIndex) {
            return;
        }
        if (entry.state.stopped) {
            record_.stopped(entry.record, target, identity);
        } else {
            record_.finished(entry.record, target, identity);
        }
    };
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (PathExists(target)) {
            struct stat st {};
            if ((::lstat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) ||
                platform::isReadOnlyFile(target)) {
                return codec::kCodecUnableToOverwrite;
            }
            // Only a finished result replaces a file that was there; a redo replaces
            // the partial a clean close left.
            if (!complete && !decision.redo) {
                return code;
            }
            announce();
            if (!output->publish(target, JobOutput::Place::Replace)) {
                break;
            }
        } else {
            announce();
            if (!output->publish(target, JobOutput::Place::IfAbsent)) {
                if (errno != EEXIST) {
                    break;
                }
                // Something took the name since the decision.
                if (view_.settings().Overwrite == 1 && !decision.redo) {
                    target = UniqueTargetName(target, kindOf(decode).extension);
                }
                continue;
            }
        }
        placed = target;
        return code;
    }
    Report(entry.name, "cannot put the output in place at " + target + ": " + std::strerror(errno));
    return codec::kCodecWriteFail;
}

void BatchEngine::FinishTurn() {
    Entry& e = current_.front();
    const std::string name = e.name;
    const bool decode = IsDecodeEntry(name);
    const JobKind& kind = kindOf(decode);
    view_.showProgress(255);
    if (e.state.threw) {
        const std::string what = e.state.exception;
        if (e.record != kNoIndex) {
            record_.finished({e.record});
        }
        current_.clear();
        Busy = false;
        Failed(name, what);
        ShowJobException(name, decode, what);
        ResultShown(name);
        return;
    }
    // A job stopped by Exit or a close ends as a stopped loop always did ("Done");
    // Exit's OK drops what it wrote, anything else puts it in place as it stands.
    const bool stopping = StopRequested || closeRequested_;
    std::string placed;
    platform::FileIdentity identity;
    const int code = dropCurrent_ ? e.state.code
                                  : PutInPlace(e, currentDecision_, e.state.code, placed, identity);
    if (!placed.empty()) {
        TargetName = placed;
    }
    if (e.record != kNoIndex) {
        // A stopped job is redone by the next converter, into the partial it left
        // (its mark went with the partial).
        if (e.state.stopped) {
            if (placed.empty()) {
                record_.stopped(e.record);
            }
            stoppedLeft_ = true;
        } else {
            record_.finished({e.record});
        }
    }
    current_.clear();
    ResultShown(name);
    if (code != codec::kCodecOk && code != codec::kCodecDone) {
        view_.showStatus("Error encountered", kind.errorShift);
        Report(name, codec::CodecResultText(code));
        Failed(name, codec::CodecResultText(code));
        // A decode's errors show no box, but for a write that failed (a full disk),
        // which the user must hear of as an encode's. The box is shown while the
        // entry is still busy: no further entry is shown meanwhile.
        const bool box = !decode || code == codec::kCodecWriteFail;
        if (box && !stopping && !view_.settings().NoErrors) {
            Box("Error occured: " + std::string(codec::CodecResultText(code)) +
                    "\n while operating with: " + displayText(platform::fileName(name)),
                kTitle, platform::Ok, platform::Icon::None, true);
        }
    } else {
        view_.showStatus("Done", 10);
        ++converted_[decode ? KindDecode : KindEncode];
    }
    Busy = false;
}

// ---- Boxes, reports, completion ------------------------------------------------

platform::Button BatchEngine::Box(const std::string& text, const std::string& caption,
                                  unsigned buttons, platform::Icon icon, bool holdsTurns) {
    struct Open {
        BatchEngine& engine;
        bool holds;
        ~Open() {
            --engine.openBoxes_;
            if (holds) {
                --engine.holdTurns_;
            }
        }
    } open{*this, holdsTurns};
    ++openBoxes_;
    if (holdsTurns) {
        ++holdTurns_;
    }
    const platform::Button answer = view_.showBox(text, caption, buttons, icon);
    // The batch ends three whole ticks after its last box.
    if (openBoxes_ == 1 && queue_.empty()) {
        view_.restartTicks();
    }
    return answer;
}

void BatchEngine::Failed(const std::string& source, const std::string& what) {
    ++failed_;
    if (firstFailure_.empty()) {
        firstFailure_ = displayText(platform::fileName(source)) + ": " + what;
    }
}

void BatchEngine::ShowShare() {
    const size_t total = shown_ + queue_.size() + current_.size();
    if (platform::services().taskbar && total > 0) {
        platform::services().taskbar->setProgress(static_cast<double>(shown_) /
                                                  static_cast<double>(total));
    }
}

platform::Notification BatchEngine::Summary() const {
    const size_t done = converted_[KindDecode] + converted_[KindEncode];
    const char* what = converted_[KindEncode] == 0 && converted_[KindDecode] > 0 ? " decoded to WAVE"
                       : converted_[KindDecode] == 0 && converted_[KindEncode] > 0
                           ? " compressed to MP3"
                           : " converted";
    std::string summary = std::to_string(done) + (done == 1 ? " file" : " files") + what;
    if (failed_ > 0) {
        summary += ", " + std::to_string(failed_) + " failed";
    }
    if (cut_) {
        summary += ", then stopped";
    }
    const settings::SettingsRecord& s = view_.settings();
    const std::string folder = LastKind == KindDecode ? s.DecodedDir : s.EncodedDir;
    return {summary, firstFailure_.empty() ? "Saved in " + displayText(folder) : firstFailure_,
            folder};
}

void BatchEngine::Report(const std::string& source, const std::string& what) {
    // Every job that fails says so on stderr, boxes or not: a batch started from a
    // script, or with "Don't display errors", still leaves a trace of what failed.
    std::fprintf(stderr, "mp3tunewright: %s: %s\n", source.c_str(), what.c_str());
    std::fflush(stderr);
}

void BatchEngine::CompletionActions() {
    const settings::SettingsRecord& s = view_.settings();
    if (s.PlaySound) {
        const std::string sound = programDir_ + "alldone.wav";
        if (platform::fileExists(sound)) {
            platform::services().sound->playFileSync(sound);
        } else {
            platform::services().sound->playDefault();
        }
    }
    if (s.OpenDir) {
        if (LastKind == KindDecode) {
            platform::services().shell->open(s.DecodedDir, platform::ShowMode::Normal);
        } else {
            platform::services().shell->open(s.EncodedDir, platform::ShowMode::Minimized);
        }
    }
    // Beside the chime: the desktop's word that the batch has ended.
    if (platform::services().taskbar) {
        platform::services().taskbar->clear();
    }
    awake_.release();
    if (platform::services().notifier && settings::LoadNotify()) {
        platform::services().notifier->notify(Summary());
    }
}

int BatchEngine::NiceFor(int16_t priority) {
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

} // namespace app
