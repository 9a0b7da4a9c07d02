// Commands of an application: open the device's interface, read, write, the driver's control
// codes, close — through the platform's user-mode API (CreateFile, ReadFile, WriteFile,
// DeviceIoControl), as a program would. Each may run on an application thread of its own (as=).
// Requests go out overlapped and are waited for, so that each step sees the request's own status;
// with timeout= the wait is bounded, and a request still in flight then is cancelled (CancelIo,
// from the thread that sent it) and waited for again.
#include <cstring>

// The application's view of the platform first: the public header builds on it.
#include "sim/app/win32.h"

#include "public/wdmusb.h"
#include "sim/app/device_access.h"
#include "sim/app/status_errors.h"
#include "sim/core/system.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/urb_recorder.h"
#include "sim/util/status_names.h"
#include "tools/wdmusb-sim/scenario/device_report.h"
#include "tools/wdmusb-sim/scenario/run.h"
#include "tools/wdmusbctl/data.h"

namespace wdmusbsim {

namespace {

const std::vector<std::string_view> kCodes{"get-configuration-descriptor", "reset-device",
                                           "vendor-in", "vendor-out"};

ParamSpec handleParam() {
    return {.name = "handle",
            .type = ValueType::Name,
            .positional = true,
            .required = true,
            .help = "the handle, named when it was opened",
            .uses = "handle"};
}

ParamSpec bytesParam() {
    return {.name = "bytes", .type = ValueType::Count, .help = "the bytes it must have moved"};
}

ParamSpec dataParam(std::string_view help) {
    return {.name = "data", .type = ValueType::Bytes, .help = help};
}

ParamSpec timeoutParam() {
    return {.name = "timeout",
            .type = ValueType::Milliseconds,
            .help = "how long to wait before cancelling the request (CancelIo); default: no limit"};
}

// The path an application opens: the device's enabled interface, as SetupDi* report it.
std::string devicePathOf(ScenarioDevice& device) {
    const sim::DeviceNode* node = device.node();
    return node != nullptr ? sim::app::devicePath(*node) : std::string();
}

// The request's status (expect=, default STATUS_SUCCESS), the bytes it moved (bytes=) and the
// "chunks": the bulk transfers the driver sent the bus for it.
struct Outcome {
    NTSTATUS status = STATUS_SUCCESS;
    std::uint32_t moved = 0;
    std::size_t transfers = 0;
    // A request the driver failed at once reports only its Win32 error to the application.
    bool failedAtOnce = false;
    DWORD error = ERROR_SUCCESS;
    bool cancelled = false; // still in flight at the step's timeout, and cancelled
};

// The open's (or a request failed at once) Win32 error against the one the platform gives for
// the status expected.
void checkError(StepContext& context, std::string_view label, DWORD error) {
    const auto expected = static_cast<NTSTATUS>(context.step.number("expect", STATUS_SUCCESS));
    const DWORD wanted = sim::app::win32ErrorFor(expected);
    const auto text = [](DWORD e) {
        return e == ERROR_SUCCESS ? std::string("success") : "error " + std::to_string(e);
    };
    context.check(error == wanted, label,
                  text(error) + (error == wanted ? "" : ", expected " + text(wanted)) + " (" +
                      sim::statusName(expected) + ")");
}

void report(StepContext& context, const Outcome& outcome, std::string_view what,
            std::string_view moved = "bytes") {
    context.account.detail(std::string(what),
                           std::to_string(outcome.moved) + " " + std::string(moved));
    if (outcome.transfers > 0)
        context.account.detail("chunks", std::to_string(outcome.transfers) +
                                             " bulk transfer(s) sent to the bus");
    if (outcome.cancelled)
        context.account.detail("cancelled", "CancelIo after " + context.step.find("timeout")->text +
                                                ", the request then ended");
    if (outcome.failedAtOnce)
        checkError(context, "failed at once", outcome.error);
    else
        context.status("status", outcome.status);
    if (const Value* bytes = context.step.find("bytes"))
        context.check(outcome.moved == bytes->number, "bytes moved",
                      std::to_string(outcome.moved) +
                          (outcome.moved == bytes->number ? "" : ", expected " + bytes->text));
}

// Sends one request with `start` (ReadFile, WriteFile or DeviceIoControl on the record) and
// waits for it to end.
template <typename Start> Outcome request(StepContext& context, HANDLE handle, Start start) {
    const auto& urbs = context.run.urbs();
    const std::size_t before = urbs.count(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    Outcome outcome;
    DWORD moved = 0;
    if (start(&overlapped) || GetLastError() == ERROR_IO_PENDING) {
        if (context.step.has("timeout") &&
            WaitForSingleObject(overlapped.hEvent, static_cast<DWORD>(context.step.number(
                                                       "timeout"))) == WAIT_TIMEOUT) {
            CancelIo(handle);
            outcome.cancelled = true;
        }
        GetOverlappedResult(handle, &overlapped, &moved, TRUE);
        outcome.status = static_cast<NTSTATUS>(overlapped.Internal);
        outcome.moved = static_cast<std::uint32_t>(overlapped.InternalHigh);
    } else {
        outcome.failedAtOnce = true;
        outcome.error = GetLastError();
    }
    CloseHandle(overlapped.hEvent);
    outcome.transfers = urbs.count(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) - before;
    return outcome;
}

HANDLE handleOf(StepContext& context) {
    const std::string name = context.step.word("handle");
    HANDLE handle = context.run.handle(name);
    if (handle == nullptr)
        context.check(false, "handle " + name, "is not open");
    return handle;
}

void checkData(StepContext& context, std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> expected;
    if (const Value* given = context.step.find("data"))
        expected = given->bytes;
    else if (context.step.flag("pattern"))
        expected = wdmusbctl::pattern(data.size(), 0);
    else
        return;
    std::size_t total = 0;
    const auto mismatches = wdmusbctl::compare(expected, data, 1, total);
    std::string text = total == 0 ? "as expected" : std::to_string(total) + " byte(s) differ";
    if (!mismatches.empty())
        text += " (first at offset " + std::to_string(mismatches[0].offset) + ")";
    context.check(total == 0, "data", text);
}

void open(StepContext& context) {
    ScenarioDevice& device = context.device();
    const std::string name = context.step.word("handle");
    const std::string path = devicePathOf(device);
    context.account.detail("path", path.empty() ? "no interface enabled" : path);
    HANDLE handle = CreateFile(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    checkError(context, "CreateFile",
               handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS);
    if (handle != INVALID_HANDLE_VALUE)
        context.run.setHandle(name, handle);
}

void close(StepContext& context) {
    const std::string name = context.step.word("handle");
    HANDLE handle = context.run.takeHandle(name);
    if (handle == nullptr) {
        context.check(false, "handle " + name, "is not open");
        return;
    }
    context.check(CloseHandle(handle) != FALSE, "CloseHandle", "closed");
}

void read(StepContext& context) {
    HANDLE handle = handleOf(context);
    if (handle == nullptr)
        return;
    std::vector<std::uint8_t> buffer(context.step.number("length"));
    const Outcome outcome = request(context, handle, [&](LPOVERLAPPED overlapped) {
        return ReadFile(handle, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr,
                        overlapped);
    });
    report(context, outcome, "read");
    buffer.resize(std::min<std::size_t>(outcome.moved, buffer.size()));
    checkData(context, buffer);
}

void write(StepContext& context) {
    HANDLE handle = handleOf(context);
    if (handle == nullptr)
        return;
    const Value* data = context.step.find("data");
    const std::vector<std::uint8_t> bytes =
        data != nullptr ? data->bytes : wdmusbctl::pattern(context.step.number("length"), 0);
    const Outcome outcome = request(context, handle, [&](LPOVERLAPPED overlapped) {
        return WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr,
                         overlapped);
    });
    report(context, outcome, "written");
}

// A vendor request's record and its data, in the application's own memory.
Outcome vendor(StepContext& context, HANDLE handle, bool in) {
    const Value* data = context.step.find("data");
    const std::size_t length = context.step.has("length") ? context.step.number("length")
                                                          : (data ? data->bytes.size() : 0);
    void* memory = length > 0
                       ? VirtualAlloc(nullptr, length, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)
                       : nullptr;
    if (!in && memory != nullptr) {
        const auto bytes = data != nullptr ? data->bytes : wdmusbctl::pattern(length, 0);
        std::memcpy(memory, bytes.data(), std::min(length, bytes.size()));
    }
    VENDOR_REQUEST record{};
    record.RequestType = in ? 0xC0 : 0x40;
    record.Request = static_cast<UCHAR>(context.step.number("request"));
    record.Value = static_cast<USHORT>(context.step.number("value"));
    record.Index = static_cast<USHORT>(context.step.number("index"));
    record.Length = static_cast<USHORT>(length);
    record.Buffer = static_cast<ULONG>(reinterpret_cast<std::uintptr_t>(memory));
    const Outcome outcome = request(context, handle, [&](LPOVERLAPPED overlapped) {
        return DeviceIoControl(handle, IOCTL_VENDOR_REQUEST, &record, sizeof record, nullptr, 0,
                               nullptr, overlapped);
    });
    context.account.detail("data stage", std::to_string(length) + (in ? " bytes from the device"
                                                                      : " bytes to the device"));
    report(context, outcome, in ? "vendor request IN" : "vendor request OUT", "bytes returned");
    if (in && memory != nullptr)
        checkData(context, {static_cast<const std::uint8_t*>(memory), length});
    if (memory != nullptr)
        VirtualFree(memory, 0, MEM_RELEASE);
    return outcome;
}

void ioctl(StepContext& context) {
    HANDLE handle = handleOf(context);
    if (handle == nullptr)
        return;
    const std::string code = context.step.word("code");
    if (code == "vendor-in" || code == "vendor-out") {
        vendor(context, handle, code == "vendor-in");
        return;
    }
    if (code == "reset-device") {
        report(context,
               request(context, handle,
                       [&](LPOVERLAPPED overlapped) {
                           return DeviceIoControl(handle, IOCTL_RESET_DEVICE, nullptr, 0, nullptr,
                                                  0, nullptr, overlapped);
                       }),
               "reset");
        return;
    }
    std::vector<std::uint8_t> buffer(context.step.number("length", 4096));
    const Outcome outcome = request(context, handle, [&](LPOVERLAPPED overlapped) {
        return DeviceIoControl(handle, IOCTL_GET_CONFIGURATION_DESCRIPTOR, nullptr, 0,
                               buffer.data(), static_cast<DWORD>(buffer.size()), nullptr,
                               overlapped);
    });
    report(context, outcome, "configuration descriptor");
    buffer.resize(std::min<std::size_t>(outcome.moved, buffer.size()));
    if (buffer.size() >= 9)
        context.account.detail("wTotalLength", std::to_string(buffer[2] | buffer[3] << 8) +
                                                   "  interfaces " + std::to_string(buffer[4]) +
                                                   "  value " + std::to_string(buffer[5]));
    checkData(context, buffer);
}

} // namespace

std::vector<CommandSpec> ioCommands() {
    return {
        {.name = "open",
         .title = "Open {handle} on {device}",
         .summary = "an application opens the device's interface (CreateFile on the path "
                    "SetupDi* give), read and write, overlapped",
         .params = {{.name = "handle",
                     .type = ValueType::Name,
                     .positional = true,
                     .required = true,
                     .help = "a name for the handle",
                     .defines = "handle"},
                    deviceParam(),
                    expectStatusParam("the status the open must end with")},
         .run = open,
         .background = true},
        {.name = "close",
         .title = "Close {handle}",
         .summary = "the application closes the handle (cleanup, then close)",
         .params = {handleParam()},
         .run = close,
         .background = true},
        {.name = "read",
         .title = "Read {length} bytes on {handle}",
         .summary = "ReadFile, waited for: its status, the bytes moved, and the data",
         .params = {handleParam(),
                    {.name = "length",
                     .type = ValueType::Count,
                     .positional = true,
                     .required = true,
                     .help = "the bytes asked for"},
                    expectStatusParam(),
                    bytesParam(),
                    timeoutParam(),
                    dataParam("the bytes that must have been read"),
                    {.name = "pattern",
                     .type = ValueType::Bool,
                     .help = "the bytes must be the test pattern `write` sends"}},
         .run = read,
         .background = true},
        {.name = "write",
         .title = "Write {length} on {handle}",
         .summary = "WriteFile, waited for: LENGTH bytes of the test pattern, or data=",
         .params = {handleParam(),
                    {.name = "length",
                     .type = ValueType::Count,
                     .positional = true,
                     .help = "bytes of the test pattern"},
                    dataParam("the bytes to write instead of the pattern"),
                    expectStatusParam(),
                    bytesParam(),
                    timeoutParam()},
         .run = write,
         .background = true},
        {.name = "ioctl",
         .title = "Control code {code} on {handle}",
         .summary = "DeviceIoControl with one of the driver's control codes, waited for",
         .params = {handleParam(),
                    {.name = "code",
                     .type = ValueType::Choice,
                     .positional = true,
                     .required = true,
                     .choices = kCodes,
                     .help = "the control code"},
                    {.name = "request", .type = ValueType::Byte, .help = "vendor: bRequest"},
                    {.name = "value", .type = ValueType::Count, .help = "vendor: wValue"},
                    {.name = "index", .type = ValueType::Count, .help = "vendor: wIndex"},
                    {.name = "length",
                     .type = ValueType::Count,
                     .help = "vendor: the data stage's bytes; descriptor: the output buffer's "
                             "(default 4096)"},
                    dataParam("vendor-out: the bytes sent; otherwise the bytes that must come "
                              "back"),
                    {.name = "pattern",
                     .type = ValueType::Bool,
                     .help = "vendor-in: the bytes must be the test pattern"},
                    expectStatusParam(),
                    bytesParam(),
                    timeoutParam()},
         .run = ioctl,
         .background = true},
    };
}

} // namespace wdmusbsim
