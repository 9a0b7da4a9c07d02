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

void PrintCounts(const LOOPBUS_COUNTS& c) {
    std::fwprintf(stdout,
                  L"device: present %lu, pdo %lu, configuration %lu, queued %lu bytes\n"
                  L"pnp: starts %lu, stops %lu, surprise removals %lu, removals %lu; power %lu\n"
                  L"descriptor reads: device %lu, configuration %lu\n"
                  L"select configuration %lu, unconfigure %lu\n"
                  L"bulk: in %lu (%lu bytes), out %lu (%lu bytes), with an MDL %lu\n"
                  L"vendor %lu, abort pipe %lu, reset pipe %lu, port status %lu, port reset %lu\n"
                  L"cancelled %lu, faults applied %lu, refused %lu\n",
                  c.DevicePresent, c.PdoExists, c.Configured, c.QueuedBytes, c.Starts, c.Stops,
                  c.SurpriseRemovals, c.Removals, c.PowerRequests, c.DeviceDescriptorReads,
                  c.ConfigurationDescriptorReads, c.SelectConfigurations, c.Unconfigures,
                  c.BulkInTransfers, c.BulkInBytes, c.BulkOutTransfers, c.BulkOutBytes,
                  c.MdlTransfers, c.VendorRequests, c.AbortPipes, c.ResetPipes, c.PortStatusQueries,
                  c.PortResets, c.CancelledTransfers, c.FaultsApplied, c.RefusedRequests);
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
