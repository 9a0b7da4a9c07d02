#include "tools/wdmusb-sim/builtin_scenario.h"

#include <cstdio>
#include <string>

#include "driver/dispatch.h"
#include "driver/extension.h"
#include "public/wdmusb.h"
#include "sim/core/system.h"
#include "sim/io/io_manager.h"
#include "sim/memory/pool.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/bus_driver.h"
#include "sim/util/status_names.h"

namespace wdmusbsim {

namespace {

std::string narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text)
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

std::string hex(unsigned value, int digits) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%0*X", digits, value);
    return buffer;
}

void describeConfiguration(Account& account, PDEVICE_EXTENSION ext) {
    if (const PUSB_DEVICE_DESCRIPTOR device = ext->DeviceDescriptor)
        account.detail("device descriptor: VID " + hex(device->idVendor, 4) + " PID " +
                       hex(device->idProduct, 4) + ", USB " + hex(device->bcdUSB, 4) + ", " +
                       std::to_string(device->bNumConfigurations) + " configuration(s)");
    if (const PUSB_CONFIGURATION_DESCRIPTOR config = ext->ConfigurationDescriptor)
        account.detail("configuration descriptor: " + std::to_string(config->wTotalLength) +
                       " bytes, " + std::to_string(config->bNumInterfaces) + " interface(s)");
    if (const PUSBD_INTERFACE_INFORMATION info = ext->InterfaceInformation) {
        for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
            const USBD_PIPE_INFORMATION& pipe = info->Pipes[i];
            account.detail("pipe " + std::to_string(i) + ": endpoint 0x" +
                           hex(pipe.EndpointAddress, 2) +
                           (pipe.EndpointAddress & USB_ENDPOINT_DIRECTION_MASK ? " IN " : " OUT") +
                           ", max packet " + std::to_string(pipe.MaximumPacketSize) +
                           ", max transfer " + std::to_string(pipe.MaximumTransferSize));
        }
    }
}

// The driver's part, step by step, on one device.
void walkDeviceLife(Account& account, sim::System& system, sim::usb::BusDriver& bus,
                    PDRIVER_OBJECT driver) {
    sim::PnpManager& pnp = system.pnp();

    account.step("Plug the loopback device in; the Plug and Play manager adds the driver");
    sim::DeviceNode& node = pnp.plug(bus, driver);
    account.status("AddDevice", node.addStatus);
    if (!NT_SUCCESS(node.addStatus))
        return;
    PDEVICE_OBJECT fdo = system.io().topOfStack(node.pdo);
    PDEVICE_EXTENSION ext = GetExtension(fdo);
    const auto interfaces = pnp.interfaces().enabled(GUID_DEVINTERFACE_WDMUSB);
    account.check(interfaces.size() == 1, "device interface registered and enabled");
    if (!interfaces.empty())
        account.detail("interface: " + narrow(interfaces.front().link));
    account.detail("idle device power state: D" +
                   std::to_string(static_cast<int>(ext->IdleDevicePowerState) - 1));

    account.step("Start the device: descriptors read, configuration selected");
    account.status("IRP_MN_START_DEVICE", pnp.start(node));
    account.check(IsAcceptingRequests(fdo) != FALSE, "driver accepts requests");
    describeConfiguration(account, ext);

    account.step("Rebalance: query-stop, stop, start again");
    const sim::StopResult stop = pnp.stop(node);
    account.status("IRP_MN_QUERY_STOP_DEVICE", stop.queryStatus);
    account.status("IRP_MN_STOP_DEVICE", stop.stopStatus);
    account.status("IRP_MN_START_DEVICE", stop.startStatus);
    account.check(stop.outcome == sim::StopOutcome::Restarted && IsAcceptingRequests(fdo),
                  "restarted and accepting requests");

    account.step("Query-remove, then cancel-remove");
    account.status("IRP_MN_QUERY_REMOVE_DEVICE", pnp.queryRemove(node));
    account.check(!IsAcceptingRequests(fdo), "requests refused while removal is pending");
    account.status("IRP_MN_CANCEL_REMOVE_DEVICE", pnp.cancelRemove(node));
    account.check(IsAcceptingRequests(fdo) != FALSE, "accepting requests again");

    account.step("Surprise removal: the device is pulled out");
    account.status("IRP_MN_SURPRISE_REMOVAL", pnp.surpriseRemove(node));
    account.check(!IsAcceptingRequests(fdo), "requests refused");

    account.step("Removal: the driver lets go of everything and deletes its device object");
    account.status("IRP_MN_REMOVE_DEVICE", pnp.removeDevice(node));
    account.check(pnp.interfaces().enabled(GUID_DEVINTERFACE_WDMUSB).empty(),
                  "device interface disabled");
}

} // namespace

int runBuiltinScenario(Account& account) {
    sim::System system;
    system.verifier().setQuiet(false);

    account.step("Load the driver (DriverEntry)");
    NTSTATUS entry = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = system.io().loadDriver("wdmusb", DriverEntry, &entry);
    account.status("DriverEntry", entry);
    {
        sim::usb::BusDriver bus;
        walkDeviceLife(account, system, bus, driver);
    }

    account.step("Unload the driver and check what is left");
    system.io().unloadDriver(driver);
    system.checkLeaks();
    account.check(system.pool().liveCount() == 0,
                  "pool clean (" + std::to_string(system.pool().liveCount()) + " blocks left)");
    const auto findings = system.verifier().findings();
    account.check(findings.empty(),
                  "no verifier finding (" + std::to_string(findings.size()) + " found)");
    return account.failures();
}

} // namespace wdmusbsim
