// The USB driver interface's configuration-request library (usbdlib.h).
//
// Both routines read a configuration descriptor set the driver holds, and both must survive one
// a device made up: they never read outside the set and never loop. The set's extent is taken from
// its wTotalLength; the routines cannot know the true size of the driver's buffer, so they assume
// it holds wTotalLength bytes, as the platform does. Where the buffer is a block of the simulated
// pool, the simulator knows better and reads no further than the block's end either.
#include <algorithm>
#include <cstring>

#include "platform/host/host_platform.h"
#include "sim/core/system.h"
#include "sim/memory/pool.h"
#include "sim/usb/descriptor_walk.h"

namespace {

using sim::usb::descriptorAt;

// The bytes of the set that may be read: wTotalLength, cut to the pool block holding it. Empty
// when not even the configuration descriptor itself is readable.
std::span<const std::uint8_t> readableSet(PUSB_CONFIGURATION_DESCRIPTOR config) {
    if (config == nullptr)
        return {};
    const auto* first = reinterpret_cast<const std::uint8_t*>(config);
    std::size_t known = SIZE_MAX;
    if (auto block = sim::current().pool().blockContaining(first))
        known = static_cast<const std::uint8_t*>(block->address) + block->size - first;
    if (known < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return {};
    const std::size_t total = std::min<std::size_t>(config->wTotalLength, known);
    return {first, total};
}

bool matches(LONG criterion, UCHAR value) {
    return criterion == -1 || criterion == value;
}

} // namespace

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
    const auto set = readableSet(ConfigurationDescriptor);
    const auto* start = static_cast<const std::uint8_t*>(StartPosition);
    if (set.empty() || start < set.data() || start >= set.data() + set.size())
        return nullptr;
    for (auto offset = static_cast<std::size_t>(start - set.data());;) {
        auto d = descriptorAt(set, offset);
        if (!d)
            return nullptr;
        if ((*d)[1] == USB_INTERFACE_DESCRIPTOR_TYPE &&
            d->size() >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            auto* found =
                reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(const_cast<std::uint8_t*>(d->data()));
            if (matches(InterfaceNumber, found->bInterfaceNumber) &&
                matches(AlternateSetting, found->bAlternateSetting) &&
                matches(InterfaceClass, found->bInterfaceClass) &&
                matches(InterfaceSubClass, found->bInterfaceSubClass) &&
                matches(InterfaceProtocol, found->bInterfaceProtocol))
                return found;
        }
        offset += d->size();
    }
}

// A select-configuration URB for the first interface of the set: one interface record with
// Length, InterfaceNumber, AlternateSetting and NumberOfPipes (its bNumEndpoints), each pipe record
// with the default maximum transfer size. A set without an interface gets a record with no pipes,
// which the bus refuses. Zero-filled otherwise; the driver frees it with ExFreePool.
PURB NTAPI USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                           PUSHORT Siz, SimCallSite Caller) {
    auto& system = sim::current();
    if (system.faults().shouldFail(sim::AllocKind::ConfigurationRequest, Caller))
        return nullptr;
    const PUSB_INTERFACE_DESCRIPTOR first = USBD_ParseConfigurationDescriptorEx(
        ConfigurationDescriptor, ConfigurationDescriptor, -1, -1, -1, -1, -1);
    const ULONG pipes = first != nullptr ? first->bNumEndpoints : 0;
    const std::size_t interfaceBytes = offsetof(USBD_INTERFACE_INFORMATION, Pipes) +
                                       std::max<ULONG>(pipes, 1) * sizeof(USBD_PIPE_INFORMATION);
    const std::size_t urbBytes =
        std::max(offsetof(_URB_SELECT_CONFIGURATION, Interface) + interfaceBytes,
                 sizeof(_URB_SELECT_CONFIGURATION));

    auto* urb =
        static_cast<PURB>(system.pool().allocate(urbBytes, sim::Pool::kPlatformTag, Caller));
    std::memset(urb, 0, urbBytes);
    auto& select = urb->UrbSelectConfiguration;
    select.Hdr.Length = static_cast<USHORT>(urbBytes);
    select.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    select.ConfigurationDescriptor = ConfigurationDescriptor;
    select.Interface.Length = static_cast<USHORT>(offsetof(USBD_INTERFACE_INFORMATION, Pipes) +
                                                  pipes * sizeof(USBD_PIPE_INFORMATION));
    if (first != nullptr) {
        select.Interface.InterfaceNumber = first->bInterfaceNumber;
        select.Interface.AlternateSetting = first->bAlternateSetting;
    }
    select.Interface.NumberOfPipes = pipes;
    PUSBD_PIPE_INFORMATION pipe = select.Interface.Pipes; // NumberOfPipes records follow
    for (ULONG i = 0; i < pipes; ++i)
        pipe[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    if (Siz != nullptr)
        *Siz = static_cast<USHORT>(urbBytes);
    return urb;
}
