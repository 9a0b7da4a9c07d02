// The user-mode API from a test's side: the device paths of an interface class, and a handle that
// closes itself.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "sim/app/win32.h"

namespace wdmusb::test {

// The device paths of the enabled interfaces of a class, found as an application finds them.
std::vector<std::string> devicePaths(const GUID& interfaceClass);

// An open handle, closed when the object goes (or by close()).
class AppHandle {
public:
    AppHandle() = default;
    explicit AppHandle(HANDLE handle) : handle_(handle) {}
    ~AppHandle() { close(); }
    AppHandle(AppHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    AppHandle& operator=(AppHandle&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = std::exchange(other.handle_, nullptr);
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

private:
    HANDLE handle_ = nullptr;
};

// Opens the index-th enabled interface of a class (FILE_FLAG_OVERLAPPED in flags for overlapped
// I/O); an invalid handle, GetLastError telling why, when that fails.
AppHandle openDevice(const GUID& interfaceClass, DWORD flags = 0, std::size_t index = 0);

} // namespace wdmusb::test
