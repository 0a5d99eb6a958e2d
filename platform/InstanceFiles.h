#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/FileIO.h"

namespace platform {

// The private per-user folder that holds the lock and the hand-off files:
// $TUNEWRIGHT_RUNTIME_DIR, else $XDG_RUNTIME_DIR/mp3tunewright (only when that
// variable holds an absolute path), else /tmp/mp3tunewright-<uid>. It is created
// with mode 0700 and refused when it is not a directory owned by the user or is
// open to others. Returns the folder with a trailing '/', or "" with `error` set.
std::string runtimeDir(std::string* error);

// What an attempt to take the lock found.
enum class LockResult {
    Acquired, // this process holds the lock now
    Held,     // another process holds it (flock said EWOULDBLOCK)
    Failed,   // the lock file cannot be used at all (see the error text)
};

// The single-instance lock on "active.flg". Held from a successful acquire() until
// release() or destruction; the kernel drops it when the process dies, so a killed
// holder never blocks the next start.
class InstanceLock {
public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Tries to take the lock in `dir`. Only a lock held by another process is
    // `Held`; an open that fails (a directory or a link at the path, no
    // permission, a read-only or full file system) or a file that keeps being
    // replaced is `Failed`, with the reason in `error`.
    LockResult tryAcquire(const std::string& dir, std::string* error = nullptr);
    // True when tryAcquire(dir) gives Acquired.
    bool acquire(const std::string& dir);
    // Takes the lock again in the folder of the last tryAcquire.
    LockResult reacquire(std::string* error = nullptr);
    bool held() const { return fd_ >= 0; }
    // The folder of the last tryAcquire, with its trailing '/'.
    const std::string& dir() const { return dir_; }
    // Removes the file while still holding the lock, then closes it.
    void release();

private:
    int fd_ = -1;
    std::string dir_;
    std::string path_;
};

// Writes one hand-off file "addedmp3.<n>" with the lowest free n in `dir`:
// count word (entries + 1), then a length word and the bytes of each entry,
// little-endian 32-bit. The file is written under a hidden temporary name and
// published with link(), so a reader never sees it half-written and two writers
// never share a number. Returns the published path, or "" with `error` set; with
// `published`, the identity of the file written, so that the writer can tell its own
// file from another writer's of the same number later.
std::string writeHandOffFile(const std::string& dir, const std::vector<std::string>& entries,
                             std::string* error, FileIdentity* published = nullptr);

// The bytes of a hand-off file for these entries.
std::string encodeHandOff(const std::vector<std::string>& entries);

// Parses hand-off bytes. Never reads past the end and never allocates more than
// the data holds: a short or damaged file yields the complete entries before the
// damage. An entry is cut at its first zero byte.
std::vector<std::string> decodeHandOff(const std::string& bytes);

// The hand-off files in `dir` ("addedmp3.<n>", plain files only), lowest n first.
std::vector<std::string> listHandOffFiles(const std::string& dir);

// Reads a hand-off file without deleting it; false when it cannot be read (a FIFO
// or anything but a regular file is refused without blocking). With `identity`,
// the identity of the file read.
bool readHandOffFile(const std::string& path, std::vector<std::string>& entries,
                     FileIdentity* identity = nullptr);

// Reads a hand-off file and deletes it. False (and nothing queued) when it
// cannot be opened; it is then left for a later scan.
bool takeHandOffFile(const std::string& path, std::vector<std::string>& entries);

// Removes the hidden temporaries (".addedmp3-<pid>-*") of writers that died
// before publishing them; a temporary whose process still runs is left alone.
void removeStaleHandOffTemporaries(const std::string& dir);

// True when names are waiting in `dir` for a converter: a hand-off file (other than
// the `taken` ones, which this process read and could not remove), or the record of
// a converter that ended before finishing its names.
bool handOffWorkWaiting(const std::string& dir, const std::vector<FileIdentity>& taken = {});

// Removes a hand-off file this process published, unless the file now at `path` is
// another one (a reader took this one and another writer got the same number).
// True when it was removed; false with errno ENOENT when it is gone.
bool withdrawHandOffFile(const std::string& path, const FileIdentity& published);

// One name of the converter's record with what the record knows of its job.
struct RecordedName {
    std::string name;
    // Its job was interrupted once already (the converter died or was closed from
    // outside inside it).
    bool retried = false;
    // The target an interrupted job had begun: the next converter finishes the
    // name into this file rather than a second, renamed one. Empty when none began.
    std::string target{};
    friend bool operator==(const RecordedName&, const RecordedName&) = default;
};

// What a converter that ended early left in the runtime folder.
struct RecordLeft {
    std::vector<RecordedName> unfinished; // to convert, in their order
    std::vector<RecordedName> dropped;    // interrupted twice: not converted again
    // Hand-off files whose names the record holds: a converter killed between the
    // record's append and the file's removal left them; they are not read again.
    std::vector<FileIdentity> absorbed;
};

// The converter's record of the names it has taken and not yet finished, kept in
// the runtime folder ("queue" and "queue.done") so that a converter that is
// killed loses nothing: the next one converts them first.
//
// "queue" holds a generation number and the names, each with its index (the order
// of appending), a mark for a name whose job was interrupted once already and the
// target such a job had begun, and after each appended batch the identity of the
// hand-off file it came from. "queue.done" holds the same generation, the indices
// of the jobs started (with their targets) and of those finished, in any order. A
// new record is written whole under a temporary name and renamed into place;
// names are appended with one write per batch and a mark with one write, so a torn
// tail is at most one batch, which the reader drops.
//
// Every write is checked: one that fails (a full runtime folder) returns false and
// the caller drops the record (remove()), so that a torn or stale record never
// makes a next converter convert names again or for ever.
class QueueRecord {
public:
    QueueRecord() = default;
    ~QueueRecord();
    QueueRecord(const QueueRecord&) = delete;
    QueueRecord& operator=(const QueueRecord&) = delete;

    // The record left in `dir`: a name whose job had started is converted again
    // once, into the target that job had begun (marked retried); a name
    // interrupted a second time is dropped, so that a file that ends the converter
    // every time cannot stop every later batch.
    static RecordLeft readLeft(const std::string& dir);

    // Replaces any record in `dir` by a new one holding `entries` with the indices
    // 0 to n-1. False (with `error` set, and no record kept: a record left before is
    // deleted too) when it cannot be written.
    bool start(const std::string& dir, const std::vector<RecordedName>& entries,
               std::string* error = nullptr);
    // Appends names; the first gets index next(). `from`: the hand-off file they
    // were read from, recorded after them. True while no record is kept.
    bool append(const std::vector<std::string>& entries, const FileIdentity* from = nullptr);
    // Marks the job of a name started, writing into `target`.
    bool started(uint32_t index, const std::string& target);
    // Marks names finished.
    bool finish(const std::vector<uint32_t>& indices);
    // Deletes the record: nothing is left unfinished. Also deletes a record file
    // this object never opened when `dir` is given.
    void remove(const std::string& dir = {});
    // Stops writing and keeps the files for the next converter.
    void close();

    bool active() const { return namesFd_ >= 0; }
    uint32_t next() const { return next_; }

private:
    int namesFd_ = -1;
    int doneFd_ = -1;
    std::string dir_;
    uint32_t next_ = 0;
};

// A mark of "queue.done": a job started (with the target it writes) or finished.
struct RecordMark {
    uint32_t index = 0;
    bool started = false;
    std::string target{};
};

// The bytes of a record's files, and their parsing (never past the end; a torn
// tail is dropped). `generation` is set from the file's header.
std::string encodeQueueRecord(uint32_t generation, const std::vector<RecordedName>& entries,
                              const std::vector<FileIdentity>& absorbed = {});
bool decodeQueueRecord(const std::string& bytes, uint32_t& generation,
                       std::vector<RecordedName>& entries,
                       std::vector<FileIdentity>* absorbed = nullptr);
std::string encodeQueueMark(const RecordMark& mark);
bool decodeQueueDone(const std::string& bytes, uint32_t& generation,
                     std::vector<RecordMark>& marks);

} // namespace platform
