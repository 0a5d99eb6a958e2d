#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
// never share a number. Returns the published path, or "" with `error` set.
std::string writeHandOffFile(const std::string& dir, const std::vector<std::string>& entries,
                             std::string* error);

// The bytes of a hand-off file for these entries.
std::string encodeHandOff(const std::vector<std::string>& entries);

// Parses hand-off bytes. Never reads past the end and never allocates more than
// the data holds: a short or damaged file yields the complete entries before the
// damage. An entry is cut at its first zero byte.
std::vector<std::string> decodeHandOff(const std::string& bytes);

// The hand-off files in `dir` ("addedmp3.<n>", plain files only), lowest n first.
std::vector<std::string> listHandOffFiles(const std::string& dir);

// Reads a hand-off file without deleting it; false when it cannot be read.
bool readHandOffFile(const std::string& path, std::vector<std::string>& entries);

// Reads a hand-off file and deletes it. False (and nothing queued) when it
// cannot be opened; it is then left for a later scan.
bool takeHandOffFile(const std::string& path, std::vector<std::string>& entries);

// Removes the hidden temporaries (".addedmp3-<pid>-*") of writers that died
// before publishing them; a temporary whose process still runs is left alone.
void removeStaleHandOffTemporaries(const std::string& dir);

// True when names are waiting in `dir` for a converter: a hand-off file, or the
// record of a converter that ended before finishing its names.
bool handOffWorkWaiting(const std::string& dir);

// The converter's record of the names it has taken and not yet finished, kept in
// the runtime folder ("queue" and "queue.done") so that a converter that is
// killed loses nothing: the next one converts them first.
//
// "queue" holds a generation number and the names, each with its index (the
// order of appending) and a mark for a name whose job was interrupted once
// already; "queue.done" holds the same generation and the indices of the names
// whose job started and of those finished. A new record is written whole under a temporary name and
// renamed into place; names are appended with one write per batch and a finish
// with one 4-byte write, so a torn tail is at most one batch that the reader
// drops (the hand-off file it came from is deleted only after the append).
class QueueRecord {
public:
    QueueRecord() = default;
    ~QueueRecord();
    QueueRecord(const QueueRecord&) = delete;
    QueueRecord& operator=(const QueueRecord&) = delete;

    // The unfinished names of the record in `dir`, in their order; empty when
    // there is none. A name whose job had started is converted again once: it
    // is set in `retried` (one flag per name returned), and a name interrupted
    // a second time goes to `dropped` instead, so that a file that ends the
    // converter every time cannot stop every later batch.
    static std::vector<std::string> readUnfinished(const std::string& dir,
                                                   std::vector<bool>* retried = nullptr,
                                                   std::vector<std::string>* dropped = nullptr);

    // Replaces any record in `dir` by a new one holding `entries` with the
    // indices 0 to n-1 (`retried`: the flags readUnfinished gave, or empty).
    // False (and no record kept) when it cannot be written.
    bool start(const std::string& dir, const std::vector<std::string>& entries,
               std::string* error = nullptr, const std::vector<bool>& retried = {});
    // Appends names; the first gets index next(). No-op while no record is kept.
    bool append(const std::vector<std::string>& entries);
    // Marks the job of a name started. No-op while no record is kept.
    void started(uint32_t index);
    // Marks names finished. No-op while no record is kept.
    void finish(const std::vector<uint32_t>& indices);
    // Deletes the record: nothing is left unfinished.
    void remove();
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

// The bytes of a record's files, and their parsing (never past the end; a torn
// tail is dropped). `generation` is set from the file's header.
std::string encodeQueueRecord(uint32_t generation, const std::vector<std::string>& entries,
                              const std::vector<bool>& retried = {});
bool decodeQueueRecord(const std::string& bytes, uint32_t& generation,
                       std::vector<std::string>& entries, std::vector<bool>* retried = nullptr);
bool decodeQueueDone(const std::string& bytes, uint32_t& generation,
                     std::vector<uint32_t>& indices);

}  // namespace platform
