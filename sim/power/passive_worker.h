// A thread of the power manager that runs work at PASSIVE_LEVEL in the order it was given: the
// deliveries of power IRPs to drivers that must be called at PASSIVE_LEVEL.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace sim {

class PassiveWorker {
public:
    PassiveWorker();
    ~PassiveWorker(); // runs what is still queued, then stops
    PassiveWorker(const PassiveWorker&) = delete;
    PassiveWorker& operator=(const PassiveWorker&) = delete;

    void post(std::function<void()> work);
    // Waits until nothing is queued or running; false after `timeout`.
    bool waitIdle(std::chrono::milliseconds timeout);

private:
    void run();

    std::mutex mutex_; // guards everything below
    std::condition_variable changed_;
    std::deque<std::function<void()>> work_;
    bool busy_ = false;
    bool stopping_ = false;
    std::thread thread_; // last: started once the rest exists
};

} // namespace sim
