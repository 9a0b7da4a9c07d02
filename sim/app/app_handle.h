// An application's handle (a device's, an event's, a device information set's) that closes
// itself, for programs and tests on the simulator. It owns the handle until release() gives it up,
// for instance to a machine's end, which closes what the application left open as the platform
// does at a process's exit.
#pragma once

#include <utility>

#include "sim/app/win32.h"

namespace sim::app {

class AppHandle {
public:
    AppHandle() = default;
    explicit AppHandle(HANDLE handle) : handle_(handle) {}
    ~AppHandle() { close(); }
    AppHandle(AppHandle&& other) noexcept : handle_(other.release()) {}
    AppHandle& operator=(AppHandle&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = other.release();
        }
        return *this;
    }
    AppHandle(const AppHandle&) = delete;
    AppHandle& operator=(const AppHandle&) = delete;

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    void close() {
        if (valid())
            CloseHandle(handle_);
        handle_ = nullptr;
    }
    // The handle, no longer closed by this object.
    HANDLE release() { return std::exchange(handle_, nullptr); }

private:
    HANDLE handle_ = nullptr;
};

} // namespace sim::app
