// What the tests of the application side share: a device of a small test driver, registered under
// an interface class of its own, that answers the requests an application's calls send with
// handlers the test picks; and a record of what reached it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/app/win32.h"
#include "sim/core/system.h"
#include "sim/io/io_manager.h"
#include "tests/support/application.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/test_driver.h"

namespace wdmusb::test {

inline constexpr GUID kAppTestClass = {
    0x5eed0002, 0x77aa, 0x4b1c, {0x8d, 0x2e, 0x10, 0x20, 0x30, 0x40, 0x50, 0x61}};

// What the device saw of one request.
struct Arrival {
    UCHAR major = 0;
    PFILE_OBJECT file = nullptr;
    ULONG length = 0; // read/write length, or the control code's output length
    bool hasMdl = false;
    std::thread::id thread;
};

class ApplicationTest : public SimTest {
protected:
    // A device with an enabled interface of kAppTestClass (or another class); create, cleanup
    // and close succeed, everything else goes to `requests`.
    PDEVICE_OBJECT makeDevice(IrpHandler requests, ULONG ioFlags = DO_DIRECT_IO, bool enable = true,
                              const GUID& interfaceClass = kAppTestClass) {
        PDEVICE_OBJECT device = driver_.createDevice([this, requests](PDEVICE_OBJECT d, PIRP irp) {
            record(irp);
            const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
            if (major == IRP_MJ_CREATE || major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE)
                return complete(irp, STATUS_SUCCESS);
            return requests(d, irp);
        });
        device->Flags |= ioFlags;
        UNICODE_STRING link{};
        EXPECT_EQ(IoRegisterDeviceInterface(device, &interfaceClass, nullptr, &link),
                  STATUS_SUCCESS);
        if (enable)
            IoSetDeviceInterfaceState(&link, TRUE);
        RtlFreeUnicodeString(&link);
        return device;
    }

public:
    static NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = information;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }

protected:
    // A handler that keeps each request pending, for the test to complete.
    IrpHandler holdRequests() {
        return [this](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            std::lock_guard lock(mutex_);
            held_.push_back(irp);
            return STATUS_PENDING;
        };
    }
    // Completes the oldest held request (at DISPATCH_LEVEL on another thread, as a DPC would).
    void completeHeld(NTSTATUS status, ULONG_PTR information = 0) {
        PIRP irp = nullptr;
        {
            std::lock_guard lock(mutex_);
            ASSERT_FALSE(held_.empty());
            irp = held_.front();
            held_.erase(held_.begin());
        }
        IoSetCancelRoutine(irp, nullptr);
        std::thread([irp, status, information] {
            KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
            complete(irp, status, information);
            KfLowerIrql(old);
        }).join();
    }
    std::size_t heldCount() {
        std::lock_guard lock(mutex_);
        return held_.size();
    }
    // Waits until `count` requests are held (a request is recorded as it arrives, before its
    // handler holds it).
    bool waitForHeld(std::size_t count) {
        for (int i = 0; i < 5000; ++i) {
            if (heldCount() >= count)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    std::vector<Arrival> arrivals() {
        std::lock_guard lock(mutex_);
        return arrivals_;
    }
    std::vector<UCHAR> majors() {
        std::vector<UCHAR> out;
        for (const Arrival& a : arrivals())
            out.push_back(a.major);
        return out;
    }
    // Waits until `major` has arrived `count` times.
    bool waitFor(UCHAR major, std::size_t count) {
        for (int i = 0; i < 5000; ++i) {
            const auto seen = majors();
            if (static_cast<std::size_t>(std::count(seen.begin(), seen.end(), major)) >= count)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    TestDriver driver_;

private:
    void record(PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        Arrival a{stack->MajorFunction, stack->FileObject, 0, irp->MdlAddress != nullptr,
                  std::this_thread::get_id()};
        if (a.major == IRP_MJ_READ || a.major == IRP_MJ_WRITE)
            a.length = stack->Parameters.Read.Length;
        if (a.major == IRP_MJ_DEVICE_CONTROL)
            a.length = stack->Parameters.DeviceIoControl.OutputBufferLength;
        std::lock_guard lock(mutex_);
        arrivals_.push_back(a);
    }

    std::mutex mutex_; // guards held_ and arrivals_
    std::vector<PIRP> held_;
    std::vector<Arrival> arrivals_;
};

} // namespace wdmusb::test
