// URB_FUNCTION_SELECT_CONFIGURATION: SET_CONFIGURATION on the device and new pipe handles.
//
// The URB carries, after its fixed part, interface records one after another, each of its own
// Length with NumberOfPipes pipe records. The bus reads records while a whole record header fits
// in Hdr.Length and the next record's Length is not 0 (unused, zero-filled space ends the list);
// every record must name a distinct interface of the configuration, give exactly as many pipes as
// that interface has endpoints, and lie inside Hdr.Length. Interfaces without a record are left
// unconfigured. The endpoints come from the device's own configuration descriptor with the
// caller's bConfigurationValue; the caller's copy is read no further than its 9-byte header.
// Endpoints the host controller cannot schedule at the device's speed fail the select
// (sim/usb/endpoint_schedule.h), as on a real bus, and leave the earlier configuration in place.
#include <memory>
#include <vector>

#include "sim/usb/bus_device.h"
#include "sim/usb/descriptor_walk.h"
#include "sim/usb/endpoint_schedule.h"
#include "sim/usb/host_controller.h"
#include "sim/usb/pdo_dispatch.h"

namespace sim::usb {

namespace {

constexpr std::size_t kRecordHeaderBytes = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
constexpr std::size_t kFirstRecordOffset = offsetof(_URB_SELECT_CONFIGURATION, Interface);
constexpr UCHAR kMaxConfigurations = 8;
constexpr ULONG kMaxPipesPerInterface = 32; // USB 2.0, 9.6.5: 15 IN + 15 OUT endpoints at most

struct Selection {
    PUSBD_INTERFACE_INFORMATION record;
    const ParsedInterface* descriptor;
};

std::optional<ParsedConfiguration> deviceConfiguration(BusDevice& device, UCHAR value) {
    std::lock_guard lock(device.modelMutex());
    const auto d = device.model().deviceDescriptor();
    const UCHAR count = d.size() >= sizeof(USB_DEVICE_DESCRIPTOR) ? d[17] : 1;
    for (UCHAR index = 0; index < std::min(count, kMaxConfigurations); ++index) {
        const auto bytes = device.model().configurationDescriptor(index);
        auto parsed = parseConfiguration(bytes);
        if (parsed && parsed->value == value)
            return parsed;
    }
    return std::nullopt;
}

// The records of the URB, each matched with its interface; empty when any is malformed.
std::optional<std::vector<Selection>> readRecords(URB& urb, const ParsedConfiguration& config) {
    auto* base = reinterpret_cast<std::uint8_t*>(&urb);
    const std::size_t end = urb.UrbHeader.Length;
    std::vector<Selection> records;
    for (std::size_t offset = kFirstRecordOffset; end - offset >= kRecordHeaderBytes;) {
        auto* record = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(base + offset);
        if (record->Length == 0 && !records.empty())
            break;
        if (record->NumberOfPipes > kMaxPipesPerInterface ||
            record->Length <
                kRecordHeaderBytes + record->NumberOfPipes * sizeof(USBD_PIPE_INFORMATION) ||
            record->Length > end - offset)
            return std::nullopt;
        const ParsedInterface* i = config.find(record->InterfaceNumber, record->AlternateSetting);
        if (i == nullptr || record->NumberOfPipes != i->declaredEndpoints ||
            i->endpoints.size() < i->declaredEndpoints)
            return std::nullopt;
        for (const auto& earlier : records)
            if (earlier.descriptor->number == i->number)
                return std::nullopt;
        records.push_back(Selection{record, i});
        offset += record->Length;
    }
    if (records.empty())
        return std::nullopt;
    return records;
}

std::vector<const ParsedInterface*> chosenInterfaces(const std::vector<Selection>& records) {
    std::vector<const ParsedInterface*> chosen;
    chosen.reserve(records.size());
    for (const auto& s : records)
        chosen.push_back(s.descriptor);
    return chosen;
}

UsbSpeed speedOf(BusDevice& device) {
    std::lock_guard lock(device.modelMutex());
    return device.model().speed();
}

void fillRecord(Selection& s, SelectedInterface& selected) {
    USBD_INTERFACE_INFORMATION& r = *s.record;
    r.Class = s.descriptor->interfaceClass;
    r.SubClass = s.descriptor->subClass;
    r.Protocol = s.descriptor->protocol;
    r.InterfaceHandle = &selected;
    PUSBD_PIPE_INFORMATION pipes = r.Pipes; // NumberOfPipes records follow
    for (ULONG p = 0; p < r.NumberOfPipes; ++p) {
        const Pipe& pipe = *selected.pipes[p];
        pipes[p].MaximumPacketSize = pipe.maxPacketSize;
        pipes[p].EndpointAddress = pipe.endpointAddress;
        pipes[p].Interval = pipe.interval;
        pipes[p].PipeType = pipe.type;
        pipes[p].PipeHandle = const_cast<Pipe*>(&pipe);
    }
}

std::unique_ptr<SelectedInterface> selectedFrom(const ParsedInterface& i) {
    auto selected = std::make_unique<SelectedInterface>();
    selected->number = i.number;
    selected->alternate = i.alternate;
    for (UCHAR e = 0; e < i.declaredEndpoints; ++e) {
        const ParsedEndpoint& ep = i.endpoints[e];
        auto pipe = std::make_unique<Pipe>();
        pipe->endpointAddress = ep.address;
        pipe->type = static_cast<USBD_PIPE_TYPE>(ep.attributes & USB_ENDPOINT_TYPE_MASK);
        pipe->maxPacketSize = ep.maxPacketSize;
        pipe->interval = ep.interval;
        selected->pipes.push_back(std::move(pipe));
    }
    return selected;
}

// The old configuration's pipes close: their transfers end with STATUS_CANCELLED.
void closePipes(BusDevice& device) {
    device.controller().flush(
        device, [](const Transfer& t) { return t.pipe != nullptr; }, STATUS_CANCELLED,
        USBD_STATUS_CANCELED);
}

void tellModel(BusDevice& device, UCHAR value) {
    std::lock_guard lock(device.modelMutex());
    device.model().configurationChanged(value);
}

} // namespace

UrbResult selectConfiguration(BusDevice& device, URB& urb, const std::optional<UrbFault>& fault) {
    if (fault && fault->action == FaultAction::Fail)
        return UrbResult{fault->irpStatus, fault->usbStatus};
    if (auto failure = portFailure(device))
        return *failure;
    auto& select = urb.UrbSelectConfiguration;
    if (select.ConfigurationDescriptor == nullptr) {
        closePipes(device);
        device.install(nullptr);
        tellModel(device, 0);
        return UrbResult{};
    }
    if (!insidePoolBlock(select.ConfigurationDescriptor, sizeof(USB_CONFIGURATION_DESCRIPTOR),
                         "the select-configuration URB's configuration descriptor"))
        return UrbResult::usb(USBD_STATUS_INVALID_PARAMETER);
    const UCHAR value = select.ConfigurationDescriptor->bConfigurationValue;
    const auto config = deviceConfiguration(device, value);
    if (!config)
        return UrbResult::usb(USBD_STATUS_INVALID_PARAMETER);
    auto records = readRecords(urb, *config);
    if (!records)
        return UrbResult::usb(USBD_STATUS_INVALID_PARAMETER);
    if (auto refusal = scheduleRefusal(chosenInterfaces(*records), speedOf(device)))
        return UrbResult::usb(refusal->status); // the earlier configuration stays

    closePipes(device);
    auto fresh = std::make_unique<Configuration>();
    fresh->value = value;
    for (const auto& s : *records)
        fresh->interfaces.push_back(selectedFrom(*s.descriptor));
    Configuration* installed = device.install(std::move(fresh));
    for (std::size_t i = 0; i < records->size(); ++i)
        fillRecord((*records)[i], *installed->interfaces[i]);
    select.ConfigurationHandle = installed;
    tellModel(device, value);
    return UrbResult{};
}

} // namespace sim::usb
