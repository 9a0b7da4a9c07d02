// The simulated machine a fuzz target runs its inputs on: made once per process and kept (a
// machine per input would cost more than the input), the driver loaded, a loopback device started
// for the targets that use one, every transfer completed inline so that an input replays the same
// way each time.
//
// After every input, endInput() checks what a fresh machine would: no verifier finding and no
// more pool than before the input. A finding aborts, so that libFuzzer reports it with the input.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string_view>

#include "sim/app/simulated_machine.h"
#include "sim/app/win32.h"
#include "sim/usb/loopback_device.h"

namespace wdmusb::fuzz {

class FuzzMachine {
public:
    // The machine of this process, made at the first call.
    static FuzzMachine& get();

    sim::app::SimulatedMachine& machine() { return machine_; }
    sim::DeviceNode& device() { return *device_; }
    sim::usb::LoopbackDevice& loopback();

    // Plugs and starts a fresh loopback device in place of the current one (after the input
    // removed it); the handle is opened again. False when the new device would not start.
    bool replaceDevice();
    // An open handle on the device (synchronous I/O, or overlapped after useOverlapped()), opened
    // at the first call after the device started; INVALID_HANDLE_VALUE when it cannot be opened.
    HANDLE handle();
    void useOverlapped() { overlapped_ = true; }
    void closeHandle();

    // Call at the start of each input: the loopback device plugged and started (at the first
    // input), its memory as at plug-in, the handle open.
    void beginInput();
    // The same for a target that plugs its own devices: only what the machine holds is noted.
    void beginBareInput();
    // Call at the end of each input: aborts on a finding or on pool the input left behind.
    void endInput();

    // Reports a wrong result the application saw and aborts.
    [[noreturn]] static void fail(std::string_view what);

private:
    FuzzMachine();

    static constexpr std::size_t kQueueBytes = 64 * 1024; // more than one request moves

    sim::app::SimulatedMachine machine_;
    std::shared_ptr<sim::usb::LoopbackDevice> model_;
    sim::DeviceNode* device_ = nullptr;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    bool overlapped_ = false;
    std::size_t poolBaseline_ = 0;
};

// Checks that the bytes a successful transfer returned are what the loopback device holds.
void expectSame(std::span<const std::uint8_t> got, std::span<const std::uint8_t> expected,
                std::string_view what);

} // namespace wdmusb::fuzz
