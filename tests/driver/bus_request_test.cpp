// Requests the driver sends to the bus driver and waits for (URBs, port status and reset, the
// capability query), and the pipe and port recovery built on them.
#include <gtest/gtest.h>

#include <thread>

#include "tests/driver/driver_on_bus.h"
#include "tests/driver/fdo_by_hand.h"
#include "tests/support/driver_build.h"
#include "tests/support/test_driver.h"
#include "usb/bus_request.h"
#include "usb/descriptor_request.h"
#include "usb/pipe_marker.h"
#include "usb/recovery.h"

namespace wdmusb::test {
namespace {

class BusRequestTest : public DriverOnBusTest {
protected:
    // The loopback device, started: pipe 0 is IN 0x81, pipe 1 OUT 0x02.
    PDEVICE_OBJECT startedFdo() {
        sim::DeviceNode& node = plugAndStart();
        EXPECT_EQ(node.startStatus, STATUS_SUCCESS);
        device_ = node.busDevice;
        recorder_.clear();
        return fdoOf(node);
    }

    PUSBD_PIPE_INFORMATION pipe(PDEVICE_OBJECT fdo, ULONG index) {
        return &GetExtension(fdo)->InterfaceInformation->Pipes[index];
    }

    // Binds pipes as an open handle does.
    void bind(PDEVICE_OBJECT fdo, std::initializer_list<ULONG> pipes) {
        for (ULONG index : pipes) {
            ASSERT_TRUE(TryBindPipe(pipe(fdo, index)));
            GetExtension(fdo)->OpenPipeCount++;
        }
    }

    sim::usb::BusDevice* device_ = nullptr;
};

// A pool-backed device-descriptor request, as the driver would build it.
struct DescriptorRead {
    DescriptorRead() {
        urb = static_cast<PURB>(AllocateDriverPool(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)));
        buffer = AllocateDriverPool(sizeof(USB_DEVICE_DESCRIPTOR));
        BuildGetDescriptorRequest(urb, USB_DEVICE_DESCRIPTOR_TYPE, buffer,
                                  sizeof(USB_DEVICE_DESCRIPTOR));
    }
    ~DescriptorRead() {
        ExFreePool(urb);
        ExFreePool(buffer);
    }
    PURB urb;
    PVOID buffer;
};

TEST_F(BusRequestTest, OnlyTheIrpStatusDecidesWhetherAUrbSucceeded) {
    SOURCE_BUILD_ONLY();
    PDEVICE_OBJECT fdo = startedFdo();
    struct Case {
        CompletionMode mode;
        NTSTATUS irpStatus;
        USBD_STATUS usbStatus;
    };
    const Case cases[] = {
        {CompletionMode::Inline, STATUS_SUCCESS, USBD_STATUS_STALL_PID},
        {CompletionMode::Thread, STATUS_SUCCESS, USBD_STATUS_STALL_PID},
        {CompletionMode::Inline, STATUS_UNSUCCESSFUL, USBD_STATUS_SUCCESS},
        {CompletionMode::Thread, STATUS_UNSUCCESSFUL, USBD_STATUS_SUCCESS},
        {CompletionMode::Thread, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        bus_.controller().setMode(c.mode);
        if (c.irpStatus != STATUS_SUCCESS || c.usbStatus != USBD_STATUS_SUCCESS)
            device_->faults().add(UrbFault::on(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE)
                                      .failWith(c.irpStatus, c.usbStatus));
        DescriptorRead read;
        EXPECT_EQ(SubmitUrbSync(fdo, read.urb), c.irpStatus)
            << "IRP " << std::hex << c.irpStatus << ", USB " << c.usbStatus;
        EXPECT_EQ(read.urb->UrbHeader.Status, c.usbStatus);
    }
    const auto urbs = recorder_.records();
    ASSERT_EQ(urbs.size(), std::size(cases));
    // The record holds the request whole, padded to a whole URB (the union of every request).
    EXPECT_EQ(urbs[0].request.size(), sizeof(URB));
    static_assert(sizeof(URB) >= sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
}

TEST_F(BusRequestTest, NoIrpForARequestMeansInsufficientResourcesAndNothingSent) {
    SOURCE_BUILD_ONLY();
    PDEVICE_OBJECT fdo = startedFdo();
    ULONG port = 0xFFFFFFFF;
    system_.faults().failAllOfKind(sim::AllocKind::DeviceControlIrp);
    DescriptorRead read;
    EXPECT_EQ(SubmitUrbSync(fdo, read.urb), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(GetPortStatus(fdo, &port), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(port, 0u) << "no stale port bits";
    EXPECT_EQ(ResetPort(fdo), STATUS_INSUFFICIENT_RESOURCES);
    system_.faults().failAllOfKind(sim::AllocKind::DeviceControlIrp, false);
    EXPECT_TRUE(recorder_.records().empty());
    EXPECT_EQ(device_->portResets(), 0u);
}

TEST_F(BusRequestTest, GetPortStatusReportsThePortBits) {
    SOURCE_BUILD_ONLY();
    PDEVICE_OBJECT fdo = startedFdo();
    ULONG port = 0;
    EXPECT_EQ(GetPortStatus(fdo, &port), STATUS_SUCCESS);
    EXPECT_EQ(port, static_cast<ULONG>(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
    device_->setPortEnabled(false);
    EXPECT_EQ(GetPortStatus(fdo, &port), STATUS_SUCCESS);
    EXPECT_EQ(port, static_cast<ULONG>(USBD_PORT_CONNECTED));
}

// Only a port that is connected but disabled is reset; the others are left alone with success.
TEST_F(BusRequestTest, RecoversThePortOnlyWhenConnectedButDisabled) {
    SOURCE_BUILD_ONLY();
    PDEVICE_OBJECT fdo = startedFdo();
    struct Case {
        bool enabled, connected, reset;
    };
    const Case cases[] = {
        {false, true, true}, {true, true, false}, {false, false, false}, {true, false, false}};
    for (const Case& c : cases) {
        device_->setConnected(c.connected);
        device_->setPortEnabled(c.enabled);
        const unsigned resetsBefore = device_->portResets();
        EXPECT_EQ(ResetDeviceIfPortDisabled(fdo), STATUS_SUCCESS);
        EXPECT_EQ(device_->portResets() - resetsBefore, c.reset ? 1u : 0u)
            << "enabled " << c.enabled << ", connected " << c.connected;
        if (c.reset) {
            EXPECT_TRUE(device_->portEnabled());
        }
    }
}

TEST_F(BusRequestTest, APortStatusThatCannotBeReadResetsNothing) {
    SOURCE_BUILD_ONLY();
    PDEVICE_OBJECT fdo = startedFdo();
    device_->setPortEnabled(false);
    system_.faults().failNthOfKind(sim::AllocKind::DeviceControlIrp, 1);
    EXPECT_EQ(ResetDeviceIfPortDisabled(fdo), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device_->portResets(), 0u);
}

TEST_F(BusRequestTest, ResetPipeSendsThePipesHandleAndClearsItsHalt) {
    SOURCE_BUILD_ONLY();
    PDEVICE_OBJECT fdo = startedFdo();
    const PUSBD_PIPE_INFORMATION in = pipe(fdo, 0);
    const sim::usb::Pipe* busPipe = device_->findPipe(in->PipeHandle);
    ASSERT_NE(busPipe, nullptr);
    device_->setPipeHalted(busPipe, true);

    EXPECT_EQ(ResetPipe(fdo, in), STATUS_SUCCESS);
    EXPECT_FALSE(device_->pipeHalted(busPipe));
    const auto resets = sent(URB_FUNCTION_RESET_PIPE);
    ASSERT_EQ(resets.size(), 1u);
    EXPECT_EQ(resets[0].length, sizeof(_URB_PIPE_REQUEST));
    EXPECT_EQ(resets[0].submittedUrb().UrbPipeRequest.PipeHandle, in->PipeHandle);

    system_.faults().failNthOfKind(sim::AllocKind::Pool, 1);
    EXPECT_EQ(ResetPipe(fdo, in), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sent(URB_FUNCTION_RESET_PIPE).size(), 1u);
}

TEST_F(BusRequestTest, AbortOpenPipesAbortsAndUnbindsEveryBoundPipe) {
    SOURCE_BUILD_ONLY();
    PDEVICE_OBJECT fdo = startedFdo();
    PDEVICE_EXTENSION ext = GetExtension(fdo);
    bind(fdo, {0, 1});

    EXPECT_EQ(AbortOpenPipes(fdo), STATUS_SUCCESS);
    const auto aborts = sent(URB_FUNCTION_ABORT_PIPE);
    ASSERT_EQ(aborts.size(), 2u);
    for (ULONG i = 0; i < 2; ++i) {
        EXPECT_EQ(aborts[i].length, sizeof(_URB_PIPE_REQUEST));
        EXPECT_EQ(aborts[i].submittedUrb().UrbPipeRequest.PipeHandle, pipe(fdo, i)->PipeHandle);
        EXPECT_FALSE(IsPipeBound(pipe(fdo, i)));
    }
    EXPECT_EQ(ext->OpenPipeCount, 0);
}

TEST_F(BusRequestTest, AbortOpenPipesStopsAtTheFirstFailureLeavingThePipesBound) {
    SOURCE_BUILD_ONLY();
    PDEVICE_OBJECT fdo = startedFdo();
    bind(fdo, {0, 1});
    device_->faults().add(
        UrbFault::on(URB_FUNCTION_ABORT_PIPE).failWith(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID));

    EXPECT_EQ(AbortOpenPipes(fdo), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(sent(URB_FUNCTION_ABORT_PIPE).size(), 1u) << "the second pipe is not tried";
    EXPECT_EQ(GetExtension(fdo)->OpenPipeCount, 2);
    EXPECT_TRUE(IsPipeBound(pipe(fdo, 0)));
    EXPECT_TRUE(IsPipeBound(pipe(fdo, 1)));

    system_.faults().failNthOfKind(sim::AllocKind::Pool, 1);
    EXPECT_EQ(AbortOpenPipes(fdo), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(GetExtension(fdo)->OpenPipeCount, 2);
}

TEST_F(BusRequestTest, AbortOpenPipesLeavesFreePipesAlone) {
    SOURCE_BUILD_ONLY();
    PDEVICE_OBJECT fdo = startedFdo();
    bind(fdo, {1});
    EXPECT_EQ(AbortOpenPipes(fdo), STATUS_SUCCESS);
    const auto aborts = sent(URB_FUNCTION_ABORT_PIPE);
    ASSERT_EQ(aborts.size(), 1u);
    EXPECT_EQ(aborts[0].submittedUrb().UrbPipeRequest.PipeHandle, pipe(fdo, 1)->PipeHandle);
    EXPECT_EQ(GetExtension(fdo)->OpenPipeCount, 0);

    // Nothing bound: nothing to abort.
    EXPECT_EQ(AbortOpenPipes(fdo), STATUS_SUCCESS);
    EXPECT_EQ(sent(URB_FUNCTION_ABORT_PIPE).size(), 1u);
}

// A close that unbinds a pipe while its abort is on the way counts it off; the abort must not
// count it off again.
TEST_F(BusRequestTest, APipeUnboundByACloseDuringItsAbortIsCountedOffOnce) {
    SOURCE_BUILD_ONLY();
    PDEVICE_OBJECT fdo = startedFdo();
    PDEVICE_EXTENSION ext = GetExtension(fdo);
    bind(fdo, {0, 1});

    struct CloseDuringAbort : sim::usb::BusObserver {
        PDEVICE_EXTENSION ext;
        void onSubmit(sim::usb::BusDevice&, const URB& urb, PIRP) override {
            if (urb.UrbHeader.Function != URB_FUNCTION_ABORT_PIPE)
                return;
            for (ULONG i = 0; i < ext->InterfaceInformation->NumberOfPipes; ++i) {
                PUSBD_PIPE_INFORMATION p = &ext->InterfaceInformation->Pipes[i];
                if (p->PipeHandle == urb.UrbPipeRequest.PipeHandle && TryUnbindPipe(p))
                    InterlockedDecrement(&ext->OpenPipeCount);
            }
        }
        void onComplete(sim::usb::BusDevice&, const URB&, PIRP, NTSTATUS) override {}
    } close;
    close.ext = ext;
    bus_.addObserver(&close);
    EXPECT_EQ(AbortOpenPipes(fdo), STATUS_SUCCESS);
    bus_.removeObserver(&close);
    EXPECT_EQ(ext->OpenPipeCount, 0);
}

TEST_F(BusRequestTest, AbortOpenPipesWithoutAConfigurationSucceedsAtOnce) {
    SOURCE_BUILD_ONLY();
    sim::DeviceNode& node = plug();
    EXPECT_EQ(AbortOpenPipes(fdoOf(node)), STATUS_SUCCESS);
    EXPECT_TRUE(recorder_.records().empty());
}

TEST_F(BusRequestTest, ACapabilityQueryThePdoPendsEndsWithTheQuerysStatus) {
    SOURCE_BUILD_ONLY();
    sim::usb::BusDevice& device = bus_.plug();
    bus_.controller().setForcePending(true);
    DEVICE_CAPABILITIES caps{};
    EXPECT_EQ(QueryCapabilities(device.pdo(), &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.Address, device.capabilities().Address);

    system_.faults().failNthOfKind(sim::AllocKind::Irp, 1);
    EXPECT_EQ(QueryCapabilities(device.pdo(), &caps), STATUS_INSUFFICIENT_RESOURCES);
}

// Requests answered by a lower device of the test's own, for the answers the bus never gives.
class LowerDeviceTest : public SimTest {
protected:
    TestDriver lower_;
};

// Completes the IRP later from another thread with `status`, writing nothing.
IrpHandler pendThenFail(std::vector<std::thread>& threads, NTSTATUS status) {
    return [&threads, status](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        threads.emplace_back([irp, status] {
            irp->IoStatus.Status = status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        });
        return STATUS_PENDING;
    };
}

TEST_F(LowerDeviceTest, AFailedPortStatusRequestLeavesZero) {
    SOURCE_BUILD_ONLY();
    std::vector<SeenIrp> seen;
    std::vector<std::thread> threads;
    PDEVICE_OBJECT failing = lower_.createDevice(recordAndComplete(seen, STATUS_UNSUCCESSFUL));
    PDEVICE_OBJECT pending = lower_.createDevice(pendThenFail(threads, STATUS_IO_TIMEOUT));
    for (auto [device, expected] :
         {std::pair{failing, STATUS_UNSUCCESSFUL}, std::pair{pending, STATUS_IO_TIMEOUT}}) {
        FdoByHand fdo(device);
        ULONG port = 0xFFFFFFFF;
        EXPECT_EQ(GetPortStatus(fdo.fdo(), &port), expected);
        EXPECT_EQ(port, 0u);
    }
    for (auto& t : threads)
        t.join();
    ASSERT_EQ(seen.size(), 2u) << "AddDevice's capability query, then the port status";
    EXPECT_EQ(seen[1].major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
}

// A pended query that then fails must not pass for a success (STATUS_PENDING would).
TEST_F(LowerDeviceTest, APendedCapabilityQueryThatFailsReturnsTheFailure) {
    SOURCE_BUILD_ONLY();
    std::vector<std::thread> threads;
    PDEVICE_OBJECT pdo = lower_.createDevice(pendThenFail(threads, STATUS_NOT_SUPPORTED));
    DEVICE_CAPABILITIES caps{};
    EXPECT_EQ(QueryCapabilities(pdo, &caps), STATUS_NOT_SUPPORTED);
    for (auto& t : threads)
        t.join();
}

} // namespace
} // namespace wdmusb::test
