// Commands that set up the simulated USB bus: how the host controller completes transfers (per
// endpoint), releasing held transfers, force-pending, and the device's port.
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/bus_device.h"
#include "sim/usb/bus_driver.h"
#include "tools/wdmusb-sim/scenario/device_report.h"
#include "tools/wdmusb-sim/scenario/run.h"

namespace wdmusbsim {

namespace {

using sim::usb::CompletionMode;

const std::vector<std::string_view> kModes{"inline", "thread", "held"};

std::optional<UCHAR> endpointOf(const Step& step) {
    if (const Value* value = step.find("endpoint"))
        return static_cast<UCHAR>(value->number);
    return std::nullopt;
}

std::string endpointText(std::optional<UCHAR> endpoint) {
    return endpoint ? "endpoint 0x" + hex(*endpoint, 2) : "every endpoint";
}

void mode(StepContext& context) {
    const std::string name = context.step.word("mode");
    const auto chosen =
        static_cast<CompletionMode>(std::find(kModes.begin(), kModes.end(), name) - kModes.begin());
    const auto endpoint = endpointOf(context.step);
    auto& controller = context.run.bus().controller();
    if (endpoint)
        controller.setMode(*endpoint, chosen);
    else
        controller.setMode(chosen);
    context.run.noteModeSet(endpoint);
    context.account.detail(endpointText(endpoint), "completes " + name);
}

void release(StepContext& context) {
    const auto endpoint = endpointOf(context.step);
    const std::size_t limit = context.step.number("count", SIZE_MAX);
    const std::size_t released = context.run.bus().controller().releaseHeld(endpoint, limit);
    context.account.detail("released", std::to_string(released) + " held transfer(s) of " +
                                           endpointText(endpoint));
    if (const Value* expected = context.step.find("expect"))
        context.check(released == expected->number, "transfers released",
                      std::to_string(released) + ", expected " + expected->text);
}

void forcePending(StepContext& context) {
    const bool on = context.step.flag("on");
    context.run.bus().controller().setForcePending(on);
    context.account.detail("force-pending", on ? "every request to the bus pends" : "off");
}

void port(StepContext& context) {
    ScenarioDevice& device = context.device();
    sim::usb::BusDevice* bus = device.busDevice();
    if (bus == nullptr) {
        context.check(false, "device " + device.name, "has no port");
        return;
    }
    const bool enable = context.step.word("state") == "enable";
    bus->setPortEnabled(enable);
    context.account.detail("port " + std::to_string(bus->portNumber()),
                           enable ? "enabled" : "disabled: transfers fail until a port reset");
}

} // namespace

std::vector<CommandSpec> busCommands() {
    return {
        {.name = "mode",
         .title = "Completion mode {mode}",
         .summary = "how the host controller completes transfers: inline (inside the call), "
                    "thread (from its completion thread, the default) or held (until released)",
         .params = {{.name = "mode",
                     .type = ValueType::Choice,
                     .positional = true,
                     .required = true,
                     .choices = kModes,
                     .help = "the completion mode"},
                    endpointParam()},
         .run = mode},
        {.name = "release",
         .title = "Release held transfers",
         .summary = "lets held transfers go to the device, in the order they were submitted",
         .params = {endpointParam(),
                    {.name = "count",
                     .type = ValueType::Count,
                     .help = "release at most this many (default: all)"},
                    {.name = "expect",
                     .type = ValueType::Count,
                     .help = "how many must have been released"}},
         .run = release,
         .background = true},
        {.name = "force-pending",
         .title = "Force-pending {on}",
         .summary = "every request the bus driver receives pends and completes later from the "
                    "host controller's thread",
         .params = {{.name = "on",
                     .type = ValueType::Bool,
                     .positional = true,
                     .required = true,
                     .help = "on or off"}},
         .run = forcePending},
        {.name = "port",
         .title = "Port of {device}: {state}",
         .summary = "disables the device's port (every transfer then fails) or enables it again",
         .params = {{.name = "state",
                     .type = ValueType::Choice,
                     .positional = true,
                     .required = true,
                     .choices = {"disable", "enable"},
                     .help = "disable or enable"},
                    deviceParam()},
         .run = port},
    };
}

} // namespace wdmusbsim
