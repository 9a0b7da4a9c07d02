#include "tools/wdmusb-sim/trace/irp_trace.h"

#include <cxxabi.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>

#include "sim/core/system.h"
#include "sim/image/loaded_image.h"
#include "sim/io/io_manager.h"
#include "sim/memory/pool.h"
#include "sim/usb/bus_driver.h"
#include "sim/util/irp_names.h"
#include "sim/util/status_names.h"
#include "sim/util/usb_names.h"

namespace wdmusbsim {

namespace {

// "driver/forward.cpp:18": where, without the function (the trace is wide enough as it is).
std::string where(const SimCallSite& site) {
    const std::string full = sim::describe(site);
    return full.substr(0, full.find(" ("));
}

// "FDO#3": a device the IRP is at now (alive).
std::string deviceLabel(PDEVICE_OBJECT device) {
    const sim::DeviceRecord* record =
        device != nullptr ? sim::current().io().record(device) : nullptr;
    if (record == nullptr || record->deleted)
        return "?";
    const std::string role = sim::usb::BusDriver::deviceOf(device) != nullptr ? "PDO" : "FDO";
    return role + "#" + std::to_string(record->id);
}

std::string locationText(const sim::IrpEvent& event) {
    return "[" + std::to_string(event.location) + "/" + std::to_string(event.stackCount) + "]";
}

// The URB a location carries, if it is a live pool block of the driver's; else null.
const URB* urbAt(const IO_STACK_LOCATION& stack) {
    if (stack.MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL ||
        stack.Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB)
        return nullptr;
    const auto* urb = static_cast<const URB*>(stack.Parameters.Others.Argument1);
    if (urb == nullptr || !sim::current().pool().blockContaining(urb, sizeof(_URB_HEADER)))
        return nullptr;
    return urb;
}

// "IRP_MJ_PNP IRP_MN_START_DEVICE", "IRP_MJ_INTERNAL_DEVICE_CONTROL
// IOCTL_INTERNAL_USB_SUBMIT_URB URB_FUNCTION_SELECT_CONFIGURATION".
std::string carried(const sim::IrpEvent& event) {
    std::string text = sim::majorName(event.major);
    if (const std::string minor = sim::minorName(event.major, event.minor); !minor.empty())
        text += " " + minor;
    const IO_STACK_LOCATION& stack = *event.irp->Tail.Overlay.CurrentStackLocation;
    if (event.major == IRP_MJ_INTERNAL_DEVICE_CONTROL || event.major == IRP_MJ_DEVICE_CONTROL)
        text += " " + sim::controlCodeName(stack.Parameters.DeviceIoControl.IoControlCode);
    if (const URB* urb = urbAt(stack))
        text += " " + sim::urbFunctionName(urb->UrbHeader.Function);
    return text;
}

std::string completedText(const sim::IrpEvent& event) {
    std::string text = "completed at " + locationText(event) + " " + deviceLabel(event.device) +
                       ": " + sim::statusName(event.status) + ", information " +
                       std::to_string(event.information);
    if (event.location <= event.stackCount) {
        const IO_STACK_LOCATION& stack = *event.irp->Tail.Overlay.CurrentStackLocation;
        if (const URB* urb = urbAt(stack))
            text += ", URB " + sim::usbdStatusName(urb->UrbHeader.Status);
    }
    return text + " (" + where(event.site) + ")";
}

} // namespace

std::string routineName(PIO_COMPLETION_ROUTINE routine) {
    Dl_info info{};
    const auto address = reinterpret_cast<void*>(routine);
    if (dladdr(address, &info) != 0 && info.dli_sname != nullptr && info.dli_saddr == address) {
        int status = 0;
        std::unique_ptr<char, decltype(&std::free)> plain(
            abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status), &std::free);
        std::string name = status == 0 && plain ? plain.get() : info.dli_sname;
        return name.substr(0, name.find('('));
    }
    // A routine of a loaded kernel image: named from its link map ("wdmusb.sys!Routine+0x0").
    if (sim::image::imageHolding(reinterpret_cast<std::uintptr_t>(address)) != nullptr)
        return sim::image::describeAddress(reinterpret_cast<std::uintptr_t>(address));
    char text[32];
    std::snprintf(text, sizeof text, "routine %p", address);
    return text;
}

std::string IrpTrace::deviceAt(const sim::IrpEvent& event) {
    const auto key = std::make_pair(event.id, event.location);
    if (event.kind == sim::IrpEvent::Kind::Sent) {
        // Asked of the I/O manager before our lock is taken: the I/O manager may call us with
        // its own lock held, so ours is always the inner one.
        std::string label = deviceLabel(event.device);
        std::lock_guard lock(mutex_);
        // IRP numbers only grow: the oldest go first (dispatch routines return in minutes at most).
        if (devices_.size() > kIrpsKept * 2)
            devices_.erase(devices_.begin());
        devices_[key] = label;
        return label;
    }
    std::lock_guard lock(mutex_);
    auto it = devices_.find(key);
    return it != devices_.end() ? it->second : "?";
}

std::string IrpTrace::describe(const sim::IrpEvent& event) {
    using Kind = sim::IrpEvent::Kind;
    std::string irp = "IRP #" + std::to_string(event.id) + " ";
    switch (event.kind) {
    case Kind::Allocated:
        return irp + "allocated with " + std::to_string(event.stackCount) + " location(s) (" +
               where(event.site) + ")";
    case Kind::Sent:
        return irp + "-> " + locationText(event) + " " + deviceAt(event) + " " + carried(event) +
               " (" + where(event.site) + ")";
    case Kind::DispatchReturned:
        return irp + "<- " + locationText(event) + " " + deviceAt(event) + " dispatch returned " +
               sim::statusName(event.status);
    case Kind::Completed:
        return irp + completedText(event);
    case Kind::CompletionRoutine:
        return irp + "completion routine " + routineName(event.routine) + " of " +
               (event.location > event.stackCount ? std::string("the IRP's owner")
                                                  : locationText(event) + " " + deviceAt(event)) +
               " returned " + sim::statusName(event.status);
    case Kind::Cancelled:
        return irp + "cancelled (" + where(event.site) + ")";
    case Kind::Finished:
        return irp + "finished: " + sim::statusName(event.status) + ", information " +
               std::to_string(event.information);
    case Kind::Freed:
        return irp + "freed (" + where(event.site) + ")";
    }
    return irp;
}

void IrpTrace::onIrpEvent(const sim::IrpEvent& event) {
    const std::string line = describe(event);
    keep(event.id, line);
    account_.trace(line);
}

void IrpTrace::keep(std::uint64_t id, const std::string& line) {
    std::lock_guard lock(mutex_);
    auto& lines = lines_[id];
    lines.push_back(line);
    if (lines.size() > kLinesPerIrp)
        lines.pop_front();
    if (lines_.size() > kIrpsKept)
        lines_.erase(lines_.begin());
}

std::vector<std::string> IrpTrace::history(std::uint64_t id) const {
    std::lock_guard lock(mutex_);
    auto it = lines_.find(id);
    return it == lines_.end() ? std::vector<std::string>{}
                              : std::vector<std::string>(it->second.begin(), it->second.end());
}

void IrpTrace::printHistories(std::string_view message, Account& account) const {
    std::set<std::uint64_t> printed;
    constexpr std::string_view kMark = "IRP #";
    for (std::size_t at = message.find(kMark); at != std::string_view::npos;
         at = message.find(kMark, at + 1)) {
        const std::uint64_t id =
            std::strtoull(std::string(message.substr(at + kMark.size(), 20)).c_str(), nullptr, 10);
        if (id == 0 || !printed.insert(id).second)
            continue;
        const auto lines = history(id);
        account.context("history of IRP #" + std::to_string(id) +
                        " as traced:" + (lines.empty() ? " nothing" : ""));
        for (const auto& line : lines)
            account.context("  " + line);
    }
}

} // namespace wdmusbsim
