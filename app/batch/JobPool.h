#pragma once

// The workers that run the conversion jobs: up to N at once, each on a thread of its
// own with its own file codec and its own event loop (a decode advances only through
// the events its player posts to that thread). The batch engine decides every job
// and shows every result, both in queue order; the pool only runs them. A worker owns
// one job from its open to its close, with its own unnamed output in the target's
// folder; it touches no widget and shares nothing with the engine but the jobs'
// states, behind one mutex. The engine hears of a change through a queued signal and
// reads the state on its own thread.

#include <QObject>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/batch/JobOutput.h"

class QThread;

namespace app {

// What one job is asked to do.
struct JobOrder {
    bool decode = false;
    std::string source;
    std::string folder; // where its output is made: the target's folder
    int nice = 0;       // the worker thread's priority while it runs the job
};

// How far a job has come, and how it ended.
struct JobState {
    bool opened = false; // the open operation has returned openCode
    int openCode = 0;
    std::uint16_t percent = 0; // the last progress its step reported
    bool ended = false;        // the close operation has run; what follows is final
    int code = 0;              // the last code: 0 stopped before the end, 8 done, else an error
    bool stopped = false;      // ended by stop() before its file was done
    bool threw = false;        // an exception ended it, with this text
    std::string exception;
    // What the job wrote, unnamed until the engine puts it in place; null when it
    // wrote nothing that could be kept (a refused open, a decode without audio).
    std::shared_ptr<JobOutput> output;
};

class JobPool : public QObject {
    Q_OBJECT
public:
    // Starts `workers` threads (at least one); their codecs load the encoder library
    // from `programDir`.
    JobPool(int workers, std::string programDir, QObject* parent = nullptr);
    // Stops every job at its next loop test, waits until each has closed its file,
    // and ends the threads.
    ~JobPool() override;
    JobPool(const JobPool&) = delete;
    JobPool& operator=(const JobPool&) = delete;

    int workers() const { return static_cast<int>(workers_.size()); }
    // Jobs started and not ended.
    int running() const;
    bool hasIdleWorker() const { return running() < workers(); }

    // Starts a job on an idle worker (there must be one) and returns its id.
    std::uint64_t start(const JobOrder& order);
    // A copy of the job's state; nullopt for an id the pool does not know.
    std::optional<JobState> state(std::uint64_t id) const;
    // Ends a job at its next loop test; its close operation still runs.
    void stop(std::uint64_t id);
    // Ends every job at its next loop test.
    void stopAll();
    // Blocks until no job runs, or until job `id` has ended.
    void waitAll();
    void wait(std::uint64_t id);
    // Drops an ended job's state.
    void forget(std::uint64_t id);

signals:
    // A job has opened or ended (its progress is only read through state()).
    // Emitted on the worker's thread, so it reaches objects of the window's thread
    // queued.
    void jobChanged(quint64 id);

private:
    class Worker;
    friend class Worker;

    struct Job {
        JobState state;
        bool stopRequested = false;
        int worker = -1;
    };

    // Called by the workers.
    bool stopRequested(std::uint64_t id) const;
    void update(std::uint64_t id, const JobState& state);

    std::string programDir_;
    std::vector<QThread*> threads_;
    std::vector<Worker*> workers_;
    mutable std::mutex mutex_;
    std::condition_variable ended_;
    std::unordered_map<std::uint64_t, Job> jobs_;
    std::vector<bool> busy_;
    std::uint64_t nextId_ = 1;
};

} // namespace app
