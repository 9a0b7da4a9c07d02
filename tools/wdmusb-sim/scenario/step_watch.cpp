#include "tools/wdmusb-sim/scenario/step_watch.h"

#include "sim/usb/host_controller.h"

namespace wdmusbsim {

StepWatch::StepWatch(Account& account, sim::usb::HostController& controller,
                     std::chrono::milliseconds hangLimit)
    : account_(account), controller_(controller), hangLimit_(hangLimit),
      thread_([this] { watch(); }) {}

StepWatch::~StepWatch() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void StepWatch::begin(int line) {
    {
        std::lock_guard lock(mutex_);
        line_ = line;
        ++generation_;
    }
    changed_.notify_all();
}

void StepWatch::end() {
    begin(0);
}

void StepWatch::watch() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        changed_.wait(lock, [&] { return stopping_ || line_ != 0; });
        const std::uint64_t generation = generation_;
        const int line = line_;
        const auto moved = [&] { return stopping_ || generation_ != generation; };
        if (stopping_ || changed_.wait_for(lock, kPatience, moved))
            continue;
        std::string why;
        if (const std::size_t held = controller_.heldCount(); held > 0)
            why = "waits for " + std::to_string(held) +
                  " transfer(s) held in the host controller, and nothing will release them: run "
                  "it in the background (as=NAME), then `release` and `wait NAME`";
        else if (changed_.wait_for(lock, hangLimit_ / 2 - kPatience, moved))
            continue;
        else
            why = "is still waiting";
        lock.unlock();
        account_.hint("the step on line " + std::to_string(line) + " " + why +
                      ". The run stops when a wait reaches " +
                      std::to_string(hangLimit_.count() / 1000) + " s.");
        lock.lock();
        changed_.wait(lock, moved);
    }
}

} // namespace wdmusbsim
