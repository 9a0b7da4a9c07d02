// CreateFile, ReadFile, WriteFile, DeviceIoControl, GetOverlappedResult, CancelIo and
// CloseHandle over the I/O manager's file requests (sim/io/file_io.h), with the platform's
// user-mode rules:
//   - synchronous requests (a handle opened without FILE_FLAG_OVERLAPPED, or no OVERLAPPED
//     given) wait for their end, one at a time per handle;
//   - an overlapped request returns FALSE with ERROR_IO_PENDING when the driver pended it; its
//     OVERLAPPED (Internal: the status, InternalHigh: the bytes) and its event (or, without one,
//     the handle) are set when it ends. One the driver finished at once returns its result, and
//     updates the OVERLAPPED, unless it failed: then only the error is returned;
//   - a failure is FALSE and GetLastError's translation of the status; a warning (such as
//     STATUS_BUFFER_OVERFLOW) is FALSE too, with the bytes moved still reported. ReadFile,
//     WriteFile and DeviceIoControl report no byte count for an error (NtReadFile does not even
//     write the status block of a synchronous request that failed); GetOverlappedResult reports
//     the OVERLAPPED's count whatever the status.
// A read or write buffer that is not in a host-visible region of the user address space goes
// through one of the simulated space (copied in before, and for a read back whole after): the
// driver always meets an address of the application's user space. A pointer below 4 GiB is an
// address of the 32-bit application as it stands: one not mapped, read-only for a read, or in the
// kernel's range fails the I/O manager's probe (ERROR_NOACCESS), as on the platform.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>

#include <sys/mman.h>
#include <thread>

#include "sim/app/process.h"
#include "sim/app/status_errors.h"
#include "sim/core/system.h"
#include "sim/io/file_io.h"
#include "sim/memory/user_space.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/sync/dispatcher.h"

using sim::app::Event;
using sim::app::File;

namespace {

bool isError(NTSTATUS status) {
    return static_cast<ULONG>(status) >= 0xC0000000UL;
}

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// What the application learns of a request that ended.
BOOL report(const IO_STATUS_BLOCK& result, LPDWORD bytes) {
    if (bytes != nullptr && !isError(result.Status))
        *bytes = static_cast<DWORD>(result.Information);
    if (NT_SUCCESS(result.Status))
        return TRUE;
    return fail(sim::app::win32ErrorFor(result.Status));
}

// One request as the application sees it: its end, and where that is published.
class Request {
public:
    Request(LPOVERLAPPED overlapped, std::shared_ptr<Event> signal)
        : overlapped_(overlapped), signal_(std::move(signal)) {}

    // The I/O manager's completion.
    void ended(const IO_STATUS_BLOCK& result) {
        bool publish = false;
        {
            std::lock_guard lock(mutex_);
            result_ = result;
            ended_ = true;
            publish = publishWhenEnded_;
            changed_.notify_all();
        }
        if (publish)
            this->publish();
    }

    IO_STATUS_BLOCK waitEnd() {
        std::unique_lock lock(mutex_);
        const auto limit = sim::current().dispatcher().hangLimit();
        if (!changed_.wait_for(lock, limit, [&] { return ended_; })) {
            lock.unlock();
            sim::current().verifier().report(sim::Rule::WaitNeverEnded,
                                             "an application's request did not end within " +
                                                 std::to_string(limit.count()) + " ms");
            std::fprintf(stderr, "simulated system stopped: a request would never end\n");
            std::abort();
        }
        return result_;
    }

    // The driver pended it: its end is published when it comes (or now, if it came already).
    void pended() {
        bool publishNow = false;
        {
            std::lock_guard lock(mutex_);
            publishWhenEnded_ = true;
            publishNow = ended_;
        }
        if (publishNow)
            publish();
    }

    void publish() {
        const IO_STATUS_BLOCK result = waitEnd();
        std::atomic_ref<ULONG_PTR>(overlapped_->InternalHigh).store(result.Information);
        std::atomic_ref<ULONG_PTR>(overlapped_->Internal)
            .store(static_cast<ULONG>(result.Status), std::memory_order_release);
        signal_->set();
    }

private:
    LPOVERLAPPED overlapped_;
    std::shared_ptr<Event> signal_;
    std::mutex mutex_; // guards everything below
    std::condition_variable changed_;
    IO_STATUS_BLOCK result_{};
    bool ended_ = false;
    bool publishWhenEnded_ = false;
};

// Runs one request: `submit` hands it to the I/O manager with its completion; `release` runs
// when it has ended (or was refused), before the application hears of it.
BOOL run(File& file, LPOVERLAPPED overlapped, LPDWORD bytes,
         const std::function<void(const IO_STATUS_BLOCK*)>& release,
         const std::function<sim::Submission(sim::FileIo::Done)>& submit) {
    const bool async = file.overlapped && overlapped != nullptr;
    std::unique_lock<std::mutex> oneAtATime;
    if (!file.overlapped)
        oneAtATime = std::unique_lock(file.synchronous);
    if (bytes != nullptr)
        *bytes = 0;

    std::shared_ptr<Event> signal = file.completions;
    if (async) {
        if (overlapped->hEvent != nullptr) {
            signal = sim::current().process().get<Event>(overlapped->hEvent);
            if (signal == nullptr)
                return fail(ERROR_INVALID_HANDLE);
        }
        overlapped->InternalHigh = 0;
        std::atomic_ref<ULONG_PTR>(overlapped->Internal).store(STATUS_PENDING);
        signal->reset();
    }
    auto request = std::make_shared<Request>(overlapped, signal);
    const sim::Submission submission = submit([request, release](const IO_STATUS_BLOCK& result) {
        release(&result);
        request->ended(result);
    });
    if (!submission.sent) {
        release(nullptr);
        return fail(sim::app::win32ErrorFor(submission.status));
    }
    if (!async)
        return report(request->waitEnd(), bytes);
    if (submission.status == STATUS_PENDING) {
        request->pended();
        return fail(ERROR_IO_PENDING);
    }
    const IO_STATUS_BLOCK result = request->waitEnd();
    if (isError(submission.status))
        return fail(sim::app::win32ErrorFor(submission.status));
    request->publish();
    return report(result, bytes);
}

// A pointer a 32-bit application can hold: an address of its user space or of the kernel's range.
// Only those are checked as the platform checks them; a host pointer above them is the program's
// own ordinary memory, which the simulator copies through its user space. In a 32-bit build every
// host pointer is such a value: there the program's own memory is what the host has mapped
// outside the user space's regions (which hold their addresses in the host too).
bool isApplicationAddress(const void* buffer) {
    const auto address = reinterpret_cast<std::uintptr_t>(buffer);
    if constexpr (sizeof(void*) > 4) {
        return address <= 0xFFFFFFFFU;
    } else {
        if (sim::current().userSpace().contains(buffer))
            return true;
        const auto page = reinterpret_cast<void*>(address & ~std::uintptr_t{4095});
        unsigned char resident = 0;
        return mincore(page, 1, &resident) != 0; // ENOMEM: the host has nothing there
    }
}

// The I/O manager's probe of a buffered control code's buffers in the caller's space: an
// application address must lie in one of its regions, writable for the output.
bool buffersReachable(DWORD code, const void* input, DWORD inputLength, const void* output,
                      DWORD outputLength) {
    if (METHOD_FROM_CTL_CODE(code) != METHOD_BUFFERED)
        return true;
    const sim::UserAddressSpace& space = sim::current().userSpace();
    const auto reachable = [&](const void* buffer, DWORD length,
                               sim::UserAddressSpace::Access how) {
        return length == 0 || !isApplicationAddress(buffer) ||
               (space.isHostVisible(buffer, length) && space.probe(buffer, length, how));
    };
    return reachable(input, inputLength, sim::UserAddressSpace::Access::Read) &&
           reachable(output, outputLength, sim::UserAddressSpace::Access::Write);
}

// The user-space address a read or write hands the driver for [buffer, +length), and what to do
// when the request has ended: copy a read back and give the bounce region up.
struct UserBuffer {
    void* address = nullptr;
    std::function<void(const IO_STATUS_BLOCK*)> release = [](const IO_STATUS_BLOCK*) {};
};

std::optional<UserBuffer> userBufferFor(void* buffer, DWORD length, bool reading) {
    sim::UserAddressSpace& space = sim::current().userSpace();
    if (length == 0 || space.isHostVisible(buffer, length) || isApplicationAddress(buffer))
        return UserBuffer{buffer}; // a bad one fails the I/O manager's probe, as it should
    // The bounce holds the application's bytes and, for a read, goes back whole: a driver or device
    // may write any part of a locked buffer (chunks write their own windows), and every byte it
    // did not write must stay as it was, as in the application's own pages.
    void* bounce = space.map(length);
    if (bounce == nullptr)
        return std::nullopt;
    space.write(bounce, buffer, length);
    UserBuffer user{bounce};
    user.release = [bounce, buffer, length, reading](const IO_STATUS_BLOCK* result) {
        sim::UserAddressSpace& userSpace = sim::current().userSpace();
        if (reading && result != nullptr)
            userSpace.read(bounce, buffer, length);
        userSpace.unmap(bounce);
    };
    return user;
}

BOOL readOrWrite(HANDLE handle, UCHAR major, void* buffer, DWORD length, LPDWORD bytes,
                 LPOVERLAPPED overlapped) {
    auto file = sim::current().process().get<File>(handle);
    if (file == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    if (buffer == nullptr && length > 0)
        return fail(ERROR_NOACCESS);
    auto user = userBufferFor(buffer, length, major == IRP_MJ_READ);
    if (!user)
        return fail(ERROR_NO_SYSTEM_RESOURCES);
    return run(*file, overlapped, bytes, user->release, [&](sim::FileIo::Done done) {
        return sim::current().files().transfer(file->object, major, user->address, length,
                                               std::move(done));
    });
}

bool sameIgnoringCase(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char16_t c) { return c < 0x80 ? std::tolower(c) : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

// The PDO of the enabled interface a device path names ("\\?\..." or "\\.\...").
PDEVICE_OBJECT interfaceDevice(const char* path) {
    if (path == nullptr || std::strlen(path) < 4 || path[0] != '\\' || path[1] != '\\' ||
        (path[2] != '?' && path[2] != '.') || path[3] != '\\')
        return nullptr;
    std::u16string link = u"\\??\\";
    for (const char* c = path + 4; *c != '\0'; ++c)
        link.push_back(static_cast<unsigned char>(*c));
    for (const auto& i : sim::current().pnp().interfaces().all())
        if (i.enabled && sameIgnoringCase(i.link, link))
            return i.pdo;
    return nullptr;
}

} // namespace

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                          DWORD dwFlagsAndAttributes, HANDLE) {
    const PDEVICE_OBJECT device = interfaceDevice(lpFileName);
    if (device == nullptr) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<sim::FileObject> object;
    const NTSTATUS status = sim::current().files().open(device, &object);
    if (!NT_SUCCESS(status)) {
        SetLastError(sim::app::win32ErrorFor(status));
        return INVALID_HANDLE_VALUE;
    }
    auto file = std::make_shared<File>();
    file->object = std::move(object);
    file->overlapped = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    return sim::current().process().add(std::move(file));
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    auto object = sim::current().process().remove(hObject);
    if (!object)
        return fail(ERROR_INVALID_HANDLE);
    if (auto* file = std::get_if<std::shared_ptr<File>>(&*object))
        sim::current().files().closeHandle((*file)->object);
    return TRUE;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    return readOrWrite(hFile, IRP_MJ_READ, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead,
                       lpOverlapped);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    return readOrWrite(hFile, IRP_MJ_WRITE, const_cast<void*>(lpBuffer), nNumberOfBytesToWrite,
                       lpNumberOfBytesWritten, lpOverlapped);
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
    auto file = sim::current().process().get<File>(hDevice);
    if (file == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    if ((lpInBuffer == nullptr && nInBufferSize > 0) ||
        (lpOutBuffer == nullptr && nOutBufferSize > 0) ||
        !buffersReachable(dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize))
        return fail(ERROR_NOACCESS);
    return run(
        *file, lpOverlapped, lpBytesReturned, [](const IO_STATUS_BLOCK*) {},
        [&](sim::FileIo::Done done) {
            return sim::current().files().deviceControl(file->object, dwIoControlCode, lpInBuffer,
                                                        nInBufferSize, lpOutBuffer, nOutBufferSize,
                                                        std::move(done));
        });
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    auto file = sim::current().process().get<File>(hFile);
    if (file == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    if (lpOverlapped == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    std::atomic_ref<ULONG_PTR> internal(lpOverlapped->Internal);
    const auto pending = [&] {
        return internal.load(std::memory_order_acquire) == static_cast<ULONG_PTR>(STATUS_PENDING);
    };
    if (pending()) {
        if (!bWait)
            return fail(ERROR_IO_INCOMPLETE);
        std::shared_ptr<Event> signal = file->completions;
        if (lpOverlapped->hEvent != nullptr)
            signal = sim::current().process().get<Event>(lpOverlapped->hEvent);
        if (signal == nullptr)
            return fail(ERROR_INVALID_HANDLE);
        // The signal may be shared with other requests: wait until this one has ended.
        while (pending()) {
            signal->wait(INFINITE);
            if (pending())
                std::this_thread::yield();
        }
    }
    // The count goes to the caller whatever the status, a failure's too.
    const auto status = static_cast<NTSTATUS>(internal.load(std::memory_order_acquire));
    if (lpNumberOfBytesTransferred != nullptr)
        *lpNumberOfBytesTransferred =
            static_cast<DWORD>(std::atomic_ref<ULONG_PTR>(lpOverlapped->InternalHigh).load());
    if (NT_SUCCESS(status))
        return TRUE;
    return fail(sim::app::win32ErrorFor(status));
}

BOOL WINAPI CancelIo(HANDLE hFile) {
    auto file = sim::current().process().get<File>(hFile);
    if (file == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    sim::current().files().cancelOwn(file->object);
    return TRUE;
}

} // extern "C"
