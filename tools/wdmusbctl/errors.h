// What wdmusbctl says about a failed call, and how it exits.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "public/wdmusb_api.h"

namespace wdmusbctl {

// The exit statuses, documented in docs/wdmusbctl.md.
enum class Exit : int {
    Ok = 0,
    Mismatch = 1,         // loopback: the bytes read back differ from those written
    BadArgument = 2,      // the command line is wrong
    NoDevice = 3,         // no device of the class, or not the one asked for
    Busy = 4,             // another handle has the device, or another request is in flight
    Removed = 5,          // the device is gone (or was restarted under the handle)
    DeviceError = 6,      // any other failure of a request, named by its error
    SimulatorFinding = 7, // simulator build only: the verifier found a misuse or a leak
    Interrupted = 8,      // Ctrl-C: the request in flight was cancelled
};

// A platform error in words, for the call it came from: "the device is busy: another read or
// write is in flight (ERROR_BUSY, 170)".
std::string describeError(WdmusbCall call, std::uint32_t error);
// The exit status for a call that failed with the error.
Exit exitFor(WdmusbCall call, std::uint32_t error);
// What a failed read or write had moved before it ended (a cancel or a break keeps the bytes
// before it): "; 5 bytes had been read before it ended", or nothing when it moved none.
std::string movedBefore(WdmusbCall call, std::uint32_t moved);

// A failure that ends the command: what was being done, and the platform's error (0 when the
// failure is not a call's, such as a short read).
class Failure : public std::runtime_error {
public:
    Failure(const std::string& what, std::uint32_t error, Exit exit);
    std::uint32_t error() const { return error_; }
    Exit exit() const { return exit_; }

private:
    std::uint32_t error_;
    Exit exit_;
};

// Throws a Failure for a call's error: "<doing>: <error in words>".
[[noreturn]] void fail(WdmusbCall call, const std::string& doing, std::uint32_t error);

} // namespace wdmusbctl
