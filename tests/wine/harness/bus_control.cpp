// The test bus's controls, sent to its control device (loopbus/loopbus_control.h).
#include "tests/wine/harness/harness.h"

#include <winioctl.h>

#include <cstdio>

#include "loopbus/loopbus_control.h"

namespace harness {

namespace {

class ControlDevice {
public:
    ControlDevice()
        : handle_(CreateFileW(LOOPBUS_CONTROL_USER_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr)) {}
    ~ControlDevice() {
        if (handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
    }
    ControlDevice(const ControlDevice&) = delete;
    ControlDevice& operator=(const ControlDevice&) = delete;

    bool open() const { return handle_ != INVALID_HANDLE_VALUE; }
    bool send(DWORD code, const void* in, DWORD inBytes, void* out, DWORD outBytes) const {
        DWORD returned = 0;
        return DeviceIoControl(handle_, code, const_cast<void*>(in), inBytes, out, outBytes,
                               &returned, nullptr) != FALSE;
    }

private:
    HANDLE handle_;
};

// One "name value" line per count, for people and scripts alike.
void PrintCounts(const LOOPBUS_COUNTS& c) {
    const struct {
        const wchar_t* name;
        ULONG value;
    } lines[] = {
        {L"device_present", c.DevicePresent},
        {L"pdo_exists", c.PdoExists},
        {L"configuration", c.Configured},
        {L"queued_bytes", c.QueuedBytes},
        {L"starts", c.Starts},
        {L"stops", c.Stops},
        {L"surprise_removals", c.SurpriseRemovals},
        {L"removals", c.Removals},
        {L"power_requests", c.PowerRequests},
        {L"device_descriptor_reads", c.DeviceDescriptorReads},
        {L"configuration_descriptor_reads", c.ConfigurationDescriptorReads},
        {L"select_configurations", c.SelectConfigurations},
        {L"unconfigures", c.Unconfigures},
        {L"bulk_in_transfers", c.BulkInTransfers},
        {L"bulk_in_bytes", c.BulkInBytes},
        {L"bulk_out_transfers", c.BulkOutTransfers},
        {L"bulk_out_bytes", c.BulkOutBytes},
        {L"mdl_transfers", c.MdlTransfers},
        {L"vendor_requests", c.VendorRequests},
        {L"abort_pipes", c.AbortPipes},
        {L"reset_pipes", c.ResetPipes},
        {L"port_status_queries", c.PortStatusQueries},
        {L"port_resets", c.PortResets},
        {L"cancelled_transfers", c.CancelledTransfers},
        {L"faults_applied", c.FaultsApplied},
        {L"refused_requests", c.RefusedRequests},
    };
    for (const auto& line : lines)
        std::fwprintf(stdout, L"%ls %lu\n", line.name, line.value);
}

bool ParseFault(const Arguments& args, LOOPBUS_FAULT* fault) {
    if (args.size() != 4)
        return false;
    const std::wstring& kind = args[1];
    if (kind == L"none")
        fault->Kind = LoopbusFaultNone;
    else if (kind == L"fail")
        fault->Kind = LoopbusFaultFail;
    else if (kind == L"short")
        fault->Kind = LoopbusFaultShort;
    else if (kind == L"corrupt")
        fault->Kind = LoopbusFaultCorrupt;
    else
        return false;
    if (args[2] != L"in" && args[2] != L"out")
        return false;
    fault->In = args[2] == L"in";
    fault->Bytes = static_cast<ULONG>(_wtoi(args[3].c_str()));
    return true;
}

} // namespace

int ControlBus(const Arguments& args) {
    if (args.empty())
        return Fail(L"bus needs a command", ERROR_INVALID_PARAMETER);
    ControlDevice bus;
    if (!bus.open())
        return Fail(L"opening the bus's control device", GetLastError());
    const std::wstring& command = args[0];
    if (command == L"counts") {
        LOOPBUS_COUNTS counts = {};
        if (!bus.send(IOCTL_LOOPBUS_GET_COUNTS, nullptr, 0, &counts, sizeof(counts)))
            return Fail(L"reading the bus's counts", GetLastError());
        PrintCounts(counts);
        return 0;
    }
    DWORD code = 0;
    LOOPBUS_FAULT fault = {};
    const void* input = nullptr;
    DWORD inputBytes = 0;
    if (command == L"unplug") {
        code = IOCTL_LOOPBUS_UNPLUG;
    } else if (command == L"plug") {
        code = IOCTL_LOOPBUS_PLUG;
    } else if (command == L"disable-port") {
        code = IOCTL_LOOPBUS_DISABLE_PORT;
    } else if (command == L"fault" && ParseFault(args, &fault)) {
        code = IOCTL_LOOPBUS_SET_FAULT;
        input = &fault;
        inputBytes = sizeof(fault);
    } else {
        return Fail(L"unknown bus command " + command, ERROR_INVALID_PARAMETER);
    }
    if (!bus.send(code, input, inputBytes, nullptr, 0))
        return Fail(L"bus " + command, GetLastError());
    std::fwprintf(stdout, L"bus %ls: done\n", command.c_str());
    return 0;
}

} // namespace harness
