// Fault injection: allocations of the simulated platform failing (by count, by kind, at random
// from a seed), scripted URB faults of a device (a failure with chosen statuses, a short
// transfer, a transfer that never completes, a refusal to cancel, the port disabled), and a
// device refusing the system's sleep.
#include "sim/core/system.h"
#include "sim/faults/fault_injector.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/bus_device.h"
#include "sim/usb/power_answers.h"
#include "sim/util/status_names.h"
#include "sim/util/usb_names.h"
#include "tools/wdmusb-sim/scenario/device_report.h"
#include "tools/wdmusb-sim/scenario/run.h"

namespace wdmusbsim {

namespace {

using sim::usb::FaultAction;
using sim::usb::UrbFault;

std::vector<std::string_view> allocKinds() {
    std::vector<std::string_view> kinds;
    kinds.reserve(sim::kAllocKindCount);
    for (int i = 0; i < sim::kAllocKindCount; ++i)
        kinds.push_back(sim::allocKindName(static_cast<sim::AllocKind>(i)));
    return kinds;
}

sim::AllocKind kindOf(const Step& step) {
    const auto kinds = allocKinds();
    const std::string name = step.word("kind");
    return static_cast<sim::AllocKind>(std::find(kinds.begin(), kinds.end(), name) - kinds.begin());
}

ParamSpec kindParam(bool required) {
    return {.name = "kind",
            .type = ValueType::Choice,
            .required = required,
            .choices = allocKinds(),
            .help = required ? "the kind of allocation" : "only allocations of this kind count"};
}

void allocNth(StepContext& context) {
    const std::uint64_t nth = context.step.number("nth");
    sim::FaultInjector& faults = context.run.system().faults();
    if (context.step.has("kind"))
        faults.failNthOfKind(kindOf(context.step), nth);
    else
        faults.failNth(nth);
    context.account.detail(
        "fails once",
        "allocation " + std::to_string(nth) + " from now" +
            (context.step.has("kind") ? " of kind " + context.step.word("kind") : std::string()));
}

void allocAll(StepContext& context) {
    context.run.system().faults().failAllOfKind(kindOf(context.step));
    context.account.detail("fails", "every " + context.step.word("kind") +
                                        " allocation, until `fault clear`");
}

void allocRandom(StepContext& context) {
    const auto seed = static_cast<std::uint32_t>(context.step.number("seed", context.run.seed()));
    const auto perMille = static_cast<unsigned>(context.step.number("per-mille"));
    context.run.system().faults().failRandomly(seed, perMille);
    context.account.detail("fails at random", std::to_string(perMille) +
                                                  " allocations in 1000, seed " +
                                                  std::to_string(seed));
}

const std::vector<std::string_view> kActions{"fail", "short", "never", "refuse-cancel",
                                             "disable-port"};

UrbFault urbFaultOf(const Step& step) {
    UrbFault fault;
    if (step.has("function"))
        fault.function = static_cast<USHORT>(step.number("function"));
    if (step.has("endpoint"))
        fault.endpointAddress = static_cast<UCHAR>(step.number("endpoint"));
    fault.ordinal = static_cast<unsigned>(step.number("nth", 1));
    fault.times = static_cast<unsigned>(step.number("times", 1));
    const std::string action = step.word("action", "fail");
    fault.action = static_cast<FaultAction>(std::find(kActions.begin(), kActions.end(), action) -
                                            kActions.begin());
    fault.usbStatus = static_cast<USBD_STATUS>(
        step.number("usb", static_cast<std::uint32_t>(USBD_STATUS_STALL_PID)));
    fault.irpStatus = static_cast<NTSTATUS>(step.number("irp", STATUS_UNSUCCESSFUL));
    fault.bytes = static_cast<ULONG>(step.number("bytes"));
    return fault;
}

std::string describeUrbFault(const Step& step, const UrbFault& fault) {
    std::string what = fault.function ? sim::urbFunctionName(*fault.function) : "any URB";
    if (fault.endpointAddress)
        what += " on endpoint 0x" + hex(*fault.endpointAddress, 2);
    what += ", number " + std::to_string(fault.ordinal) + " from now";
    if (fault.times > 1)
        what += " and the " + std::to_string(fault.times - 1) + " after it";
    const std::string action = step.word("action", "fail");
    if (action == "fail")
        return what + ": fails with " + sim::statusName(fault.irpStatus) + " / " +
               sim::usbdStatusName(fault.usbStatus);
    if (action == "short")
        return what + ": moves at most " + std::to_string(fault.bytes) + " bytes";
    return what + ": " + action;
}

// The step's device on the bus; null (and a failed check) when it is not there.
sim::usb::BusDevice* busOf(StepContext& context) {
    ScenarioDevice& device = context.device();
    sim::usb::BusDevice* bus = device.busDevice();
    if (bus == nullptr)
        context.check(false, "device " + device.name, "is not on the bus");
    return bus;
}

void urb(StepContext& context) {
    sim::usb::BusDevice* bus = busOf(context);
    if (bus == nullptr)
        return;
    const UrbFault fault = urbFaultOf(context.step);
    bus->faults().add(fault);
    context.account.detail("URB fault", describeUrbFault(context.step, fault));
}

// The device's bus driver refuses the system's query for a sleeping state: the whole stack
// vetoes the sleep, and the system stays working.
void vetoSleep(StepContext& context) {
    sim::usb::BusDevice* bus = busOf(context);
    if (bus == nullptr)
        return;
    const std::optional<SYSTEM_POWER_STATE> state = sleepStateOf(context.step);
    const std::string which = state ? context.step.word("state") : "any sleeping state";
    sim::usb::PowerAnswer answer = sim::usb::PowerAnswer::querySystem(state).failWith(
        static_cast<NTSTATUS>(context.step.number("status", STATUS_UNSUCCESSFUL)));
    answer.times = static_cast<unsigned>(context.step.number("times", 1));
    bus->powerAnswers().add(answer);
    context.account.detail(
        "refuses", "the query for " + which + " with " + sim::statusName(answer.status) + ", " +
                       (answer.times == 0 ? std::string("every time")
                                          : std::to_string(answer.times) + " time(s)"));
}

void clear(StepContext& context) {
    context.run.system().faults().reset();
    for (sim::DeviceNode* node : context.run.system().pnp().nodes())
        if (node->busDevice != nullptr) {
            node->busDevice->faults().clear();
            node->busDevice->powerAnswers().clear();
        }
    context.account.detail("faults", "none: every allocation, URB and power query goes through");
}

} // namespace

std::vector<CommandSpec> faultCommands() {
    const ParamSpec nth{.name = "nth",
                        .type = ValueType::Count,
                        .required = true,
                        .help = "which one from now fails (1: the next)"};
    return {{
        .name = "fault",
        .summary = "makes allocations or URBs fail",
        .subcommands =
            {
                {.name = "alloc",
                 .title = "Fault: one allocation fails",
                 .summary = "the nth allocation from now (of a kind, if given) fails, once",
                 .params = {nth, kindParam(false)},
                 .run = allocNth},
                {.name = "alloc-all",
                 .title = "Fault: every {kind} allocation fails",
                 .summary = "every allocation of a kind fails until `fault clear`",
                 .params = {kindParam(true)},
                 .run = allocAll},
                {.name = "alloc-random",
                 .title = "Fault: allocations fail at random",
                 .summary = "each allocation fails with a probability, drawn from a seed (the "
                            "run's --seed by default), until `fault clear`",
                 .params = {{.name = "per-mille",
                             .type = ValueType::Count,
                             .required = true,
                             .help = "how many allocations in 1000 fail"},
                            {.name = "seed",
                             .type = ValueType::Count,
                             .help = "the seed (default: the run's)"}},
                 .run = allocRandom},
                {.name = "urb",
                 .title = "Fault: a URB of {device} goes wrong",
                 .summary = "a chosen URB of the device fails, ends short, never completes, "
                            "refuses cancellation or disables the port",
                 .params = {{.name = "function",
                             .type = ValueType::UrbFunction,
                             .help = "the URB function (default: any)"},
                            endpointParam("the endpoint address, 0 for the default pipe "
                                          "(default: any)"),
                            {.name = "nth",
                             .type = ValueType::Count,
                             .help = "the nth matching URB from now (default 1)"},
                            {.name = "times",
                             .type = ValueType::Count,
                             .help = "how many matching URBs in a row (default 1)"},
                            {.name = "action",
                             .type = ValueType::Choice,
                             .choices = kActions,
                             .help = "what goes wrong (default fail)"},
                            {.name = "irp",
                             .type = ValueType::Status,
                             .help = "fail: the IRP's status (default STATUS_UNSUCCESSFUL)"},
                            {.name = "usb",
                             .type = ValueType::UsbdStatus,
                             .help = "fail: the URB's status (default USBD_STATUS_STALL_PID)"},
                            {.name = "bytes",
                             .type = ValueType::Count,
                             .help = "short: the bytes moved at most"},
                            deviceParam()},
                 .run = urb},
                {.name = "veto-sleep",
                 .title = "Fault: {device} refuses to sleep",
                 .summary = "the device's bus driver refuses the system's query for a sleeping "
                            "state, which vetoes the sleep",
                 .params = {sleepStateParam(false, "the state refused (default: any)"),
                            {.name = "status",
                             .type = ValueType::Status,
                             .help = "the refusal's status (default STATUS_UNSUCCESSFUL)"},
                            {.name = "times",
                             .type = ValueType::Count,
                             .help = "how many queries in a row, 0 for every one (default 1)"},
                            deviceParam()},
                 .run = vetoSleep},
                {.name = "clear",
                 .title = "Faults cleared",
                 .summary = "no allocation, URB or power query fails any more",
                 .run = clear},
            },
    }};
}

} // namespace wdmusbsim
