// Commands of system power: a sleep (queried, then set, on every device stack) and the wake
// back to working, the device signalling wake, and the check of a device's power state.
#include <chrono>
#include <thread>

#include "driver/extension.h"
#include "sim/core/system.h"
#include "sim/io/io_manager.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/power/power_manager.h"
#include "sim/usb/bus_device.h"
#include "sim/util/status_names.h"
#include "tools/wdmusb-sim/scenario/device_turn.h"
#include "tools/wdmusb-sim/scenario/run.h"

namespace wdmusbsim {

namespace {

const std::vector<std::string_view> kSleepStates{"S1", "S2", "S3", "S4"};
const std::vector<std::string_view> kDeviceStates{"D0", "D1", "D2", "D3"};

void sleep(StepContext& context) {
    const sim::SystemTransition transition = context.run.system().power().setSystemState(
        sleepStateOf(context.step).value_or(PowerSystemSleeping3));
    context.account.detail("sent to", std::to_string(transition.stacks) + " device stack(s)");
    const std::string expected = context.step.word("expect", "slept");
    const std::string actual = transition.vetoed ? "vetoed" : "slept";
    std::string text = actual;
    if (transition.vetoed)
        text += " by " + context.run.system().io().describeDevice(transition.vetoedBy) + " (" +
                sim::statusName(transition.vetoStatus) + ")";
    context.check(actual == expected, "system",
                  text + (actual == expected ? "" : ", expected " + expected));
}

void wake(StepContext& context) {
    const sim::SystemTransition transition =
        context.run.system().power().setSystemState(PowerSystemWorking);
    context.account.detail("sent to", std::to_string(transition.stacks) + " device stack(s)");
}

// The platform's power manager sends the stack a wait-wake request, as it does for a device
// whose wake is enabled; the bus holds it until the device signals wake.
void armWake(StepContext& context) {
    DeviceTurn turn(context);
    if (turn.node() == nullptr)
        return;
    ScenarioDevice& device = turn.device();
    device.wake = context.run.system().power().sendWaitWake(turn.node()->pdo);
    // The driver refuses at once when the device cannot wake from where it is (D0).
    if (device.wake->wait(std::chrono::milliseconds(100)))
        context.status("wait-wake", device.wake->status());
    else
        context.account.detail("wait-wake", "pending on the bus");
}

void signalWake(StepContext& context) {
    ScenarioDevice& device = context.device();
    sim::usb::BusDevice* bus = device.busDevice();
    if (bus == nullptr) {
        context.check(false, "device " + device.name, "is not on the bus");
        return;
    }
    const bool pending = bus->signalWake();
    context.check(pending, "wait-wake of " + device.name,
                  pending ? "signalled" : "none pending on the bus");
    if (pending && device.wake != nullptr) {
        if (device.wake->wait(std::chrono::milliseconds(2000)))
            context.status("wait-wake", device.wake->status());
        else
            context.check(false, "wait-wake", "not back from the driver within 2 s");
        device.wake = nullptr;
    }
}

// Both sides of a device's power state: what the bus has it in, and what the driver believes;
// waited for (power IRPs are delivered from the power manager's thread) until both are `expected`.
void expectPower(StepContext& context) {
    DeviceTurn turn(context);
    if (turn.node() == nullptr)
        return;
    ScenarioDevice& device = turn.device();
    const std::string expected = context.step.word("state");
    const auto name = [](DEVICE_POWER_STATE state) {
        return "D" + std::to_string(static_cast<int>(state) - PowerDeviceD0);
    };
    PDEVICE_OBJECT fdo = context.run.fdoOf(device);
    sim::usb::BusDevice* bus = device.busDevice();
    const auto read = [&] {
        std::string text = "bus " + (bus != nullptr ? name(bus->devicePowerState()) : "-");
        text +=
            ", driver " + (fdo != nullptr ? name(GetExtension(fdo)->CurrentDevicePowerState) : "-");
        return text;
    };
    const std::string wanted = "bus " + expected + ", driver " + expected;
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(context.step.number("within", 2000));
    std::string actual = read();
    while (actual != wanted && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        actual = read();
    }
    context.check(actual == wanted, "power of " + device.name,
                  actual + (actual == wanted ? "" : ", expected " + expected));
}

} // namespace

ParamSpec sleepStateParam(bool positional, std::string_view help) {
    return {.name = "state",
            .type = ValueType::Choice,
            .positional = positional,
            .choices = kSleepStates,
            .help = help};
}

std::optional<SYSTEM_POWER_STATE> sleepStateOf(const Step& step) {
    if (!step.has("state"))
        return std::nullopt;
    const std::string name = step.word("state");
    const auto index =
        std::find(kSleepStates.begin(), kSleepStates.end(), name) - kSleepStates.begin();
    return static_cast<SYSTEM_POWER_STATE>(PowerSystemSleeping1 + index); // S4: hibernate
}

CommandSpec expectPowerCommand() {
    return {.name = "power",
            .summary = "the device's power state, as the bus has it and as the driver believes "
                       "it, waited for until both are that",
            .params = {{.name = "state",
                        .type = ValueType::Choice,
                        .positional = true,
                        .required = true,
                        .choices = kDeviceStates,
                        .help = "D0 (working) to D3 (off)"},
                       deviceParam(),
                       {.name = "within",
                        .type = ValueType::Milliseconds,
                        .help = "how long to wait for it (default 2s)"}},
            .run = expectPower};
}

std::vector<CommandSpec> powerCommands() {
    return {
        {.name = "sleep",
         .title = "System sleep {state}",
         .summary = "the system goes to sleep: every device stack is queried, then set to the "
                    "sleeping state (a refusal vetoes it and the system stays working)",
         .params = {sleepStateParam(true, "S1..S3 (sleep) or S4 (hibernate); default S3"),
                    {.name = "expect",
                     .type = ValueType::Choice,
                     .choices = {"slept", "vetoed"},
                     .help = "what must happen (default slept)"}},
         .run = sleep},
        {.name = "wake",
         .title = "System wake",
         .summary = "the system returns to working: every device stack is set to S0",
         .run = wake},
        {.name = "arm-wake",
         .title = "Wait-wake to {device}",
         .summary = "the power manager sends the device's stack a wait-wake request; the driver "
                    "arms the device when it is in a state it can wake from, else refuses",
         .params = {deviceParam(), expectStatusParam("the status when the driver refuses it")},
         .run = armWake},
        {.name = "signal-wake",
         .title = "{device} signals wake",
         .summary = "the device signals remote wake-up: the wait-wake request pending on the bus "
                    "completes, and comes back through the driver",
         .params = {deviceParam(), expectStatusParam("the wait-wake request's status")},
         .run = signalWake,
         .background = true},
    };
}

} // namespace wdmusbsim
