// The I/O manager's side of an application's requests: the file object behind each open handle,
// and the IRPs built for create, read, write, device control, cleanup and close, as the platform
// builds them for a request from user mode.
//
//   - create: IRP_MJ_CREATE to the top of the device's stack, with the new file object; the file
//     object holds a reference on that device (the Plug and Play manager counts these handles);
//   - read and write: by the device's I/O method. Direct I/O (DO_DIRECT_IO): the application's
//     buffer is probed and locked for the access the request needs (a buffer that cannot be is
//     refused with STATUS_ACCESS_VIOLATION and nothing is sent), and the IRP carries its MDL;
//     buffered I/O: a system buffer copied in (write) or out (read, the information length);
//     neither: UserBuffer. A request of 0 bytes carries no MDL and no system buffer;
//   - device control: METHOD_BUFFERED copies the input into a system buffer from the pool and,
//     unless the request failed, copies back the information length (never more than the output
//     buffer); METHOD_NEITHER hands the driver the application's pointers. The direct methods
//     are not modelled (STATUS_NOT_IMPLEMENTED, nothing sent);
//   - closing a handle: IRP_MJ_CLEANUP at once; IRP_MJ_CLOSE when no request of the file object
//     is in flight any more (from a worker thread at PASSIVE_LEVEL when that is later), after
//     which the device reference is given back. A deleted device object still receives the
//     cleanup and close of the file objects that keep it;
//   - a thread that ends (or every thread of a process that exits): each request it issued that
//     is still in flight is cancelled, and the end waits for them all. One still in flight
//     cancelWaitLimit() after its cancel is Rule::CancelledRequestHung (the platform's hung
//     thread termination: it waits five minutes, then gives the request up); the end then goes
//     on without it.
//
// At the top of completion, before the caller hears of it, the I/O manager checks what reaches
// the application: a run of fresh or freed pool fill in the system buffer's returned bytes, or a
// long one in a direct-I/O buffer the request read into, is Rule::UninitialisedMemoryExposed.
//
// Requests are sent on the calling thread, which must be at PASSIVE_LEVEL. Thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/host/host_platform.h"

namespace sim {

// One file object: what an application's handle to a device refers to.
class FileObject {
public:
    PFILE_OBJECT object() { return &object_; }
    PDEVICE_OBJECT device() const { return device_; }
    // Requests of this file object not yet completed.
    std::size_t inFlight() const;

private:
    friend class FileIo;
    FILE_OBJECT object_{};
    PDEVICE_OBJECT device_ = nullptr;
    // Guards everything below. Taken under the I/O manager's lock (at the end of a request), so
    // never held while calling into the I/O manager.
    mutable std::mutex mutex_;
    struct Request {
        PIRP irp;
        std::uint64_t id; // the IRP's number, should its address be reused
        std::thread::id issuer;
    };
    std::vector<Request> requests_; // in flight
    bool closeWanted_ = false; // the handle is closed: send the close when nothing is in flight
    bool closeSent_ = false;
};

// What became of a request: sent (status is the dispatch routine's), or refused before anything
// was sent (status says why; its completion never runs).
struct Submission {
    NTSTATUS status = STATUS_SUCCESS;
    bool sent = false;
};

class FileIo {
public:
    // What a request ended with: called once, at the top of its completion, on the completing
    // thread (at up to DISPATCH_LEVEL), after the I/O manager has copied back what it copies.
    using Done = std::function<void(const IO_STATUS_BLOCK&)>;

    FileIo() = default;
    ~FileIo(); // waits for closes that are being sent
    // Waits for the closes that the end of a handle's last request is sending.
    void waitClosers();
    FileIo(const FileIo&) = delete;
    FileIo& operator=(const FileIo&) = delete;

    // Opens the top of the stack `device` belongs to and waits for the answer. On success *file
    // is the new file object.
    NTSTATUS open(PDEVICE_OBJECT device, std::shared_ptr<FileObject>* file);
    // IRP_MJ_READ or IRP_MJ_WRITE of [buffer, +length) of the user address space.
    Submission transfer(const std::shared_ptr<FileObject>& file, UCHAR major, void* buffer,
                        ULONG length, Done done);
    // IRP_MJ_DEVICE_CONTROL; input and output are the application's (host) buffers.
    Submission deviceControl(const std::shared_ptr<FileObject>& file, ULONG code, const void* input,
                             ULONG inputLength, void* output, ULONG outputLength, Done done);
    // IoCancelIrp on every request in flight that the calling thread issued on the file object.
    void cancelOwn(const std::shared_ptr<FileObject>& file);
    // The end of the calling thread: its requests in flight, on every file object, cancelled and
    // waited for. Returns how many were cancelled.
    std::size_t endThread();
    // The exit of the process: every request in flight cancelled and waited for, whichever
    // thread issued it. Returns how many were cancelled.
    std::size_t endProcess();
    // How long an end waits for a cancelled request before reporting it (default 5 s).
    void setCancelWaitLimit(std::chrono::milliseconds limit) { cancelWaitLimit_ = limit; }
    std::chrono::milliseconds cancelWaitLimit() const { return cancelWaitLimit_; }
    // The handle is closed: cleanup now, the close once nothing is in flight.
    void closeHandle(const std::shared_ptr<FileObject>& file);

private:
    // An IRP for the file object's device with its first stack location filled.
    PIRP buildIrp(FileObject& file, UCHAR major);
    // Sends an IRP the I/O manager owns; `finishing` runs at the top before `done`.
    Submission send(const std::shared_ptr<FileObject>& file, PIRP irp,
                    std::function<void(PIRP)> finishing, Done done);
    // Create, cleanup and close: sent and waited for on the calling thread.
    NTSTATUS sendAndWait(FileObject& file, UCHAR major);
    void requestEnded(const std::shared_ptr<FileObject>& file, PIRP irp);
    void sendClose(const std::shared_ptr<FileObject>& file);
    // Cancels the requests in flight that `issuedBy` selects (every one when empty), then waits
    // for them; returns how many it cancelled.
    std::size_t cancelAndWait(std::optional<std::thread::id> issuedBy);

    struct InFlight {
        std::shared_ptr<FileObject> file;
        FileObject::Request request;
    };
    std::vector<InFlight> inFlight(std::optional<std::thread::id> issuedBy);

    std::mutex mutex_; // guards closers_ and files_
    std::vector<std::thread> closers_;
    std::vector<std::weak_ptr<FileObject>> files_; // every file object opened, while it lives
    std::mutex endMutex_;                          // orders requestEnd_ with the ends of requests
    std::condition_variable requestEnd_;           // a request of some file object has ended
    std::chrono::milliseconds cancelWaitLimit_{5000};
};

} // namespace sim
