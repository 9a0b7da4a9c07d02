// The I/O manager's completion semantics: routines run from the bottom up as their control bits
// ask, a STATUS_MORE_PROCESSING_REQUIRED stops the pass, PendingReturned travels up, and IRPs the
// I/O manager owns are finished and freed at the top.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "sim/sync/dispatcher.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/test_driver.h"

namespace wdmusb::test {
namespace {

// Which routines ran, in order, and what each saw.
struct Trace {
    std::vector<std::string> calls;
    std::vector<BOOLEAN> pendingSeen;
};

struct RoutineContext {
    Trace* trace;
    const char* name;
    NTSTATUS result;
};

NTSTATUS NTAPI tracingRoutine(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* ctx = static_cast<RoutineContext*>(context);
    ctx->trace->calls.emplace_back(ctx->name);
    ctx->trace->pendingSeen.push_back(irp->PendingReturned);
    if (irp->PendingReturned && ctx->result != STATUS_MORE_PROCESSING_REQUIRED)
        IoMarkIrpPending(irp);
    return ctx->result;
}

NTSTATUS NTAPI reclaimRoutine(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A device that passes each IRP down with a completion routine of the given control bits.
IrpHandler forwardWithRoutine(PDEVICE_OBJECT* lower, RoutineContext* ctx, bool onSuccess,
                              bool onError, bool onCancel) {
    return [=](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, tracingRoutine, ctx, onSuccess, onError, onCancel);
        return IoCallDriver(*lower, irp);
    };
}

class CompletionTest : public SimTest {
protected:
    // Sends a driver-allocated IRP to `top` and waits until its own routine takes it back.
    NTSTATUS sendOwnIrp(PDEVICE_OBJECT top, bool cancel = false) {
        PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
        KEVENT back;
        KeInitializeEvent(&back, NotificationEvent, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, reclaimRoutine, &back, TRUE, TRUE, TRUE);
        irp->Cancel = cancel ? TRUE : FALSE;
        IoCallDriver(top, irp);
        KeWaitForSingleObject(&back, Executive, KernelMode, FALSE, nullptr);
        const NTSTATUS status = irp->IoStatus.Status;
        IoFreeIrp(irp);
        return status;
    }

    TestDriver driver_;
    std::vector<SeenIrp> seen_;
};

struct InvokeCase {
    NTSTATUS status;
    bool cancel;
    bool onSuccess, onError, onCancel;
    bool expectUpperCalled;
};

TEST_F(CompletionTest, RoutinesRunBottomUpAsTheirControlBitsAsk) {
    const InvokeCase cases[] = {
        {STATUS_SUCCESS, false, true, false, false, true},
        {STATUS_SUCCESS, false, false, true, true, false},
        {STATUS_UNSUCCESSFUL, false, false, true, false, true},
        {STATUS_UNSUCCESSFUL, false, true, false, false, false},
        {STATUS_CANCELLED, true, false, false, true, true},
        {STATUS_SUCCESS, true, false, false, true, true},
        {STATUS_CANCELLED, false, false, false, true, false},
    };
    for (const auto& c : cases) {
        Trace trace;
        RoutineContext lowerCtx{&trace, "middle", STATUS_SUCCESS};
        RoutineContext upperCtx{&trace, "top", STATUS_SUCCESS};
        PDEVICE_OBJECT bottom = driver_.createDevice(recordAndComplete(seen_, c.status));
        PDEVICE_OBJECT middleTarget = bottom;
        PDEVICE_OBJECT middle = driver_.createDevice(
            forwardWithRoutine(&middleTarget, &lowerCtx, true, true, true), bottom);
        PDEVICE_OBJECT topTarget = middle;
        PDEVICE_OBJECT top = driver_.createDevice(
            forwardWithRoutine(&topTarget, &upperCtx, c.onSuccess, c.onError, c.onCancel), middle);

        EXPECT_EQ(sendOwnIrp(top, c.cancel), c.status);
        std::vector<std::string> expected{"middle"};
        if (c.expectUpperCalled)
            expected.emplace_back("top");
        EXPECT_EQ(trace.calls, expected)
            << "status " << std::hex << c.status << " cancel " << c.cancel;
    }
}

TEST_F(CompletionTest, MoreProcessingRequiredStopsThePassUntilTheIrpIsCompletedAgain) {
    Trace trace;
    RoutineContext upperCtx{&trace, "top", STATUS_SUCCESS};
    KEVENT reclaimed;
    KeInitializeEvent(&reclaimed, NotificationEvent, FALSE);
    PIRP held = nullptr;

    PDEVICE_OBJECT bottom = driver_.createDevice(recordAndComplete(seen_, STATUS_SUCCESS));
    // The middle device forwards and waits, then finishes the IRP itself with its own status.
    PDEVICE_OBJECT middle = driver_.createDevice(
        [&](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, reclaimRoutine, &reclaimed, TRUE, TRUE, TRUE);
            IoCallDriver(bottom, irp);
            KeWaitForSingleObject(&reclaimed, Executive, KernelMode, FALSE, nullptr);
            trace.calls.emplace_back("middle reclaimed");
            held = irp;
            irp->IoStatus.Status = STATUS_DEVICE_DATA_ERROR;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_DEVICE_DATA_ERROR;
        },
        bottom);
    PDEVICE_OBJECT topTarget = middle;
    PDEVICE_OBJECT top =
        driver_.createDevice(forwardWithRoutine(&topTarget, &upperCtx, true, true, true), middle);

    EXPECT_EQ(sendOwnIrp(top), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(trace.calls, (std::vector<std::string>{"middle reclaimed", "top"}));
    EXPECT_NE(held, nullptr);
}

// The routine that gives the IRP back wakes its waiter before it returns; the waiter's own
// completion must not be taken for a second one while the first pass is still unwinding.
NTSTATUS NTAPI wakeThenLinger(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(CompletionTest, WaiterMayCompleteWhileTheRoutineThatWokeItReturns) {
    PIRP pended = nullptr;
    PDEVICE_OBJECT bottom = driver_.createDevice([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        std::atomic_ref<PIRP>(pended).store(irp);
        return STATUS_PENDING;
    });
    PDEVICE_OBJECT top = driver_.createDevice(
        [&](PDEVICE_OBJECT, PIRP irp) {
            KEVENT back;
            KeInitializeEvent(&back, NotificationEvent, FALSE);
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, wakeThenLinger, &back, TRUE, TRUE, TRUE);
            if (IoCallDriver(bottom, irp) == STATUS_PENDING)
                KeWaitForSingleObject(&back, Executive, KernelMode, FALSE, nullptr);
            const NTSTATUS status = irp->IoStatus.Status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        },
        bottom);
    std::thread completer([&] {
        while (std::atomic_ref<PIRP>(pended).load() == nullptr)
            std::this_thread::yield();
        sim::AtDispatchLevel dpc;
        pended->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(pended, IO_NO_INCREMENT);
    });
    EXPECT_EQ(sendAndWait(top, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    completer.join();
}

TEST_F(CompletionTest, PendingReturnedTravelsUpThroughLocationsWithoutRoutines) {
    Trace trace;
    RoutineContext upperCtx{&trace, "top", STATUS_SUCCESS};
    PIRP pended = nullptr;
    PDEVICE_OBJECT bottom = driver_.createDevice([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        std::atomic_ref<PIRP>(pended).store(irp);
        return STATUS_PENDING;
    });
    // The middle device passes the IRP on with no completion routine of its own.
    PDEVICE_OBJECT middle = driver_.createDevice(
        [&](PDEVICE_OBJECT, PIRP irp) {
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(bottom, irp);
        },
        bottom);
    PDEVICE_OBJECT topTarget = middle;
    PDEVICE_OBJECT top =
        driver_.createDevice(forwardWithRoutine(&topTarget, &upperCtx, true, true, true), middle);

    // Complete the pended IRP from another thread, at DISPATCH_LEVEL as a DPC would.
    std::thread late([&] {
        while (std::atomic_ref<PIRP>(pended).load() == nullptr)
            std::this_thread::yield();
        sim::AtDispatchLevel dpc;
        pended->IoStatus.Status = STATUS_SUCCESS;
        pended->IoStatus.Information = 7;
        IoCompleteRequest(pended, IO_NO_INCREMENT);
    });
    NTSTATUS dispatchStatus = STATUS_SUCCESS;
    const IO_STATUS_BLOCK result = sendAndWait(top, IRP_MJ_READ, 0, {}, &dispatchStatus);
    late.join();

    EXPECT_EQ(dispatchStatus, STATUS_PENDING);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, 7u);
    ASSERT_EQ(trace.pendingSeen.size(), 1u);
    EXPECT_TRUE(trace.pendingSeen[0]) << "the top routine must see PendingReturned";
}

TEST_F(CompletionTest, DeviceControlIrpIsFinishedAndFreedByTheIoManager) {
    PDEVICE_OBJECT bottom = driver_.createDevice([&](PDEVICE_OBJECT, PIRP irp) {
        auto* buffer = static_cast<unsigned char*>(irp->AssociatedIrp.SystemBuffer);
        buffer[0] = static_cast<unsigned char>(buffer[0] + 1);
        buffer[1] = 0x5A;
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 2;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    unsigned char in[1] = {41};
    unsigned char out[4] = {0, 0, 0xEE, 0xEE};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    iosb.Status = STATUS_PENDING;
    PIRP irp = IoBuildDeviceIoControlRequest(
        CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS), bottom, in,
        sizeof in, out, sizeof out, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(IoCallDriver(bottom, irp), STATUS_SUCCESS);

    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 2u);
    EXPECT_EQ(out[0], 42);
    EXPECT_EQ(out[1], 0x5A);
    EXPECT_EQ(out[2], 0xEE) << "only Information bytes are copied back";
    EXPECT_EQ(system_.io().liveIrpCount(), 0u) << "the I/O manager frees the IRP it built";
}

TEST_F(CompletionTest, EmptyMajorFunctionSlotsAreAnsweredByThePlatform) {
    PDRIVER_OBJECT driver = system_.io().loadDriver("empty", nullptr, nullptr);
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    NTSTATUS dispatch = STATUS_SUCCESS;
    const IO_STATUS_BLOCK result = sendAndWait(device, IRP_MJ_CLEANUP, 0, {}, &dispatch);
    EXPECT_EQ(result.Status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(dispatch, STATUS_INVALID_DEVICE_REQUEST);
    IoDeleteDevice(device);
}

} // namespace
} // namespace wdmusb::test
