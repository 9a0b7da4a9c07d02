#include "sim/power/passive_worker.h"

namespace sim {

PassiveWorker::PassiveWorker() : thread_([this] { run(); }) {}

PassiveWorker::~PassiveWorker() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
    }
    thread_.join();
}

void PassiveWorker::post(std::function<void()> work) {
    std::lock_guard lock(mutex_);
    work_.push_back(std::move(work));
    changed_.notify_all();
}

bool PassiveWorker::waitIdle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return work_.empty() && !busy_; });
}

// A new thread runs at PASSIVE_LEVEL: nothing to raise or lower here.
void PassiveWorker::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !work_.empty(); });
        if (work_.empty())
            return; // stopping, and everything given has run
        std::function<void()> job = std::move(work_.front());
        work_.pop_front();
        busy_ = true;
        lock.unlock();
        job();
        lock.lock();
        busy_ = false;
        changed_.notify_all();
    }
}

} // namespace sim
