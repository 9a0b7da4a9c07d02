#include "sim/app/process.h"

#include <cstdio>
#include <cstdlib>

#include "sim/core/system.h"
#include "sim/io/file_io.h"
#include "sim/sync/dispatcher.h"

namespace sim::app {

void Event::set() {
    std::lock_guard lock(mutex_);
    signalled_ = true;
    changed_.notify_all();
}

void Event::reset() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
}

bool Event::wait(DWORD milliseconds) {
    std::unique_lock lock(mutex_);
    const bool forever = milliseconds == INFINITE;
    const auto limit =
        forever ? current().dispatcher().hangLimit() : std::chrono::milliseconds(milliseconds);
    if (!changed_.wait_for(lock, limit, [&] { return signalled_; })) {
        if (!forever)
            return false;
        lock.unlock();
        current().verifier().report(Rule::WaitNeverEnded,
                                    "an application's wait did not end within " +
                                        std::to_string(limit.count()) + " ms");
        std::fprintf(stderr, "simulated system stopped: a wait would hang forever\n");
        std::abort();
    }
    if (!manualReset_)
        signalled_ = false; // an auto-reset event releases one waiter
    return true;
}

HANDLE Process::add(Object object) {
    std::lock_guard lock(mutex_);
    const std::uintptr_t value = next_;
    next_ += 4;
    handles_.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::optional<Process::Object> Process::remove(HANDLE handle) {
    std::lock_guard lock(mutex_);
    auto node = handles_.extract(key(handle));
    if (!node)
        return std::nullopt;
    return std::move(node.mapped());
}

void Process::closeAll() {
    std::vector<std::uintptr_t> open;
    {
        std::lock_guard lock(mutex_);
        for (const auto& entry : handles_)
            open.push_back(entry.first);
    }
    for (std::uintptr_t value : open)
        CloseHandle(reinterpret_cast<HANDLE>(value));
}

void Process::endThread() {
    current().files().endThread();
}

void Process::exit() {
    current().files().endProcess();
    closeAll();
}

std::size_t Process::openHandles() const {
    std::lock_guard lock(mutex_);
    return handles_.size();
}

} // namespace sim::app
