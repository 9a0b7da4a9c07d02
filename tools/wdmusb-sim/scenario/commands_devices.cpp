// Commands that plug devices in and send them Plug and Play requests: plug, start, rebalance,
// the single requests of stop and removal, removal, surprise removal.
#include "driver/extension.h"
#include "public/wdmusb.h"
#include "sim/core/system.h"
#include "sim/io/io_manager.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/bus_driver.h"
#include "sim/usb/descriptor_device.h"
#include "sim/usb/loopback_device.h"
#include "sim/util/status_names.h"
#include "tools/wdmusb-sim/scenario/device_report.h"
#include "tools/wdmusb-sim/scenario/device_turn.h"
#include "tools/wdmusb-sim/scenario/run.h"

namespace wdmusbsim {

namespace {

using sim::DeviceNodeState;

std::string stateText(DeviceNodeState state) {
    std::string text = sim::stateName(state);
    for (char& c : text)
        if (c == ' ')
            c = '-';
    return text;
}

// The node's state and the driver's flags after a request.
void describeAfter(StepContext& context, const ScenarioDevice& device) {
    std::string text = stateText(device.node()->state);
    if (PDEVICE_OBJECT fdo = context.run.fdoOf(device))
        text += "; driver: " + describeFlags(GetExtension(fdo), IsAcceptingRequests(fdo) != FALSE);
    context.account.detail("state now", text);
}

std::shared_ptr<sim::usb::DeviceModel> makeModel(const Step& step, std::string& description) {
    const Value* device = step.find("descriptor");
    const Value* configuration = step.find("configuration");
    if (device == nullptr && configuration == nullptr) {
        description = "loopback device " + hex(sim::usb::LoopbackDevice::kVendorId, 4) + ":" +
                      hex(sim::usb::LoopbackDevice::kProductId, 4);
        return std::make_shared<sim::usb::LoopbackDevice>();
    }
    auto deviceBytes = device ? device->bytes : sim::usb::LoopbackDevice::defaultDeviceDescriptor();
    auto configurationBytes = configuration
                                  ? configuration->bytes
                                  : sim::usb::LoopbackDevice::defaultConfigurationDescriptor();
    description = "device built from descriptors (" + std::to_string(deviceBytes.size()) + " + " +
                  std::to_string(configurationBytes.size()) + " bytes)";
    return std::make_shared<sim::usb::DescriptorDevice>(std::move(deviceBytes),
                                                        std::move(configurationBytes));
}

// A device of the same name comes back: a new PDO for one that left the bus, AddDevice again on
// the PDO of one whose driver was removed. Null when it is still there.
sim::DeviceNode* plugAgain(StepContext& context, ScenarioDevice& device) {
    sim::PnpManager& pnp = context.run.system().pnp();
    const DeviceNodeState state = device.node()->state;
    if (state == DeviceNodeState::Deleted) {
        context.account.detail("plugged in again", "a new PDO on a new port");
        return &pnp.plug(context.run.bus(), context.run.driver(), device.makeModel());
    }
    if (state == DeviceNodeState::Removed || state == DeviceNodeState::AddFailed) {
        context.account.detail("added again", "AddDevice on the same PDO");
        return &pnp.add(context.run.driver(), device.node()->pdo);
    }
    context.check(false, "device " + device.name,
                  "still present (" + stateText(state) + "): remove it first");
    return nullptr;
}

void plug(StepContext& context) {
    Run& run = context.run;
    const std::string name = context.step.word("name");
    ScenarioDevice* device = run.findDevice(name);
    sim::DeviceNode* node = nullptr;
    if (device != nullptr && device->node() != nullptr) {
        DeviceTurn turn(context, *device);
        if (turn.node() == nullptr)
            return;
        node = plugAgain(context, *device);
        if (node != nullptr)
            device->setNode(node);
    } else {
        device = &run.addDevice(name);
        std::string description;
        auto model = makeModel(context.step, description);
        device->description = description;
        device->makeModel = [step = &context.step] {
            std::string unused;
            return makeModel(*step, unused);
        };
        node = &run.system().pnp().plug(run.bus(), run.driver(), std::move(model));
        device->setNode(node);
    }
    if (node == nullptr)
        return;
    context.account.detail("device", device->description);
    context.status("AddDevice", node->addStatus);
    for (const auto& i : run.system().pnp().interfaces().all())
        if (i.pdo == node->pdo && i.interfaceClass == GUID_DEVINTERFACE_WDMUSB)
            context.account.detail("interface", narrow(i.link) + (i.enabled ? "" : " (disabled)"));
}

void start(StepContext& context) {
    DeviceTurn turn(context);
    if (turn.node() == nullptr)
        return;
    const NTSTATUS status = context.run.system().pnp().start(*turn.node());
    context.status("IRP_MN_START_DEVICE", status);
    PDEVICE_OBJECT fdo = context.run.fdoOf(turn.device());
    if (fdo != nullptr && NT_SUCCESS(status)) {
        describeConfiguration(context.account, GetExtension(fdo));
        context.check(IsAcceptingRequests(fdo) != FALSE, "driver accepts requests");
    } else {
        describeAfter(context, turn.device());
    }
}

// How a compound step ended, against its expect= ("any" takes whatever happened).
void checkOutcome(StepContext& context, std::string_view label, std::string_view outcome,
                  std::string_view fallback) {
    const std::string expected = context.step.word("expect", fallback);
    const bool ok = outcome == expected || expected == "any";
    context.check(ok, label, std::string(outcome) + (ok ? "" : ", expected " + expected));
}

// In the order of sim::StopOutcome; "any" checks nothing (random faults).
const std::vector<std::string_view> kStopOutcomes{"restarted",   "refused",     "restart-failed",
                                                  "stop-failed", "not-started", "any"};

void rebalance(StepContext& context) {
    DeviceTurn turn(context);
    if (turn.node() == nullptr)
        return;
    const sim::StopResult r = context.run.system().pnp().stop(*turn.node());
    Account& a = context.account;
    if (r.outcome != sim::StopOutcome::NotStarted)
        a.detail("IRP_MN_QUERY_STOP_DEVICE", sim::statusName(r.queryStatus));
    if (r.outcome == sim::StopOutcome::Refused)
        a.detail("IRP_MN_CANCEL_STOP_DEVICE", sim::statusName(r.cancelStatus));
    if (r.outcome == sim::StopOutcome::Restarted || r.outcome == sim::StopOutcome::StopFailed ||
        r.outcome == sim::StopOutcome::RestartFailed)
        a.detail("IRP_MN_STOP_DEVICE", sim::statusName(r.stopStatus));
    if (r.outcome == sim::StopOutcome::Restarted || r.outcome == sim::StopOutcome::RestartFailed)
        a.detail("IRP_MN_START_DEVICE", sim::statusName(r.startStatus));
    if (r.outcome == sim::StopOutcome::RestartFailed)
        a.detail("IRP_MN_REMOVE_DEVICE", sim::statusName(r.removeStatus));
    checkOutcome(context, "rebalance", kStopOutcomes[static_cast<std::size_t>(r.outcome)],
                 "restarted");
    describeAfter(context, turn.device());
}

// One Plug and Play request on its own, its status checked.
void sendOne(StepContext& context, const char* minor,
             NTSTATUS (sim::PnpManager::*send)(sim::DeviceNode&)) {
    DeviceTurn turn(context);
    if (turn.node() == nullptr)
        return;
    context.status(minor, (context.run.system().pnp().*send)(*turn.node()));
    describeAfter(context, turn.device());
}

// The device leaves the bus at once, whatever step is busy with it; the Plug and Play manager
// learns of it when the device's turn comes.
void surpriseRemove(StepContext& context) {
    ScenarioDevice& device = context.device();
    if (sim::usb::BusDevice* bus = device.busDevice())
        bus->unplug();
    DeviceTurn turn(context, device);
    if (turn.node() == nullptr)
        return;
    const DeviceNodeState before = turn.node()->state;
    const bool neverStarted =
        before == DeviceNodeState::Added || before == DeviceNodeState::StartFailed;
    context.status(neverStarted ? "IRP_MN_REMOVE_DEVICE (never started)"
                                : "IRP_MN_SURPRISE_REMOVAL",
                   context.run.system().pnp().surpriseRemove(*turn.node()));
    describeAfter(context, device);
}

// In the order of sim::RemoveOutcome; "any" checks nothing.
const std::vector<std::string_view> kRemoveOutcomes{"removed", "refused", "not-added", "any"};

void remove(StepContext& context) {
    DeviceTurn turn(context);
    if (turn.node() == nullptr)
        return;
    const bool gone = turn.node()->state == DeviceNodeState::SurpriseRemoved;
    const sim::RemoveResult r = context.run.system().pnp().remove(*turn.node());
    Account& a = context.account;
    if (r.outcome != sim::RemoveOutcome::NotAdded && !gone)
        a.detail("IRP_MN_QUERY_REMOVE_DEVICE", sim::statusName(r.queryStatus));
    if (r.outcome == sim::RemoveOutcome::Refused)
        a.detail("IRP_MN_CANCEL_REMOVE_DEVICE", sim::statusName(r.cancelStatus));
    if (r.outcome == sim::RemoveOutcome::Removed)
        a.detail("IRP_MN_REMOVE_DEVICE", sim::statusName(r.removeStatus));
    checkOutcome(context, "removal", kRemoveOutcomes[static_cast<std::size_t>(r.outcome)],
                 "removed");
    describeAfter(context, turn.device());
}

ParamSpec outcomeParam(const std::vector<std::string_view>& outcomes, std::string_view help) {
    return {.name = "expect", .type = ValueType::Choice, .choices = outcomes, .help = help};
}

CommandSpec single(std::string_view name, std::string_view title, std::string_view summary,
                   StepHandler run) {
    return {.name = name,
            .title = title,
            .summary = summary,
            .params = {deviceParam(), expectStatusParam()},
            .run = run,
            .background = true};
}

} // namespace

std::vector<CommandSpec> deviceCommands() {
    return {
        {.name = "plug",
         .title = "Plug in {name}",
         .summary = "plugs a device into the bus (the loopback device, or one built from "
                    "descriptor bytes) and adds the driver; a device that left plugs in again",
         .params = {{.name = "name",
                     .type = ValueType::Name,
                     .positional = true,
                     .required = true,
                     .help = "the device's name in the scenario",
                     .defines = "device"},
                    {.name = "descriptor",
                     .type = ValueType::Bytes,
                     .help = "its device descriptor (default: the loopback device's)"},
                    {.name = "configuration",
                     .type = ValueType::Bytes,
                     .help = "its configuration descriptor with interfaces and endpoints "
                             "(default: the loopback device's)"},
                    expectStatusParam("the status AddDevice must return (default "
                                      "STATUS_SUCCESS)")},
         .run = plug},
        single("start", "Start {device}: descriptors read, configuration selected",
               "sends IRP_MN_START_DEVICE and shows what the driver read and selected", start),
        {.name = "rebalance",
         .title = "Rebalance {device}: query-stop, stop, start again",
         .summary = "resources rebalanced: query-stop, then stop and start (or cancel-stop when "
                    "refused)",
         .params = {deviceParam(),
                    outcomeParam(kStopOutcomes, "how it must end (default restarted)")},
         .run = rebalance,
         .background = true},
        single("query-stop", "Query-stop {device}", "sends IRP_MN_QUERY_STOP_DEVICE",
               [](StepContext& c) {
                   sendOne(c, "IRP_MN_QUERY_STOP_DEVICE", &sim::PnpManager::queryStop);
               }),
        single("cancel-stop", "Cancel-stop {device}", "sends IRP_MN_CANCEL_STOP_DEVICE",
               [](StepContext& c) {
                   sendOne(c, "IRP_MN_CANCEL_STOP_DEVICE", &sim::PnpManager::cancelStop);
               }),
        single(
            "stop-device", "Stop {device}", "sends IRP_MN_STOP_DEVICE (after query-stop)",
            [](StepContext& c) { sendOne(c, "IRP_MN_STOP_DEVICE", &sim::PnpManager::stopDevice); }),
        single("query-remove", "Query-remove {device}", "sends IRP_MN_QUERY_REMOVE_DEVICE",
               [](StepContext& c) {
                   sendOne(c, "IRP_MN_QUERY_REMOVE_DEVICE", &sim::PnpManager::queryRemove);
               }),
        single("cancel-remove", "Cancel-remove {device}", "sends IRP_MN_CANCEL_REMOVE_DEVICE",
               [](StepContext& c) {
                   sendOne(c, "IRP_MN_CANCEL_REMOVE_DEVICE", &sim::PnpManager::cancelRemove);
               }),
        single("remove-device", "Remove {device}: IRP_MN_REMOVE_DEVICE",
               "sends IRP_MN_REMOVE_DEVICE alone (after query-remove or surprise removal)",
               [](StepContext& c) {
                   sendOne(c, "IRP_MN_REMOVE_DEVICE", &sim::PnpManager::removeDevice);
               }),
        {.name = "remove",
         .title = "Remove {device}: the driver lets go and deletes its device object",
         .summary = "removal by request: query-remove then removal (only the removal after a "
                    "surprise removal); cancel-remove when refused",
         .params = {deviceParam(),
                    outcomeParam(kRemoveOutcomes, "how it must end (default removed)")},
         .run = remove,
         .background = true},
        single("surprise-remove", "Surprise removal of {device}: it is pulled out",
               "unplugs the device at once (transfers in flight fail), then sends "
               "IRP_MN_SURPRISE_REMOVAL when the device's turn comes (a device that never "
               "started is removed instead)",
               surpriseRemove),
    };
}

} // namespace wdmusbsim
