// Control codes from an application: any code, any input and output lengths, any VENDOR_REQUEST,
// buffers that are ordinary memory, regions of the application's space (writable or read-only),
// unmapped addresses, kernel-range addresses or null, through DeviceIoControl on an open handle,
// so that the I/O manager's buffering applies as on the platform. Whatever fails may fail with any
// error; what succeeds must return what the loopback device holds.
//
// An input is a list of requests, each:
//   code choice (1), raw code (4), input length (2), output length (2), input kind (1),
//   output kind (1), input bytes (input length, at most 64), then for a vendor request:
//   buffer kind (1), region bytes (2), offset in the region (2).
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "fuzz/support/app_buffer.h"
#include "fuzz/support/fuzz_bytes.h"
#include "fuzz/support/fuzz_machine.h"
#include "public/wdmusb.h"

namespace {

using wdmusb::fuzz::AppBuffer;
using wdmusb::fuzz::BufferKind;
using wdmusb::fuzz::FuzzBytes;
using wdmusb::fuzz::FuzzMachine;

constexpr std::size_t kMaxRequests = 8;
constexpr std::uint32_t kMaxLength = 1024;

// The driver's codes and their near misses (other functions, methods, access), then a raw one.
constexpr std::array<DWORD, 10> kCodes = {
    IOCTL_GET_CONFIGURATION_DESCRIPTOR,
    IOCTL_RESET_DEVICE,
    IOCTL_VENDOR_REQUEST,
    CTL_CODE(FILE_DEVICE_UNKNOWN, 2, METHOD_BUFFERED, FILE_ANY_ACCESS),
    CTL_CODE(FILE_DEVICE_UNKNOWN, 4, METHOD_BUFFERED, FILE_ANY_ACCESS),
    CTL_CODE(FILE_DEVICE_UNKNOWN, 3, METHOD_NEITHER, FILE_ANY_ACCESS),
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0, METHOD_NEITHER, FILE_ANY_ACCESS),
    CTL_CODE(FILE_DEVICE_UNKNOWN, 3, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS),
    CTL_CODE(FILE_DEVICE_USB, 3, METHOD_BUFFERED, FILE_ANY_ACCESS),
    IOCTL_VENDOR_REQUEST | 0x80000000U,
};

DWORD chooseCode(FuzzBytes& in) {
    const std::uint8_t choice = in.byte();
    const auto raw = in.take<DWORD>();
    return choice < kCodes.size() * 24 ? kCodes[choice % kCodes.size()] : raw;
}

// The configuration descriptor a successful GET_CONFIGURATION_DESCRIPTOR returns: its first bytes.
void checkConfiguration(std::span<const std::uint8_t> returned) {
    const auto whole = sim::usb::LoopbackDevice::defaultConfigurationDescriptor();
    if (returned.size() > whole.size())
        FuzzMachine::fail("more configuration bytes returned than the descriptor holds");
    wdmusb::fuzz::expectSame(returned, std::span(whole).first(returned.size()),
                             "configuration descriptor");
}

// A vendor request that succeeded moved the data stage: IN bytes are the device memory's at
// wIndex, OUT bytes are in it now; without a data stage, wValue's low byte is (the clear-queue
// request aside).
void checkVendor(const VENDOR_REQUEST& request, const AppBuffer& data,
                 std::initializer_list<const AppBuffer*> others) {
    auto& device = FuzzMachine::get().loopback();
    const auto memory = device.memory();
    const std::size_t index = request.Index;
    const bool out = (request.RequestType & 0x80) == 0;
    if (out && request.Request == sim::usb::LoopbackDevice::kRequestClearQueue)
        return; // the device empties its queue and takes no data, whatever the data stage
    if (request.Length == 0) {
        if (out && (index >= memory.size() || memory[index] != (request.Value & 0xFF)))
            FuzzMachine::fail("a vendor request without data stage succeeded, memory unchanged");
        return;
    }
    if (index + request.Length > memory.size())
        FuzzMachine::fail("a vendor request past the device's memory succeeded");
    if (!data.usable(request.Buffer, request.Length)) {
        // A raw address may name another buffer of the same request, which the application may
        // use as well (its regions are reused from request to request); that is not checked.
        for (const AppBuffer* other : others)
            if (other->mapped(request.Buffer, request.Length))
                return;
        FuzzMachine::fail("a vendor request succeeded on a buffer the application cannot use");
    }
    wdmusb::fuzz::expectSame(data.bytes(request.Buffer, request.Length),
                             std::span(memory).subspan(index, request.Length),
                             "vendor request data stage");
}

void runRequest(FuzzBytes& in, HANDLE handle) {
    const DWORD code = chooseCode(in);
    const DWORD inLength = in.below(kMaxLength + 1);
    const DWORD outLength = in.below(kMaxLength + 1);
    AppBuffer input(static_cast<BufferKind>(in.byte()), inLength);
    AppBuffer output(static_cast<BufferKind>(in.byte()), outLength);
    std::vector<std::uint8_t> content(std::min<DWORD>(inLength, 64));
    in.fill(content);

    VENDOR_REQUEST request{};
    if (!content.empty())
        std::memcpy(&request, content.data(), std::min(content.size(), sizeof request));
    AppBuffer data(BufferKind::Null, 0);
    if (code == IOCTL_VENDOR_REQUEST && content.size() >= sizeof request) {
        const auto kind = static_cast<BufferKind>(in.byte());
        data = AppBuffer(kind, in.below(1024));
        request.Buffer = data.address32(in.below(1200), request.Buffer);
        if ((request.RequestType & 0x80) == 0 && data.writableByApplication())
            data.fillPattern(request.Index);
        std::memcpy(content.data(), &request, sizeof request);
    }
    input.store(content);

    DWORD returned = 0xFFFFFFFF;
    const BOOL ok = DeviceIoControl(handle, code, input.pointer(), inLength, output.pointer(),
                                    outLength, &returned, nullptr);
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    if (!ok && error != ERROR_MORE_DATA)
        return; // any error is the driver's to choose
    if (returned > outLength)
        FuzzMachine::fail("more bytes returned than the output buffer holds");
    if (code == IOCTL_GET_CONFIGURATION_DESCRIPTOR)
        checkConfiguration(output.returned(returned));
    else if (code == IOCTL_VENDOR_REQUEST && ok)
        checkVendor(request, data, {&input, &output});
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzMachine& machine = FuzzMachine::get();
    machine.beginInput();
    FuzzBytes in(bytes, size);
    for (std::size_t i = 0; i < kMaxRequests && !in.empty(); ++i)
        runRequest(in, machine.handle());
    machine.endInput();
    return 0;
}
