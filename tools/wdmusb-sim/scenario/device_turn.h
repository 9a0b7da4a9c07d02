// A step's turn at its device: the Plug and Play manager sends a device one request at a time,
// so a step on a device that a step in the background is busy with waits until that one ends.
// Steps that read the device's state take a turn too, so they never read it half-changed.
#pragma once

#include "tools/wdmusb-sim/scenario/run.h"

namespace wdmusbsim {

class DeviceTurn {
public:
    explicit DeviceTurn(StepContext& context) : DeviceTurn(context, context.device()) {}
    // Fails the step's check when the device was never plugged in or its turn never comes
    // (within the run's hang limit).
    DeviceTurn(StepContext& context, ScenarioDevice& device) : device_(device) {
        claimed_ = device_.takeTurn(context.run.hangLimit());
        if (!claimed_)
            context.check(false, "device " + device_.name,
                          "still busy with a step in the background");
        else if (device_.node() == nullptr)
            context.check(false, "device " + device_.name, "never plugged in");
    }
    ~DeviceTurn() {
        if (claimed_)
            device_.giveTurn();
    }
    DeviceTurn(const DeviceTurn&) = delete;
    DeviceTurn& operator=(const DeviceTurn&) = delete;

    // The device's node while the turn is held; null when the step cannot go on.
    sim::DeviceNode* node() const { return claimed_ ? device_.node() : nullptr; }
    ScenarioDevice& device() const { return device_; }

private:
    ScenarioDevice& device_;
    bool claimed_ = false;
};

} // namespace wdmusbsim
