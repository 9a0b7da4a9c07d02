// The simulated application process behind the user-mode API (sim/app/win32.h): its handle table
// and the objects handles refer to. One per System; the API routines reach it through
// sim::current().process(). Thread-safe: applications call from as many threads as they like.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "sim/app/win32.h"

namespace sim {
class FileObject;
}

namespace sim::app {

// An event object (CreateEvent), also the signal of a file handle's own completions.
class Event {
public:
    explicit Event(bool manualReset, bool signalled = false)
        : manualReset_(manualReset), signalled_(signalled) {}
    void set();
    void reset();
    // False on time-out. An INFINITE wait longer than the dispatcher's hang limit is reported
    // as a wait that never ends, and the run stops, as a driver's would.
    bool wait(DWORD milliseconds);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    const bool manualReset_;
    bool signalled_;
};

// A handle to an open device.
struct File {
    std::shared_ptr<sim::FileObject> object;
    bool overlapped = false;
    // A handle opened for synchronous I/O does one request at a time, as the platform's file
    // object lock makes it; held for the whole request.
    std::mutex synchronous;
    // Signalled by each completion of an overlapped request that names no event.
    std::shared_ptr<Event> completions = std::make_shared<Event>(true);
};

// A snapshot of device interfaces (SetupDiGetClassDevs).
struct DeviceInfoSet {
    struct Interface {
        GUID interfaceClass;
        std::string devicePath; // "\\?\USB#VID_1209&PID_0001#...#{guid}"
        bool active;
    };
    std::vector<Interface> interfaces;
};

class Process {
public:
    using Object =
        std::variant<std::shared_ptr<File>, std::shared_ptr<Event>, std::shared_ptr<DeviceInfoSet>>;

    HANDLE add(Object object);
    // The object of a handle, if it is of type T.
    template <class T> std::shared_ptr<T> get(HANDLE handle) const {
        std::lock_guard lock(mutex_);
        auto it = handles_.find(key(handle));
        if (it == handles_.end())
            return nullptr;
        if (auto* object = std::get_if<std::shared_ptr<T>>(&it->second))
            return *object;
        return nullptr;
    }
    // Takes the handle out of the table; its object, or nothing for a handle that is not open.
    std::optional<Object> remove(HANDLE handle);
    std::size_t openHandles() const;
    // Closes every handle the process left open.
    void closeAll();
    // What the platform does when the calling application thread ends: every request the thread
    // issued that is still in flight is cancelled, and the end waits for them (FileIo::endThread).
    void endThread();
    // What the platform does for a process that exits: every thread's requests in flight are
    // cancelled and waited for, then every handle it left open is closed.
    void exit();

private:
    static std::uintptr_t key(HANDLE handle) { return reinterpret_cast<std::uintptr_t>(handle); }

    mutable std::mutex mutex_; // guards everything below
    std::map<std::uintptr_t, Object> handles_;
    std::uintptr_t next_ = 4; // handle values are multiples of 4, as the platform's
};

} // namespace sim::app
