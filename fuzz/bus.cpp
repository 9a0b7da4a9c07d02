// The bus: reads and writes of any length against any sequence of completion outcomes of their
// chunks (short, failed with an IRP status, stalled, cancelled, never completing, the port
// disabled). A request that is left pending ends by the device being pulled out (or by data
// arriving, for a read waiting for it); the device is then plugged in again. Whatever fails may
// fail with any error; the bytes a successful read returns must be the ones the device held, in
// order, and the bytes a successful write reports must be the ones the device received. A request
// one of whose chunks broke while a later one moved data fails with ERROR_CRC; the count it still
// reports is held to the same rule.
//
// An input is a list of operations, each:
//   kind (1: bit 0 read/write, bit 1 how a pending request ends), length (2), bytes the device
//   holds for a read (2), fault count (1), then per fault: action (1), ordinal (1), times (1),
//   bytes for a short completion (2).
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/support/fuzz_bytes.h"
#include "fuzz/support/fuzz_machine.h"
#include "public/wdmusb.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/bus_device.h"
#include "sim/usb/scripted_faults.h"

namespace {

using sim::usb::LoopbackDevice;
using sim::usb::UrbFault;
using wdmusb::fuzz::FuzzBytes;
using wdmusb::fuzz::FuzzMachine;

constexpr std::size_t kMaxOperations = 6;
constexpr std::size_t kMaxFaults = 4;
constexpr std::uint32_t kMaxLength = 5 * 4096 + 100; // a few chunks and a partial one

UrbFault faultFrom(FuzzBytes& in, UCHAR endpoint) {
    const std::uint8_t action = in.byte();
    UrbFault fault = UrbFault::on(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).endpoint(endpoint);
    fault.nth(1 + in.byte() % 4).repeat(1 + in.byte() % 2);
    const ULONG shortBytes = in.below(4097);
    switch (action % 7) {
    case 0:
        return fault.completeShort(shortBytes);
    case 1:
        return fault.failWith(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    case 2:
        return fault.failWith(STATUS_SUCCESS, USBD_STATUS_STALL_PID); // the USB status only
    case 3:
        return fault.failWith(STATUS_CANCELLED, USBD_STATUS_CANCELED);
    case 4:
        return fault.failWith(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    case 5:
        return fault.neverComplete();
    default:
        return fault.disablePort();
    }
}

// The bytes of a seed, made once per seed and copied into a buffer the caller keeps: a byte loop
// under the sanitizers and the fuzzer's tracing was a sixth of an input's time, and fresh vectors
// of a few KiB each input another good part (the sanitizer fills each new allocation).
void pattern(std::vector<std::uint8_t>& into, std::size_t length, std::uint8_t seed) {
    static std::array<std::vector<std::uint8_t>, 256> made;
    std::vector<std::uint8_t>& bytes = made[seed];
    for (std::size_t i = bytes.size(); i < length; ++i)
        bytes.push_back(static_cast<std::uint8_t>(seed + i * 31 + (i >> 8)));
    into.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
}

// Everything the device holds, taken out of it (not through the driver) into `drained`.
void drainDevice(std::vector<std::uint8_t>& drained) {
    LoopbackDevice& device = FuzzMachine::get().loopback();
    static std::vector<std::uint8_t> chunk(4096);
    drained.clear();
    for (;;) {
        const auto result = device.transfer(LoopbackDevice::kInEndpoint, chunk);
        if (result.kind != sim::usb::TransferResult::Kind::Done || result.bytes == 0)
            return;
        drained.insert(drained.end(), chunk.begin(), chunk.begin() + result.bytes);
    }
}

// Buffers an operation uses, kept from one operation to the next (see pattern()).
struct Buffers {
    std::vector<std::uint8_t> expected;
    std::vector<std::uint8_t> transfer;
    std::vector<std::uint8_t> drained;
};

Buffers& buffers() {
    static Buffers kept;
    return kept;
}

// A request still pending ends: for a read, data may arrive; otherwise (or if that is not
// enough) the device is pulled out and the removal follows the handle's close. Always true: the
// request has ended, and its data is not the one the operation checks.
bool endPending(OVERLAPPED& overlapped, bool dataFirst, DWORD length, DWORD& moved) {
    FuzzMachine& machine = FuzzMachine::get();
    if (dataFirst) {
        pattern(buffers().expected, length, 0x5A);
        machine.loopback().queueData(buffers().expected);
        if (GetOverlappedResult(machine.handle(), &overlapped, &moved, FALSE) ||
            GetLastError() != ERROR_IO_INCOMPLETE)
            return true; // ended with data other than the pattern checked here
    }
    sim::PnpManager& pnp = machine.machine().system().pnp();
    pnp.surpriseRemove(machine.device());
    GetOverlappedResult(machine.handle(), &overlapped, &moved, TRUE);
    machine.closeHandle(); // the removal goes with the last close
    if (machine.device().state != sim::DeviceNodeState::Deleted)
        pnp.removeDevice(machine.device());
    machine.machine().bus().controller().setMode(sim::usb::CompletionMode::Inline);
    if (!machine.replaceDevice())
        FuzzMachine::fail("a fresh loopback device did not start");
    machine.handle();
    return true;
}

void runOperation(FuzzBytes& in) {
    FuzzMachine& machine = FuzzMachine::get();
    const std::uint8_t kind = in.byte();
    const bool reading = (kind & 1) != 0;
    const DWORD length = in.below(kMaxLength + 1);
    const DWORD held = in.below(kMaxLength + 1);
    const UCHAR endpoint = reading ? LoopbackDevice::kInEndpoint : LoopbackDevice::kOutEndpoint;
    const std::size_t faults = in.byte() % (kMaxFaults + 1);
    sim::usb::BusDevice& bus = *machine.device().busDevice;
    bus.faults().clear();
    for (std::size_t i = 0; i < faults; ++i)
        bus.faults().add(faultFrom(in, endpoint));
    if (!bus.portEnabled())
        bus.setPortEnabled(true); // a port disabled by an earlier operation, mended by hand

    const std::size_t firedBefore = bus.faults().fired();
    Buffers& kept = buffers();
    drainDevice(kept.drained);
    std::vector<std::uint8_t>& expected = kept.expected;
    pattern(expected, reading ? held : length, kind);
    if (reading)
        machine.loopback().queueData(expected);
    std::vector<std::uint8_t>& buffer = kept.transfer;
    if (reading)
        buffer.assign(length, 0);
    else
        buffer = expected;

    OVERLAPPED overlapped{};
    DWORD moved = 0;
    const HANDLE handle = machine.handle();
    BOOL ok = reading ? ReadFile(handle, buffer.data(), length, &moved, &overlapped)
                      : WriteFile(handle, buffer.data(), length, &moved, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        // Pended, and perhaps ended already (every transfer completes inline).
        ok = GetOverlappedResult(handle, &overlapped, &moved, FALSE);
        if (!ok && GetLastError() == ERROR_IO_INCOMPLETE) {
            endPending(overlapped, (kind & 2) != 0, length, moved);
            return;
        }
    }
    bus.faults().clear();
    const bool hidden = !ok && GetLastError() == ERROR_CRC;
    if (!ok && !hidden)
        return; // any other error is the driver's to choose
    if (hidden) {
        if (bus.faults().fired() == firedBefore)
            FuzzMachine::fail("a request failed with a data error though no chunk broke");
        moved = static_cast<DWORD>(overlapped.InternalHigh); // still an unbroken prefix
    }
    if (moved > length)
        FuzzMachine::fail("more bytes moved than the request asked for");
    if (reading) {
        if (moved > held)
            FuzzMachine::fail("a read returned more bytes than the device held");
        wdmusb::fuzz::expectSame(std::span(buffer).first(moved), std::span(expected).first(moved),
                                 "a read's counted bytes");
    } else {
        std::vector<std::uint8_t>& received = kept.drained;
        drainDevice(received);
        wdmusb::fuzz::expectSame(
            std::span(received).first(std::min<std::size_t>(moved, received.size())),
            std::span(expected).first(moved), "what a write counted as sent");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzMachine& machine = FuzzMachine::get();
    machine.useOverlapped();
    machine.beginInput();
    FuzzBytes in(bytes, size);
    for (std::size_t i = 0; i < kMaxOperations && !in.empty(); ++i)
        runOperation(in);
    machine.device().busDevice->faults().clear();
    machine.endInput();
    return 0;
}
