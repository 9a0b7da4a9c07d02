// Expectations: checks of what the driver and the simulated system are in now. Each prints one
// checked line under the step before it; a failed one names its scenario line in the verdict.
#include <chrono>
#include <thread>

#include "driver/extension.h"
#include "driver/pool.h"
#include "driver/shared_flag.h"
#include "public/wdmusb.h"
#include "sim/core/system.h"
#include "sim/memory/pool.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/bus_driver.h"
#include "sim/usb/urb_recorder.h"
#include "sim/util/usb_names.h"
#include "tools/wdmusb-sim/scenario/device_report.h"
#include "tools/wdmusb-sim/scenario/device_turn.h"
#include "tools/wdmusb-sim/scenario/run.h"

namespace wdmusbsim {

namespace {

std::vector<std::string_view> stateNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> all;
        for (int i = 0; i <= static_cast<int>(sim::DeviceNodeState::Deleted); ++i) {
            std::string name = sim::stateName(static_cast<sim::DeviceNodeState>(i));
            std::replace(name.begin(), name.end(), ' ', '-');
            all.push_back(name);
        }
        return all;
    }();
    return {names.begin(), names.end()};
}

std::vector<std::string_view> ruleNames() {
    std::vector<std::string_view> names;
    for (int i = 0;; ++i) {
        const std::string_view name = sim::ruleName(static_cast<sim::Rule>(i));
        if (name == "unknown-rule")
            return names;
        names.push_back(name);
    }
}

std::string yesNo(bool value) {
    return value ? "yes" : "no";
}

void expectState(StepContext& context) {
    DeviceTurn turn(context);
    if (turn.node() == nullptr)
        return;
    ScenarioDevice& device = turn.device();
    const std::string expected = context.step.word("state");
    std::string actual = sim::stateName(turn.node()->state);
    std::replace(actual.begin(), actual.end(), ' ', '-');
    context.check(actual == expected, "state of " + device.name,
                  actual + (actual == expected ? "" : ", expected " + expected));
}

void expectFlags(StepContext& context) {
    DeviceTurn turn(context);
    if (turn.node() == nullptr)
        return;
    ScenarioDevice& device = turn.device();
    PDEVICE_OBJECT fdo = context.run.fdoOf(device);
    if (fdo == nullptr) {
        context.check(false, "flags of " + device.name, "the driver has no device object there");
        return;
    }
    const PDEVICE_EXTENSION ext = GetExtension(fdo);
    const std::pair<std::string_view, bool> flags[] = {
        {"started", ReadShared(ext->Started) != FALSE},
        {"stop-pending", ReadShared(ext->StopPending) != FALSE},
        {"remove-pending", ReadShared(ext->RemovePending) != FALSE},
        {"removed", ReadShared(ext->Removed) != FALSE},
        {"accepting", IsAcceptingRequests(fdo) != FALSE},
    };
    bool any = false;
    for (const auto& [name, actual] : flags) {
        const Value* wanted = context.step.find(name);
        if (wanted == nullptr)
            continue;
        any = true;
        const bool expected = wanted->number != 0;
        context.check(actual == expected, std::string(name) + " (" + device.name + ")",
                      yesNo(actual) + (actual == expected ? "" : ", expected " + yesNo(expected)));
    }
    if (!any)
        context.check(false, "expect flags", "names no flag to check");
}

void expectInterface(StepContext& context) {
    DeviceTurn turn(context);
    if (turn.node() == nullptr)
        return;
    ScenarioDevice& device = turn.device();
    const bool enabled =
        !context.run.system().pnp().interfaces().enabledFor(turn.node()->pdo).empty();
    const bool expected = context.step.word("state") == "enabled";
    const auto text = [](bool on) { return std::string(on ? "enabled" : "disabled"); };
    context.check(enabled == expected, "interface of " + device.name,
                  text(enabled) + (enabled == expected ? "" : ", expected " + text(expected)));
}

void expectPool(StepContext& context) {
    const std::size_t blocks = context.run.system().pool().liveCount(WDMUSB_POOL_TAG);
    const std::uint64_t expected = context.step.number("blocks", 0);
    context.check(blocks == expected, "driver's pool blocks",
                  std::to_string(blocks) +
                      (blocks == expected ? "" : ", expected " + std::to_string(expected)));
}

void expectFindings(StepContext& context) {
    context.run.reportNewFindings(context.account);
    const std::size_t count = context.run.system().verifier().findings().size();
    const std::uint64_t expected = context.step.number("count", 0);
    context.check(count == expected, "verifier findings",
                  std::to_string(count) +
                      (count == expected ? "" : ", expected " + std::to_string(expected)));
}

void expectFinding(StepContext& context) {
    const std::string rule = context.step.word("rule");
    const auto names = ruleNames();
    const auto index = std::find(names.begin(), names.end(), rule) - names.begin();
    const std::size_t taken =
        context.run.takeFindings(static_cast<sim::Rule>(index), context.account);
    const bool exact = context.step.has("count");
    const bool ok = exact ? taken == context.step.number("count") : taken > 0;
    context.check(ok, "finding " + rule,
                  std::to_string(taken) + " taken" +
                      (ok      ? ""
                       : exact ? ", expected " + context.step.word("count", "")
                               : ", expected some"));
}

void expectInFlight(StepContext& context) {
    std::optional<UCHAR> endpoint;
    if (const Value* value = context.step.find("endpoint"))
        endpoint = static_cast<UCHAR>(value->number);
    const std::uint64_t expected = context.step.number("count");
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(context.step.number("within", 2000));
    auto& controller = context.run.bus().controller();
    std::size_t count = controller.inFlightCount(endpoint);
    while (count != expected && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        count = controller.inFlightCount(endpoint);
    }
    context.check(count == expected,
                  "transfers in flight" + (endpoint ? " on 0x" + hex(*endpoint, 2) : ""),
                  std::to_string(count) +
                      (count == expected ? "" : ", expected " + std::to_string(expected)));
}

// "select-configuration" for URB_FUNCTION_SELECT_CONFIGURATION, as scenarios may write it.
std::string shortUrbName(USHORT function) {
    std::string name = sim::urbFunctionName(function);
    name.erase(0, std::string_view("URB_FUNCTION_").size());
    for (char& c : name)
        c = c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

void expectUrbs(StepContext& context) {
    const auto function = static_cast<USHORT>(context.step.number("function"));
    const std::size_t count = context.run.urbs().count(function);
    const std::uint64_t expected = context.step.number("count");
    context.check(count == expected, shortUrbName(function) + " URBs",
                  std::to_string(count) + " sent" +
                      (count == expected ? "" : ", expected " + std::to_string(expected)));
}

ParamSpec flag(std::string_view name, std::string_view help) {
    return {.name = name, .type = ValueType::Bool, .help = help};
}

} // namespace

std::vector<CommandSpec> expectCommands() {
    return {{
        .name = "expect",
        .summary = "checks what the driver and the system are in now",
        .subcommands =
            {
                {.name = "state",
                 .summary = "the device's Plug and Play state",
                 .params = {{.name = "state",
                             .type = ValueType::Choice,
                             .positional = true,
                             .required = true,
                             .choices = stateNames(),
                             .help = "the state"},
                            deviceParam()},
                 .run = expectState},
                {.name = "flags",
                 .summary = "the driver's flags for the device, each given yes or no",
                 .params = {flag("started", "the device is started"),
                            flag("stop-pending", "a stop is pending"),
                            flag("remove-pending", "a removal is pending"),
                            flag("removed", "the device is removed"),
                            flag("accepting", "the driver accepts new requests"), deviceParam()},
                 .run = expectFlags},
                {.name = "interface",
                 .summary = "whether the device's interface is enabled (what applications find)",
                 .params = {{.name = "state",
                             .type = ValueType::Choice,
                             .positional = true,
                             .required = true,
                             .choices = {"enabled", "disabled"},
                             .help = "enabled or disabled"},
                            deviceParam()},
                 .run = expectInterface},
                {.name = "pool",
                 .summary = "the pool blocks under the driver's tag",
                 .params = {{.name = "blocks",
                             .type = ValueType::Count,
                             .help = "how many (default 0: the pool is clean)"}},
                 .run = expectPool},
                {.name = "findings",
                 .summary = "the verifier's findings so far that no step expected",
                 .params =
                     {{.name = "count", .type = ValueType::Count, .help = "how many (default 0)"}},
                 .run = expectFindings},
                {.name = "finding",
                 .summary = "the verifier found a rule broken; its findings are taken, so they "
                            "do not fail the verdict",
                 .params = {{.name = "rule",
                             .type = ValueType::Choice,
                             .positional = true,
                             .required = true,
                             .choices = ruleNames(),
                             .help = "the rule"},
                            {.name = "count",
                             .type = ValueType::Count,
                             .help = "how many (default: at least one)"}},
                 .run = expectFinding},
                {.name = "in-flight",
                 .summary = "transfers pending in the host controller (held, waiting, stuck), "
                            "waited for until they number exactly that",
                 .params = {{.name = "count",
                             .type = ValueType::Count,
                             .positional = true,
                             .required = true,
                             .help = "how many"},
                            endpointParam(),
                            {.name = "within",
                             .type = ValueType::Milliseconds,
                             .help = "how long to wait for it (default 2s)"}},
                 .run = expectInFlight},
                {.name = "urbs",
                 .summary = "URBs of a function the bus received since the run began",
                 .params = {{.name = "function",
                             .type = ValueType::UrbFunction,
                             .positional = true,
                             .required = true,
                             .help = "the URB function"},
                            {.name = "count",
                             .type = ValueType::Count,
                             .required = true,
                             .help = "how many"}},
                 .run = expectUrbs},
                expectPowerCommand(),
            },
    }};
}

} // namespace wdmusbsim
