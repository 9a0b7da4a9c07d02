// Each verifier rule of the I/O manager and the dispatcher, broken on purpose: the finding must
// fire, name the IRP or lock, and say where it happened.
#include <gtest/gtest.h>

#include <vector>

#include "sim/sync/dispatcher.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/test_driver.h"

namespace wdmusb::test {
namespace {

using sim::Rule;

NTSTATUS NTAPI takeBack(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_MORE_PROCESSING_REQUIRED;
}
NTSTATUS NTAPI freeAndGoOn(PDEVICE_OBJECT, PIRP irp, PVOID) {
    IoFreeIrp(irp);
    return STATUS_SUCCESS;
}
void NTAPI ignoreCancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
}

class VerifierRulesTest : public SimTest {
protected:
    // A driver IRP sent to `device`, taken back by its completion routine and freed.
    void sendAndFree(PDEVICE_OBJECT device, UCHAR major = IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = major;
        IoSetCompletionRoutine(irp, takeBack, nullptr, TRUE, TRUE, TRUE);
        IoCallDriver(device, irp);
        IoFreeIrp(irp);
    }

    IrpHandler completeWith(NTSTATUS status, NTSTATUS returned) {
        return [=](PDEVICE_OBJECT, PIRP irp) {
            irp->IoStatus.Status = status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return returned;
        };
    }

    TestDriver driver_;
    std::vector<SeenIrp> seen_;
};

TEST_F(VerifierRulesTest, CompletingTwiceIsReported) {
    PDEVICE_OBJECT device = driver_.createDevice([](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    sendAndWait(device, IRP_MJ_READ, 0);
    expectFinding(Rule::IrpCompletedTwice, "verifier_rules_test.cpp");
}

TEST_F(VerifierRulesTest, CompletingWithPendingIsReported) {
    sendAndFree(driver_.createDevice(completeWith(STATUS_PENDING, STATUS_SUCCESS)));
    expectFinding(Rule::IrpCompletedWithPending, "IRP #");
    system_.verifier().take(Rule::DispatchStatusMismatch);
}

TEST_F(VerifierRulesTest, PendingReturnedWithoutMarkingIsReported) {
    sendAndFree(driver_.createDevice(completeWith(STATUS_SUCCESS, STATUS_PENDING)));
    expectFinding(Rule::PendingReturnedNotMarked, "without IoMarkIrpPending");
}

TEST_F(VerifierRulesTest, MarkedPendingButReturningAStatusIsReported) {
    sendAndFree(driver_.createDevice([](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }));
    expectFinding(Rule::PendingMarkedNotReturned, "marked pending");
}

TEST_F(VerifierRulesTest, ReturningAnotherStatusThanCompletedIsReported) {
    sendAndFree(driver_.createDevice(completeWith(STATUS_SUCCESS, STATUS_UNSUCCESSFUL)));
    expectFinding(Rule::DispatchStatusMismatch, "completed IRP #");
}

TEST_F(VerifierRulesTest, ReturningAStatusForAnIrpStillHeldIsReported) {
    PIRP kept = nullptr;
    PDEVICE_OBJECT device = driver_.createDevice([&](PDEVICE_OBJECT, PIRP irp) {
        kept = irp;
        return STATUS_SUCCESS;
    });
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoSetCompletionRoutine(irp, takeBack, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(device, irp);
    expectFinding(Rule::DispatchStatusMismatch, "neither completed nor pended");
    IoCompleteRequest(kept, IO_NO_INCREMENT);
    IoFreeIrp(irp);
}

TEST_F(VerifierRulesTest, UsingAFreedIrpIsReportedWithItsHistory) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoFreeIrp(irp);
    IoFreeIrp(irp);
    EXPECT_FALSE(IoCancelIrp(irp));
    const auto found = expectFinding(Rule::IrpUsedAfterFree, "freed at");
    EXPECT_EQ(found.size(), 2u);
}

TEST_F(VerifierRulesTest, ADriverIrpNeverFreedIsALeakNamingWhereItWasAllocated) {
    PIRP irp = IoAllocateIrp(2, FALSE);
    system_.checkLeaks();
    expectFinding(Rule::DriverIrpLeaked, "verifier_rules_test.cpp");
    IoFreeIrp(irp);
}

TEST_F(VerifierRulesTest, FreeingAnIrpTheIoManagerBuiltIsReported) {
    PDEVICE_OBJECT device = driver_.createDevice(recordAndComplete(seen_, STATUS_SUCCESS));
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, device, nullptr, 0, nullptr, 0, TRUE, &event,
                                             &iosb);
    IoFreeIrp(irp);
    expectFinding(Rule::IoManagerIrpFreedByDriver, "built for device control");
    IoCallDriver(device, irp); // still live: the I/O manager finishes it
    EXPECT_EQ(KeReadStateEvent(&event), 1);
}

TEST_F(VerifierRulesTest, FreeingAnIrpALowerDriverHoldsIsReportedAndLeftToIt) {
    PIRP kept = nullptr;
    PDEVICE_OBJECT device = driver_.createDevice([&](PDEVICE_OBJECT, PIRP irp) {
        kept = irp;
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    });
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoSetCompletionRoutine(irp, takeBack, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(device, irp);
    IoFreeIrp(irp);
    expectFinding(Rule::IrpFreedAtLowerDriver, "lower driver still holds it");
    IoCompleteRequest(kept, IO_NO_INCREMENT); // still live: its routine takes it back
    IoFreeIrp(irp);
}

TEST_F(VerifierRulesTest, ADriverIrpCompletedPastItsTopIsReported) {
    PDEVICE_OBJECT device = driver_.createDevice(recordAndComplete(seen_, STATUS_SUCCESS));
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoCallDriver(device, irp);
    expectFinding(Rule::DriverIrpCompletedToTop, "taken back");
    IoFreeIrp(irp);
}

TEST_F(VerifierRulesTest, CompletingAnIrpTakenBackAtTheTopIsReported) {
    PDEVICE_OBJECT device = driver_.createDevice(recordAndComplete(seen_, STATUS_SUCCESS));
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoSetCompletionRoutine(irp, takeBack, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(device, irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    expectFinding(Rule::IrpCompletedAfterMoreProcessing, "free it instead");
    IoFreeIrp(irp);
}

// Freeing the IRP in its completion routine is the owner's right, but only with
// STATUS_MORE_PROCESSING_REQUIRED: otherwise the completion would go on with a freed IRP.
TEST_F(VerifierRulesTest, AnIrpFreedByItsRoutineThatLetsTheCompletionGoOnIsReported) {
    PDEVICE_OBJECT device = driver_.createDevice(recordAndComplete(seen_, STATUS_SUCCESS));
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, freeAndGoOn, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(device, irp);
    expectFinding(Rule::IrpCompletedTwice, "freed or completed again by its completion routine");
}

TEST_F(VerifierRulesTest, CancelRoutineLeftOnForwardOrCompletionIsReported) {
    PDEVICE_OBJECT device = driver_.createDevice([](PDEVICE_OBJECT, PIRP irp) {
        IoSetCancelRoutine(irp, ignoreCancel);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoSetCompletionRoutine(irp, takeBack, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(device, irp);
    expectFinding(Rule::IrpCompletedWithCancelRoutine);
    IoSetCompletionRoutine(irp, takeBack, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(device, irp); // forwarded again with the routine still set
    expectFinding(Rule::IrpForwardedWithCancelRoutine);
    system_.verifier().take(Rule::IrpCompletedWithCancelRoutine);
    IoSetCancelRoutine(irp, nullptr);
    IoFreeIrp(irp);
}

TEST_F(VerifierRulesTest, ForwardingPastTheLastStackLocationIsReported) {
    PDEVICE_OBJECT bottom = driver_.createDevice(recordAndComplete(seen_, STATUS_SUCCESS));
    PDEVICE_OBJECT top = driver_.createDevice([&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        const NTSTATUS status = IoCallDriver(bottom, irp);
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    });
    sendAndFree(top); // top's own stack size is 1: no room for the bottom device
    expectFinding(Rule::NoMoreStackLocations, "no stack location left");
    EXPECT_TRUE(seen_.empty());
}

TEST_F(VerifierRulesTest, PowerIrpSentWithIofCallDriverIsReported) {
    PDEVICE_OBJECT device = driver_.createDevice(recordAndComplete(seen_, STATUS_SUCCESS));
    sendAndFree(device, IRP_MJ_POWER);
    expectFinding(Rule::PowerIrpSentWithCallDriver, "PoCallDriver");
}

TEST_F(VerifierRulesTest, APnpIrpSentWithoutItsPresetStatusIsReported) {
    PDEVICE_OBJECT device = driver_.createDevice(recordAndComplete(seen_, STATUS_SUCCESS, true));
    sendAndFree(device, IRP_MJ_PNP); // a driver's IRP starts with STATUS_SUCCESS
    expectFinding(Rule::PnpIrpStatusNotPreset, "STATUS_NOT_SUPPORTED");
    sendAndWait(device, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES); // preset: no finding
}

TEST_F(VerifierRulesTest, RequestToADeletedDeviceIsReported) {
    PDEVICE_OBJECT device = driver_.createDevice(recordAndComplete(seen_, STATUS_SUCCESS));
    IoDeleteDevice(device);
    PIRP irp = IoAllocateIrp(1, FALSE);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_DELETE_PENDING);
    expectFinding(Rule::RequestToDeletedDevice, "deleted device #");
    IoFreeIrp(irp);
}

TEST_F(VerifierRulesTest, DispatchReturningWithALockHeldOrAnotherIrqlIsReported) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old = PASSIVE_LEVEL;
    sendAndFree(driver_.createDevice([&](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        old = KfAcquireSpinLock(&lock);
        return STATUS_SUCCESS;
    }));
    expectFinding(Rule::DispatchReturnedWithLockHeld, "verifier_rules_test.cpp");
    expectFinding(Rule::DispatchChangedIrql, "IRQL 2");
    KfReleaseSpinLock(&lock, old);
}

TEST_F(VerifierRulesTest, CompletingWhileHoldingASpinLockIsReported) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    sendAndFree(driver_.createDevice([&](PDEVICE_OBJECT, PIRP irp) {
        const KIRQL old = KfAcquireSpinLock(&lock);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        KfReleaseSpinLock(&lock, old);
        return STATUS_SUCCESS;
    }));
    expectFinding(Rule::CompletedHoldingSpinLock, "spin lock acquired at");
}

TEST_F(VerifierRulesTest, WaitingAtDispatchLevelIsReported) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    {
        sim::AtDispatchLevel dpc;
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    expectFinding(Rule::WaitAtDispatchLevel, "IRQL 2");
}

TEST_F(VerifierRulesTest, SpinLockMisuseIsReported) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KfReleaseSpinLock(&lock, PASSIVE_LEVEL);
    expectFinding(Rule::SpinLockNotHeld, "does not hold it");

    const KIRQL old = KfAcquireSpinLock(&lock);
    KfAcquireSpinLock(&lock);
    expectFinding(Rule::SpinLockRecursion, "acquired again");
    KfReleaseSpinLock(&lock, APC_LEVEL);
    expectFinding(Rule::SpinLockWrongIrql, "acquired at IRQL 0");
    KfLowerIrql(old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(sim::heldSpinLocks().size(), 0u);
}

TEST_F(VerifierRulesTest, IrqlRaisedByLoweringIsReported) {
    KfLowerIrql(DISPATCH_LEVEL);
    expectFinding(Rule::IrqlMisuse, "raises the IRQL");
    KfLowerIrql(PASSIVE_LEVEL);
}

// Above DISPATCH_LEVEL an IRP may be neither sent nor completed; building a device-control
// request wants PASSIVE_LEVEL.
TEST_F(VerifierRulesTest, IrpRoutinesCalledAboveTheirIrqlAreReported) {
    PDEVICE_OBJECT device = driver_.createDevice(recordAndComplete(seen_, STATUS_SUCCESS));
    const KIRQL old = KfRaiseIrql(DISPATCH_LEVEL + 1);
    sendAndFree(device); // its IofCallDriver and the IofCompleteRequest of the handler
    KfLowerIrql(old);
    EXPECT_EQ(expectFinding(Rule::IrpCallAboveDispatchLevel, "at IRQL 3").size(), 2u);

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    const KIRQL raised = KfRaiseIrql(DISPATCH_LEVEL);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, device, nullptr, 0,
                                             nullptr, 0, TRUE, &event, &iosb);
    KfLowerIrql(raised);
    expectFinding(Rule::DeviceControlBuiltAbovePassive, "IoBuildDeviceIoControlRequest at IRQL 2");
    IofCallDriver(device, irp); // ends as usual
}

using VerifierDeathTest = VerifierRulesTest;

TEST_F(VerifierDeathTest, AWaitThatNeverEndsStopsTheRunWithAFinding) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            system_.dispatcher().setHangLimit(std::chrono::milliseconds(50));
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
        },
        "wait-never-ended.*did not end");
}

} // namespace
} // namespace wdmusb::test
