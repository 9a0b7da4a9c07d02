// Watches the step running in the foreground: a step that waits on transfers held in the host
// controller, with nothing left to release them, would wait until the hang limit stops the run.
// The watch says so while it waits, so the user learns why and what to write instead.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "tools/wdmusb-sim/output/account.h"

namespace sim::usb {
class HostController;
}

namespace wdmusbsim {

class StepWatch {
public:
    static constexpr std::chrono::milliseconds kPatience{1500};

    StepWatch(Account& account, sim::usb::HostController& controller,
              std::chrono::milliseconds hangLimit);
    ~StepWatch();
    StepWatch(const StepWatch&) = delete;
    StepWatch& operator=(const StepWatch&) = delete;

    void begin(int line);
    void end();

private:
    void watch();

    Account& account_;
    sim::usb::HostController& controller_;
    std::chrono::milliseconds hangLimit_;
    std::mutex mutex_; // guards everything below
    std::condition_variable changed_;
    bool stopping_ = false;
    int line_ = 0; // the step running; 0 when none
    std::uint64_t generation_ = 0;
    std::thread thread_;
};

} // namespace wdmusbsim
