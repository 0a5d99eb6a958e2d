#include "app/batch/JobPool.h"

#include <QMetaObject>
#include <QThread>
#include <cstdio>
#include <exception>
#include <sys/stat.h>
#include <unistd.h>

#include "codec/MP3Codec.h"
#include "platform/Cpu.h"

namespace app {
namespace {

} // namespace

// One worker thread's side: its own codec, one job at a time, driven step by step
// from the thread's event loop so that the player's notifications are handled
// between the steps.
class JobPool::Worker : public QObject {
public:
    explicit Worker(JobPool* pool) : pool_(pool) {}

    void run(std::uint64_t id, const JobOrder& order) {
        id_ = id;
        order_ = order;
        state_ = JobState{};
        output_.reset();
        platform::setThreadNice(order.nice);
        try {
            if (!codec_) {
                // A missing encoder library shows up as a failure of each encode.
                codec_ = std::make_unique<codec::TMP3Codec>();
                codec_->LoadEncoder(pool_->programDir_);
                codec_->InitDecoder(pool_->programDir_);
            }
            output_ = JobOutput::Create(order_.folder);
            if (!output_) {
                // As a target the codec cannot create: the first write fails.
                state_.opened = true;
                state_.code = codec::kCodecWriteFail;
                end(false);
                return;
            }
            const std::string target = output_->path();
            state_.openCode =
                order_.decode
                    ? codec_->OpenDecode(order_.source, target, codec::TargetMode::Private)
                    : codec_->OpenEncode(order_.source, target, codec::TargetMode::Private);
        } catch (const std::exception& e) {
            fail(e.what());
            return;
        } catch (...) {
            fail("Unknown exception");
            return;
        }
        state_.opened = true;
        state_.code = state_.openCode;
        publish(true);
        // A decode always runs its loop and its close; an encode only after an
        // open that succeeded.
        if (order_.decode || state_.code == codec::kCodecOk) {
            step();
        } else {
            end(false);
        }
    }

    // The codec and its player go in the thread they were made in.
    void shutdown() { codec_.reset(); }

private:
    void step() {
        if (state_.code != codec::kCodecOk) {
            end(true);
            return;
        }
        if (pool_->stopRequested(id_)) {
            state_.stopped = true;
            end(true);
            return;
        }
        std::uint16_t percent = state_.percent;
        try {
            state_.code = order_.decode ? codec_->DecodeStep(percent) : codec_->EncodeStep(percent);
        } catch (const std::exception& e) {
            state_.threw = true;
            state_.exception = e.what();
            end(true);
            return;
        }
        state_.percent = percent;
        publish(false);
        // The next step comes after whatever the player posted meanwhile.
        QMetaObject::invokeMethod(
            this, [this] { step(); }, Qt::QueuedConnection);
    }

    void fail(const char* what) {
        state_.threw = true;
        state_.exception = what;
        // A decode's close runs in every case, as after a failed open.
        end(order_.decode && codec_);
    }

    // The close operation (`close`: the job's loop ran); the state is final after
    // this, with the output the job leaves.
    void end(bool close) {
        try {
            if (close) {
                if (order_.decode) {
                    codec_->CloseDecode();
                } else {
                    codec_->CloseEncode();
                }
            }
        } catch (const std::exception& e) {
            if (!state_.threw) {
                state_.threw = true;
                state_.exception = e.what();
            }
        }
        // An encode whose open was refused creates no file; a decode without audio
        // leaves its output empty.
        const bool refusedEncode = !order_.decode && state_.openCode != codec::kCodecOk;
        if (output_ && !refusedEncode && output_->size() > 0) {
            state_.output = std::move(output_);
        }
        output_.reset();
        state_.ended = true;
        publish(true);
    }

    // Progress is only stored: the engine reads it on its own timer. The open and
    // the end are signalled.
    void publish(bool signal) {
        pool_->update(id_, state_);
        if (signal) {
            emit pool_->jobChanged(id_);
        }
    }

    JobPool* pool_;
    std::unique_ptr<codec::TMP3Codec> codec_;
    std::uint64_t id_ = 0;
    JobOrder order_;
    JobState state_;
    std::unique_ptr<JobOutput> output_;
};

JobPool::JobPool(int workers, std::string programDir, QObject* parent)
    : QObject(parent), programDir_(std::move(programDir)) {
    const int count = workers < 1 ? 1 : workers;
    for (int i = 0; i < count; ++i) {
        auto* thread = new QThread;
        auto* worker = new Worker(this);
        worker->moveToThread(thread);
        thread->start();
        threads_.push_back(thread);
        workers_.push_back(worker);
    }
    busy_.assign(workers_.size(), false);
}

JobPool::~JobPool() {
    stopAll();
    waitAll();
    for (size_t i = 0; i < workers_.size(); ++i) {
        Worker* worker = workers_[i];
        QMetaObject::invokeMethod(
            worker, [worker] { worker->shutdown(); }, Qt::BlockingQueuedConnection);
        threads_[i]->quit();
        threads_[i]->wait();
        // The thread has ended: nothing delivers events to the worker any more.
        delete worker;
        delete threads_[i];
    }
}

int JobPool::running() const {
    std::lock_guard lock(mutex_);
    int count = 0;
    for (bool b : busy_) {
        count += b ? 1 : 0;
    }
    return count;
}

std::uint64_t JobPool::start(const JobOrder& order) {
    std::uint64_t id = 0;
    int index = -1;
    {
        std::lock_guard lock(mutex_);
        for (size_t i = 0; i < busy_.size(); ++i) {
            if (!busy_[i]) {
                index = static_cast<int>(i);
                break;
            }
        }
        if (index < 0) {
            return 0;
        }
        busy_[static_cast<size_t>(index)] = true;
        id = nextId_++;
        jobs_[id].worker = index;
    }
    Worker* worker = workers_[static_cast<size_t>(index)];
    QMetaObject::invokeMethod(
        worker, [worker, id, order] { worker->run(id, order); }, Qt::QueuedConnection);
    return id;
}

std::optional<JobState> JobPool::state(std::uint64_t id) const {
    std::lock_guard lock(mutex_);
    auto found = jobs_.find(id);
    if (found == jobs_.end()) {
        return std::nullopt;
    }
    return found->second.state;
}

void JobPool::stop(std::uint64_t id) {
    std::lock_guard lock(mutex_);
    auto found = jobs_.find(id);
    if (found != jobs_.end()) {
        found->second.stopRequested = true;
    }
}

void JobPool::stopAll() {
    std::lock_guard lock(mutex_);
    for (auto& [id, job] : jobs_) {
        job.stopRequested = true;
    }
}

void JobPool::waitAll() {
    std::unique_lock lock(mutex_);
    ended_.wait(lock, [this] {
        for (bool b : busy_) {
            if (b) {
                return false;
            }
        }
        return true;
    });
}

void JobPool::wait(std::uint64_t id) {
    std::unique_lock lock(mutex_);
    ended_.wait(lock, [this, id] {
        auto found = jobs_.find(id);
        return found == jobs_.end() || found->second.state.ended;
    });
}

void JobPool::forget(std::uint64_t id) {
    std::lock_guard lock(mutex_);
    auto found = jobs_.find(id);
    if (found != jobs_.end() && found->second.state.ended) {
        jobs_.erase(found);
    }
}

bool JobPool::stopRequested(std::uint64_t id) const {
    std::lock_guard lock(mutex_);
    auto found = jobs_.find(id);
    return found == jobs_.end() || found->second.stopRequested;
}

void JobPool::update(std::uint64_t id, const JobState& state) {
    {
        std::lock_guard lock(mutex_);
        Job& job = jobs_[id];
        job.state = state;
        if (state.ended && job.worker >= 0) {
            busy_[static_cast<size_t>(job.worker)] = false;
            job.worker = -1;
        }
    }
    if (state.ended) {
        ended_.notify_all();
    }
}

} // namespace app
