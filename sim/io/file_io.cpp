#include "sim/io/file_io.h"

#include <algorithm>
#include <cstring>
#include <sstream>

#include "sim/core/system.h"
#include "sim/io/io_manager.h"
#include "sim/memory/mdl_table.h"
#include "sim/memory/pool.h"
#include "sim/memory/user_space.h"
#include "sim/pnp/pnp_manager.h"

namespace sim {

namespace {

// A run this long of pool fill in data a device sent is taken for pool memory that reached the
// application: random data holds one with a chance of 2^-124 per byte.
constexpr std::size_t kDirectPoisonRunBytes = 16;

bool isError(NTSTATUS status) {
    return static_cast<ULONG>(status) >= 0xC0000000UL;
}

std::string hex(ULONG value) {
    std::ostringstream out;
    out << "0x" << std::hex << value;
    return out.str();
}

// The fill found in bytes the application is about to see, reported against the IRP.
void checkExposed(PIRP irp, const void* bytes, std::size_t length, std::size_t runBytes,
                  const char* where) {
    const auto at = Pool::findFillRun(bytes, length, runBytes);
    if (!at)
        return;
    current().verifier().report(Rule::UninitialisedMemoryExposed,
                                std::string(where) + " of " + current().io().describeIrp(irp) +
                                    " hands the application pool memory nobody wrote, at byte " +
                                    std::to_string(*at) + " of the " + std::to_string(length) +
                                    " it returns");
}

} // namespace

std::size_t FileObject::inFlight() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

FileIo::~FileIo() {
    waitClosers();
}

void FileIo::waitClosers() {
    std::vector<std::thread> closers;
    {
        std::lock_guard lock(mutex_);
        closers.swap(closers_);
    }
    for (auto& t : closers)
        t.join();
}

PIRP FileIo::buildIrp(FileObject& file, UCHAR major) {
    IoManager& io = current().io();
    PIRP irp =
        io.allocateIrp(file.device_->StackSize, IrpOrigin::Application, SimCallSite::current());
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = &file.object_;
    PIO_STACK_LOCATION first = irp->Tail.Overlay.CurrentStackLocation - 1;
    first->MajorFunction = major;
    first->FileObject = &file.object_;
    return irp;
}

NTSTATUS FileIo::sendAndWait(FileObject& file, UCHAR major) {
    IoManager& io = current().io();
    PIRP irp = buildIrp(file, major);
    struct Waiter {
        KEVENT event;
        NTSTATUS status = STATUS_PENDING;
    };
    auto waiter = std::make_shared<Waiter>();
    KeInitializeEvent(&waiter->event, NotificationEvent, FALSE);
    io.setTopCompletion(irp, [waiter](PIRP done) {
        waiter->status = done->IoStatus.Status;
        KeSetEvent(&waiter->event, IO_NO_INCREMENT, FALSE);
    });
    io.callDriver(file.device_, irp, false, SimCallSite::current());
    KeWaitForSingleObject(&waiter->event, Executive, UserMode, FALSE, nullptr);
    return waiter->status;
}

NTSTATUS FileIo::open(PDEVICE_OBJECT device, std::shared_ptr<FileObject>* file) {
    IoManager& io = current().io();
    auto opened = std::make_shared<FileObject>();
    opened->device_ = io.topOfStack(device);
    opened->object_.Type = IO_TYPE_FILE;
    opened->object_.Size = sizeof(FILE_OBJECT);
    opened->object_.DeviceObject = device;
    opened->object_.ReadAccess = TRUE;
    opened->object_.WriteAccess = TRUE;
    io.referenceDevice(opened->device_);
    const NTSTATUS status = sendAndWait(*opened, IRP_MJ_CREATE);
    if (!NT_SUCCESS(status)) {
        io.dereferenceDevice(opened->device_);
        return status;
    }
    {
        std::lock_guard lock(mutex_);
        std::erase_if(files_, [](const auto& f) { return f.expired(); });
        files_.push_back(opened);
    }
    *file = std::move(opened);
    return status;
}

Submission FileIo::send(const std::shared_ptr<FileObject>& file, PIRP irp,
                        std::function<void(PIRP)> finishing, Done done) {
    IoManager& io = current().io();
    // The I/O manager's lock is taken before a file object's, never the other way round: the
    // end of a request runs under the former and takes the latter.
    const std::uint64_t id = io.irpId(irp);
    {
        std::lock_guard lock(file->mutex_);
        file->requests_.push_back({irp, id, std::this_thread::get_id()});
    }
    io.setTopCompletion(
        irp, [this, file, finishing = std::move(finishing), done = std::move(done)](PIRP finished) {
            finishing(finished);
            const IO_STATUS_BLOCK result = finished->IoStatus;
            requestEnded(file, finished);
            done(result);
        });
    return {io.callDriver(file->device_, irp, false, SimCallSite::current()), true};
}

Submission FileIo::transfer(const std::shared_ptr<FileObject>& file, UCHAR major, void* buffer,
                            ULONG length, Done done) {
    MdlTable& mdls = current().mdls();
    const ULONG flags = file->device_->Flags;
    const SimCallSite site = SimCallSite::current();
    const bool reading = major == IRP_MJ_READ;

    // Direct I/O: the pages are probed and locked before anything is sent.
    PMDL mdl = nullptr;
    if ((flags & DO_DIRECT_IO) != 0 && length > 0) {
        mdl = mdls.allocate(buffer, length, site);
        if (mdls.probeAndLock(mdl, UserMode, reading ? IoWriteAccess : IoReadAccess, site) !=
            STATUS_SUCCESS) {
            mdls.free(mdl, site);
            return {STATUS_ACCESS_VIOLATION, false};
        }
    }
    void* system = nullptr;
    if ((flags & DO_BUFFERED_IO) != 0 && length > 0) {
        system = current().pool().allocate(length, Pool::kPlatformTag, site);
        if (!reading && !current().userSpace().read(buffer, system, length)) {
            current().pool().free(system, site);
            return {STATUS_ACCESS_VIOLATION, false};
        }
    }

    PIRP irp = buildIrp(*file, major);
    PIO_STACK_LOCATION first = irp->Tail.Overlay.CurrentStackLocation - 1;
    first->Parameters.Read.Length = length; // the same word for a write
    irp->MdlAddress = mdl;
    irp->AssociatedIrp.SystemBuffer = system;
    if ((flags & (DO_DIRECT_IO | DO_BUFFERED_IO)) == 0)
        irp->UserBuffer = buffer;

    auto finishing = [reading, buffer, system](PIRP finished) {
        const std::size_t moved = isError(finished->IoStatus.Status)
                                      ? 0
                                      : static_cast<std::size_t>(finished->IoStatus.Information);
        const SimCallSite here = SimCallSite::current();
        if (PMDL request = finished->MdlAddress) {
            // A device's data may hold a few fill bytes by chance: only a whole run counts here.
            if (reading &&
                std::min<std::size_t>(moved, request->ByteCount) >= kDirectPoisonRunBytes)
                if (const std::byte* bytes = current().mdls().lockedBytes(request))
                    checkExposed(finished, bytes, std::min<std::size_t>(moved, request->ByteCount),
                                 kDirectPoisonRunBytes, "the read");
            current().mdls().unlockAndFreeChain(request, here);
        }
        if (system != nullptr) {
            if (reading && moved > 0) {
                checkExposed(finished, system, moved, Pool::kPoisonRunBytes, "the read");
                current().userSpace().write(buffer, system, moved);
            }
            current().pool().free(system, here);
        }
    };
    return send(file, irp, std::move(finishing), std::move(done));
}

Submission FileIo::deviceControl(const std::shared_ptr<FileObject>& file, ULONG code,
                                 const void* input, ULONG inputLength, void* output,
                                 ULONG outputLength, Done done) {
    const ULONG method = METHOD_FROM_CTL_CODE(code);
    if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT)
        return {STATUS_NOT_IMPLEMENTED, false};
    const SimCallSite site = SimCallSite::current();
    void* system = nullptr;
    const ULONG systemLength = std::max(inputLength, outputLength);
    if (method == METHOD_BUFFERED && systemLength > 0) {
        system = current().pool().allocate(systemLength, Pool::kPlatformTag, site);
        if (inputLength > 0)
            std::memcpy(system, input, inputLength);
    }

    PIRP irp = buildIrp(*file, IRP_MJ_DEVICE_CONTROL);
    PIO_STACK_LOCATION first = irp->Tail.Overlay.CurrentStackLocation - 1;
    first->Parameters.DeviceIoControl.IoControlCode = code;
    first->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    first->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    if (method == METHOD_BUFFERED) {
        irp->AssociatedIrp.SystemBuffer = system;
    } else {
        first->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
        irp->UserBuffer = output;
    }

    auto finishing = [system, output, outputLength, code](PIRP finished) {
        if (system == nullptr)
            return;
        std::size_t returned = static_cast<std::size_t>(finished->IoStatus.Information);
        if (returned > outputLength && !isError(finished->IoStatus.Status)) {
            current().verifier().report(Rule::ObjectMisuse,
                                        current().io().describeIrp(finished) + " (control code " +
                                            hex(code) + ") returns " + std::to_string(returned) +
                                            " bytes for an output buffer of " +
                                            std::to_string(outputLength));
            returned = outputLength;
        }
        if (!isError(finished->IoStatus.Status) && returned > 0) {
            checkExposed(finished, system, returned, Pool::kPoisonRunBytes, "the control code");
            std::memcpy(output, system, returned);
        }
        current().pool().free(system, SimCallSite::current());
    };
    return send(file, irp, std::move(finishing), std::move(done));
}

void FileIo::cancelOwn(const std::shared_ptr<FileObject>& file) {
    std::vector<FileObject::Request> mine;
    {
        std::lock_guard lock(file->mutex_);
        for (const auto& request : file->requests_)
            if (request.issuer == std::this_thread::get_id())
                mine.push_back(request);
    }
    // Each may have completed since: the I/O manager cancels it only if it is still in flight.
    for (const auto& request : mine)
        current().io().cancelIfInFlight(request.irp, request.id, SimCallSite::current());
}

std::vector<FileIo::InFlight> FileIo::inFlight(std::optional<std::thread::id> issuedBy) {
    std::vector<std::shared_ptr<FileObject>> files;
    {
        std::lock_guard lock(mutex_);
        for (const auto& weak : files_)
            if (auto file = weak.lock())
                files.push_back(std::move(file));
    }
    std::vector<InFlight> found;
    for (const auto& file : files) {
        std::lock_guard lock(file->mutex_);
        for (const auto& request : file->requests_)
            if (!issuedBy || request.issuer == *issuedBy)
                found.push_back({file, request});
    }
    return found;
}

std::size_t FileIo::cancelAndWait(std::optional<std::thread::id> issuedBy) {
    const std::vector<InFlight> cancelled = inFlight(issuedBy);
    for (const auto& r : cancelled)
        current().io().cancelIfInFlight(r.request.irp, r.request.id, SimCallSite::current());
    const auto stillInFlight = [&] {
        std::vector<const InFlight*> left;
        for (const auto& r : cancelled) {
            std::lock_guard lock(r.file->mutex_);
            if (std::any_of(r.file->requests_.begin(), r.file->requests_.end(),
                            [&](const auto& q) { return q.id == r.request.id; }))
                left.push_back(&r);
        }
        return left;
    };
    std::unique_lock lock(endMutex_);
    if (requestEnd_.wait_for(lock, cancelWaitLimit_, [&] { return stillInFlight().empty(); }))
        return cancelled.size();
    lock.unlock();
    for (const InFlight* r : stillInFlight())
        current().verifier().report(Rule::CancelledRequestHung,
                                    current().io().describeIrp(r->request.irp) +
                                        " is still in flight " +
                                        std::to_string(cancelWaitLimit_.count()) +
                                        " ms after the end of its thread cancelled it");
    return cancelled.size();
}

std::size_t FileIo::endThread() {
    return cancelAndWait(std::this_thread::get_id());
}

std::size_t FileIo::endProcess() {
    return cancelAndWait(std::nullopt);
}

void FileIo::requestEnded(const std::shared_ptr<FileObject>& file, PIRP irp) {
    bool closeNow = false;
    {
        std::lock_guard lock(file->mutex_);
        std::erase_if(file->requests_, [irp](const auto& r) { return r.irp == irp; });
        closeNow = file->closeWanted_ && file->requests_.empty() && !file->closeSent_;
        if (closeNow)
            file->closeSent_ = true;
    }
    {
        std::lock_guard lock(endMutex_); // a thread's end checks the requests under it
    }
    requestEnd_.notify_all();
    if (!closeNow)
        return;
    // The close is a dispatch routine's work at PASSIVE_LEVEL; this runs at the top of a
    // completion, possibly at DISPATCH_LEVEL, as the last reference to the file object goes.
    std::lock_guard lock(mutex_);
    closers_.emplace_back([this, file] { sendClose(file); });
}

void FileIo::closeHandle(const std::shared_ptr<FileObject>& file) {
    sendAndWait(*file, IRP_MJ_CLEANUP); // its status is not the application's business
    bool closeNow = false;
    {
        std::lock_guard lock(file->mutex_);
        file->closeWanted_ = true;
        closeNow = file->requests_.empty() && !file->closeSent_;
        if (closeNow)
            file->closeSent_ = true;
    }
    if (closeNow)
        sendClose(file);
}

void FileIo::sendClose(const std::shared_ptr<FileObject>& file) {
    sendAndWait(*file, IRP_MJ_CLOSE);
    current().io().dereferenceDevice(file->device_);
    current().pnp().handleClosed(file->device_);
}

} // namespace sim
