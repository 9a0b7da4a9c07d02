// What every benchmark stands on: a simulated machine with the driver loaded and the loopback
// device plugged, started and opened through the application side, as a program would open it.
// The verifier is on unless a benchmark measures its price (the same benchmark run with it off);
// the machine's findings at its end fail the benchmark.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sim/app/simulated_machine.h"
#include "sim/app/win32.h"
#include "sim/core/system.h"

#include "public/wdmusb.h" // after the platform's user-mode API
#include "sim/usb/host_controller.h"
#include "tests/support/application.h"

namespace wdmusb::bench {

class BenchMachine {
public:
    // Plugs and starts the loopback device and opens it (FILE_FLAG_OVERLAPPED in flags for
    // overlapped I/O). ok() tells whether all of that succeeded.
    explicit BenchMachine(DWORD flags = 0, sim::SystemOptions options = {});

    bool ok() const { return handle_.valid(); }
    HANDLE handle() const { return handle_.get(); }
    sim::app::SimulatedMachine& machine() { return machine_; }
    sim::DeviceNode& node() { return *node_; }
    void setMode(sim::usb::CompletionMode mode) { machine_.bus().controller().setMode(mode); }

    // Closes the handle, ends the machine and fails the benchmark on any verifier finding.
    void finish(benchmark::State& state);

private:
    sim::app::SimulatedMachine machine_;
    sim::DeviceNode* node_ = nullptr;
    test::AppHandle handle_;
};

// A buffer in the application's user space (VirtualAlloc), where a program's own buffers are: a
// request locks it where it is, with no bounce copy through user space, which any other host
// memory gets from the simulated application side. Freed before the machine ends.
class UserBuffer {
public:
    explicit UserBuffer(std::size_t bytes);
    ~UserBuffer();
    UserBuffer(const UserBuffer&) = delete;
    UserBuffer& operator=(const UserBuffer&) = delete;

    bool ok() const { return bytes_.data() != nullptr; }
    std::span<std::uint8_t> bytes() { return bytes_; }

private:
    std::span<std::uint8_t> bytes_;
};

// Bytes first, first + 1, ... (mod 251, plus first): a period no chunk size divides, so a chunk
// moved to the wrong place shows.
std::vector<std::uint8_t> pattern(std::size_t bytes, std::uint8_t first = 0);

// Round trips of one size with no fill between them: two patterns that differ in every byte are
// written in turn and read back into one buffer, so a read that brings back less than all leaves
// bytes of the other pattern there, which the check sees.
class RoundTrips {
public:
    explicit RoundTrips(std::size_t bytes);

    bool ok() const { return patterns_[0].ok() && patterns_[1].ok() && back_.ok(); }
    // Writes the next pattern and reads it back; false unless every byte came back.
    bool next(HANDLE handle);

private:
    UserBuffer patterns_[2];
    UserBuffer back_;
    unsigned turn_ = 0;
};

// The verifier's setting a benchmark's argument names: 1 on, 0 off.
sim::SystemOptions verifierArg(std::int64_t on);

// Fails the benchmark with the verifier's findings, if any; true when there were none.
bool reportFindings(benchmark::State& state, const std::vector<sim::Finding>& findings);

// Bytes of the simulated pool's live blocks (of one tag, if given).
std::size_t poolBytes(std::optional<std::uint32_t> tag = std::nullopt);

} // namespace wdmusb::bench
