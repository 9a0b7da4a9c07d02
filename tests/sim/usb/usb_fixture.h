// What the bus tests share: a bus with the loopback device plugged in, and a small "driver" that
// sends URBs and port requests to the PDO the way a function driver does, synchronously (an IRP
// the I/O manager builds, waited on) or asynchronously (its own IRP, taken back in a completion
// routine and freed).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "sim/core/system.h"
#include "sim/sync/dispatcher.h"
#include "sim/usb/bus_driver.h"
#include "sim/usb/loopback_device.h"
#include "tests/support/sim_fixture.h"

namespace wdmusb::test {

using sim::usb::LoopbackDevice;

inline constexpr ULONG kTestTag = 0x74736554; // "Test"

// A URB in its own zero-filled host memory (as a driver's pool block would be, without the pool).
template <class T> struct UrbOf {
    URB urb{};
    T& operator*() { return *reinterpret_cast<T*>(&urb); }
    T* operator->() { return reinterpret_cast<T*>(&urb); }
    PURB get() { return &urb; }
};

struct SyncResult {
    NTSTATUS returned = 0; // what IofCallDriver returned
    NTSTATUS status = 0;   // the IRP's final status
};

// One URB sent with the driver's own IRP; the completion routine records the end and takes the
// IRP back (STATUS_MORE_PROCESSING_REQUIRED). The IRP is freed when the object goes away, or with
// `freeOnCompletion` in the completion routine itself, as a driver's chunk IRPs are.
class AsyncUrb {
public:
    AsyncUrb(PDEVICE_OBJECT target, PURB urb, bool freeOnCompletion = false)
        : target_(target), urb_(urb), freeOnCompletion_(freeOnCompletion) {
        KeInitializeEvent(&done_, NotificationEvent, FALSE);
        irp_ = IoAllocateIrp(target->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = urb;
        IoSetCompletionRoutine(irp_, &AsyncUrb::completion, this, TRUE, TRUE, TRUE);
    }
    ~AsyncUrb() {
        if (completed() && !freeOnCompletion_)
            IoFreeIrp(irp_);
    }
    AsyncUrb(const AsyncUrb&) = delete;
    AsyncUrb& operator=(const AsyncUrb&) = delete;

    NTSTATUS send() { return returned_ = IofCallDriver(target_, irp_); }
    bool completed() const { return completed_.load(); }
    void wait() { KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr); }
    NTSTATUS status() const { return status_; }
    NTSTATUS returned() const { return returned_; }
    KIRQL completionIrql() const { return irql_; }
    bool completedOnSendingThread() const { return sameThread_; }
    BOOLEAN cancel() { return IoCancelIrp(irp_); }
    PIRP irp() const { return irp_; }
    PURB urb() const { return urb_; }

private:
    static NTSTATUS NTAPI completion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* self = static_cast<AsyncUrb*>(context);
        self->status_ = irp->IoStatus.Status;
        self->irql_ = sim::currentIrql();
        self->sameThread_ = std::this_thread::get_id() == self->sender_;
        if (self->freeOnCompletion_)
            IoFreeIrp(irp);
        self->completed_.store(true);
        KeSetEvent(&self->done_, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    PDEVICE_OBJECT target_;
    PURB urb_;
    bool freeOnCompletion_;
    PIRP irp_ = nullptr;
    KEVENT done_{};
    std::atomic<bool> completed_{false};
    NTSTATUS status_ = 0;
    NTSTATUS returned_ = 0;
    KIRQL irql_ = 0;
    bool sameThread_ = false;
    std::thread::id sender_ = std::this_thread::get_id();
};

class UsbBusTest : public SimTest {
protected:
    // Plugs the loopback device, or `model` (the loopback or a subclass of it).
    explicit UsbBusTest(std::shared_ptr<sim::usb::DeviceModel> model = nullptr)
        : device_(bus_.plug(std::move(model))) {}

    // The way a function driver waits for one request: IoBuildDeviceIoControlRequest, the
    // argument in Argument1, wait when pending.
    SyncResult control(ULONG code, PVOID argument) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(code, device_.pdo(), nullptr, 0, nullptr, 0, TRUE,
                                                 &event, &iosb);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument;
        SyncResult result;
        result.returned = IofCallDriver(device_.pdo(), irp);
        if (result.returned == STATUS_PENDING)
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        result.status = result.returned == STATUS_PENDING ? iosb.Status : result.returned;
        return result;
    }
    SyncResult submit(PURB urb) { return control(IOCTL_INTERNAL_USB_SUBMIT_URB, urb); }

    ULONG portStatus() {
        ULONG word = 0xFFFFFFFF;
        EXPECT_EQ(control(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &word).status, STATUS_SUCCESS);
        return word;
    }

    // GET_DESCRIPTOR_FROM_DEVICE into `buffer`; returns the URB as completed.
    UrbOf<_URB_CONTROL_DESCRIPTOR_REQUEST> descriptorUrb(UCHAR type,
                                                         std::vector<std::uint8_t>& buffer) {
        UrbOf<_URB_CONTROL_DESCRIPTOR_REQUEST> u;
        u->Hdr.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
        u->Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
        u->TransferBufferLength = static_cast<ULONG>(buffer.size());
        u->TransferBuffer = buffer.data();
        u->DescriptorType = type;
        return u;
    }

    UrbOf<_URB_BULK_OR_INTERRUPT_TRANSFER> bulkUrb(USBD_PIPE_HANDLE pipe, bool in,
                                                   std::vector<std::uint8_t>& buffer,
                                                   bool shortOk = true) {
        UrbOf<_URB_BULK_OR_INTERRUPT_TRANSFER> u;
        u->Hdr.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
        u->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        u->PipeHandle = pipe;
        u->TransferFlags =
            (in ? USBD_TRANSFER_DIRECTION_IN : 0) | (shortOk ? USBD_SHORT_TRANSFER_OK : 0);
        u->TransferBufferLength = static_cast<ULONG>(buffer.size());
        u->TransferBuffer = buffer.data();
        return u;
    }

    UrbOf<_URB_CONTROL_VENDOR_OR_CLASS_REQUEST> vendorUrb(bool in, UCHAR request, USHORT value,
                                                          USHORT index,
                                                          std::vector<std::uint8_t>& buffer) {
        UrbOf<_URB_CONTROL_VENDOR_OR_CLASS_REQUEST> u;
        u->Hdr.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
        u->Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
        u->TransferFlags = in ? USBD_TRANSFER_DIRECTION_IN : 0;
        u->TransferBufferLength = static_cast<ULONG>(buffer.size());
        u->TransferBuffer = buffer.empty() ? nullptr : buffer.data();
        u->Request = request;
        u->Value = value;
        u->Index = index;
        return u;
    }

    UrbOf<_URB_PIPE_REQUEST> pipeUrb(USHORT function, USBD_PIPE_HANDLE pipe) {
        UrbOf<_URB_PIPE_REQUEST> u;
        u->Hdr.Length = sizeof(_URB_PIPE_REQUEST);
        u->Hdr.Function = function;
        u->PipeHandle = pipe;
        return u;
    }

    // Selects the device's configuration as a function driver does; returns the interface
    // record's copy (pipe 0 IN, pipe 1 OUT on the loopback device).
    struct Selected {
        USBD_CONFIGURATION_HANDLE configuration = nullptr;
        std::vector<USBD_PIPE_INFORMATION> pipes;
        USBD_INTERFACE_INFORMATION interface {};
    };
    Selected selectConfiguration() {
        configuration_ = LoopbackDevice::defaultConfigurationDescriptor();
        auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration_.data());
        USHORT size = 0;
        PURB urb = USBD_CreateConfigurationRequest(config, &size);
        Selected out;
        EXPECT_EQ(submit(urb).status, STATUS_SUCCESS);
        out.configuration = urb->UrbSelectConfiguration.ConfigurationHandle;
        out.interface = urb->UrbSelectConfiguration.Interface;
        const PUSBD_PIPE_INFORMATION pipes = urb->UrbSelectConfiguration.Interface.Pipes;
        out.pipes.assign(pipes, pipes + urb->UrbSelectConfiguration.Interface.NumberOfPipes);
        ExFreePool(urb);
        return out;
    }

    sim::usb::BusDriver bus_;
    sim::usb::BusDevice& device_;
    LoopbackDevice& loopback_ = device_.modelAs<LoopbackDevice>();
    std::vector<std::uint8_t> configuration_;
};

} // namespace wdmusb::test
