#pragma once

// The converter's journal of the names it has taken and not yet finished, kept in
// the runtime folder ("queue" and "queue.done") so that a converter that is killed
// or closed from outside loses nothing: the next one converts them first.
//
// "queue" holds a generation number and the names in the order they were taken, each
// with what a next converter needs to go on with it: the folder below the output
// folder it goes to (a name found in a selected folder), a mark for a name whose job
// was cut off by a converter that died, and the partial output a clean close left at
// its target (which the redo replaces, whatever the overwrite setting). After each
// appended batch comes the identity of the hand-off file it was read from, so a
// converter killed between taking a file and removing it never takes it twice.
//
// "queue.done" holds the same generation and marks by index: a job started, a job
// stopped by a clean close (with the partial output it left, if any), a name
// finished (with the file its result became). Its space is reserved ahead, so a full runtime folder does not keep the
// marks of the jobs that end from being written.
//
// A failed write never undoes an earlier one: a torn append is cut off again and the
// record stays as it last was.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/FileIO.h"

namespace app {

// One name of the record with what the record knows of it.
struct RecordedName {
    std::string name;
    // The folder below the output folder that the name's output goes to ("" for the
    // output folder itself).
    std::string subfolder{};
    // Its job was cut off once already by a converter that died.
    bool retried = false;
    // The partial output a clean close put in place for it, and that file's
    // identity then: the redo replaces that file, and only while it is unchanged.
    std::string partial{};
    platform::FileIdentity partialIdentity{};
    friend bool operator==(const RecordedName&, const RecordedName&) = default;
};

// What a converter that ended early left in the runtime folder.
struct RecordLeft {
    std::vector<RecordedName> unfinished; // to convert, in their order
    std::vector<RecordedName> dropped;    // cut off by a dying converter twice: not again
    // Hand-off files whose names the record holds.
    std::vector<platform::FileIdentity> absorbed;
    // The names it finished (a folder walked again skips them).
    std::vector<std::string> finished;
};

class QueueRecord {
public:
    QueueRecord() = default;
    ~QueueRecord();
    QueueRecord(const QueueRecord&) = delete;
    QueueRecord& operator=(const QueueRecord&) = delete;

    // The record left in `dir`. A name whose job started and never stopped (its
    // converter died) is converted again, marked retried; one that died a second
    // time is dropped, so a file that ends the converter every time cannot stop
    // every later batch. A job stopped by a clean close does not count.
    static RecordLeft readLeft(const std::string& dir);

    // True when the record in `dir` holds a name to convert.
    static bool holdsWork(const std::string& dir);

    // Replaces any record in `dir` by one holding `entries` (indices 0 to n-1) and
    // the identities of hand-off files already `absorbed`. Temporaries of earlier
    // writers that died are removed first. False with `error` set when it cannot be
    // written: the record that was there then stays as it was (remove() still
    // removes it), and no record is active.
    bool start(const std::string& dir, const std::vector<RecordedName>& entries,
               const std::vector<platform::FileIdentity>& absorbed, std::string* error = nullptr);
    // Appends names (the first gets index next()) and, with `from`, the hand-off
    // file they came from. False when not every byte could be written: what was
    // written is cut off again, and nothing changes.
    bool append(const std::vector<RecordedName>& entries,
                const platform::FileIdentity* from = nullptr);
    // Marks a job started, stopped by a clean close (with the partial output it put
    // in place, if any), or a name finished.
    bool started(uint32_t index);
    bool stopped(uint32_t index, const std::string& partial = {},
                 const platform::FileIdentity& partialIdentity = {});
    bool finished(const std::vector<uint32_t>& indices);
    // Marks a name finished with its result at `target`, written just before the
    // result takes that name: it counts only while the file there is that result.
    bool finished(uint32_t index, const std::string& target,
                  const platform::FileIdentity& identity);
    // Deletes the record (also one that start() could not replace).
    void remove();
    // Stops writing and keeps the files for the next converter.
    void close();

    bool active() const { return namesFd_ >= 0; }
    uint32_t next() const { return next_; }

private:
    bool mark(const std::string& bytes);

    int namesFd_ = -1;
    int doneFd_ = -1;
    std::string dir_;
    uint32_t next_ = 0;
    off_t namesEnd_ = 0;    // the length of the names file after the last good write
    off_t doneEnd_ = 0;     // where the next mark goes
    off_t doneReserved_ = 0; // the length reserved for marks
};

// The bytes of the record's files, and their parsing (never past the end; a torn
// tail and the unused reserve are dropped). Records of the two earlier versions are
// read too.
struct RecordMark {
    enum Kind : uint8_t { Started = 1, Finished = 2, Stopped = 3 };
    uint32_t index = 0;
    Kind kind = Finished;
    // The file the job's output became (a stopped job's partial, a finished result).
    std::string target{};
    platform::FileIdentity targetIdentity{};
};
std::string encodeQueueRecord(uint32_t generation, const std::vector<RecordedName>& entries,
                              const std::vector<platform::FileIdentity>& absorbed = {});
bool decodeQueueRecord(const std::string& bytes, uint32_t& generation,
                       std::vector<RecordedName>& entries,
                       std::vector<platform::FileIdentity>* absorbed = nullptr);
std::string encodeQueueMark(const RecordMark& mark);
bool decodeQueueDone(const std::string& bytes, uint32_t& generation,
                     std::vector<RecordMark>& marks);

} // namespace app
