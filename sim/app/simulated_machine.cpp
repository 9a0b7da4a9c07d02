#include "sim/app/simulated_machine.h"

#include "sim/app/process.h"
#include "sim/image/driver_image.h"
#include "sim/io/io_manager.h"

namespace sim::app {

SimulatedMachine::SimulatedMachine(PDRIVER_INITIALIZE driverEntry, SystemOptions options)
    : system_(options), bus_(std::make_unique<usb::BusDriver>()) {
    driver_ =
        system_.io().loadDriver("function driver", image::driverEntry(driverEntry), &entryStatus_);
}

SimulatedMachine::~SimulatedMachine() {
    finish();
}

DeviceNode& SimulatedMachine::plugDevice(std::shared_ptr<usb::DeviceModel> model) {
    DeviceNode& node = system_.pnp().plug(*bus_, driver_, std::move(model));
    if (NT_SUCCESS(node.addStatus))
        system_.pnp().start(node);
    return node;
}

std::vector<Finding> SimulatedMachine::finish() {
    if (finished_)
        return {};
    finished_ = true;
    system_.process().exit();
    PnpManager& pnp = system_.pnp();
    for (DeviceNode* node : pnp.nodes()) {
        if (system_.io().topOfStack(node->pdo) == node->pdo)
            continue; // no function driver above it
        if (node->state == DeviceNodeState::SurpriseRemoved)
            pnp.removeDevice(*node);
        else
            pnp.remove(*node);
    }
    system_.io().unloadDriver(driver_);
    bus_.reset();
    system_.checkLeaks();
    return system_.verifier().takeAll();
}

} // namespace sim::app
