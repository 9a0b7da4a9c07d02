// The verifier's rules. Each finding names one of them.
#pragma once

#include <string_view>

namespace sim {

enum class Rule {
    // IRPs
    IrpCompletedTwice,
    IrpCompletedWithPending,
    PendingReturnedNotMarked, // dispatch returned STATUS_PENDING, location not marked pending
    PendingMarkedNotReturned, // location marked pending, dispatch returned another status
    DispatchStatusMismatch,   // IRP completed inside dispatch, returned status differs
    IrpUsedAfterFree,         // IRP touched after it was freed or handed back to its owner
    IrpCompletedAfterMoreProcessing, // completed again after MORE_PROCESSING_REQUIRED, not taken
                                     // back
    IoManagerIrpFreedByDriver,
    IrpFreedAtLowerDriver, // a driver's own IRP freed while a lower driver still holds it
    DriverIrpLeaked,
    IrpNeverCompleted,
    DriverIrpCompletedToTop, // a driver-allocated IRP completed past its last completion routine
    IrpForwardedWithCancelRoutine,
    IrpCompletedWithCancelRoutine,
    WaitNeverEnded,
    CancelledRequestHung, // a request still in flight long after its thread's end cancelled it
    NoMoreStackLocations,
    PnpIrpCompletedNotForwarded,
    PnpIrpFailedWhenMustSucceed,
    PnpIrpStatusNotPreset, // a Plug and Play IRP first sent with a status other than NOT_SUPPORTED
    // Power
    PowerIrpWithoutStartNext,
    PowerIrpSentWithCallDriver,
    // Pool and MDLs
    PoolLeak,
    PoolDoubleFree,
    PoolForeignFree,
    PoolWrongTag,
    PoolCorruption, // guard zone overwritten, or a block written after it was freed
    UninitialisedMemoryExposed,
    MdlLeak,
    MdlMisuse,
    UnguardedProbe,
    KernelModeProbeOfUserBuffer, // a user address probed as if the caller were the kernel
    // IRQL and locks
    WaitAtDispatchLevel,
    SpinLockRecursion,
    SpinLockNotHeld,
    SpinLockWrongIrql,
    DispatchReturnedWithLockHeld,
    DispatchChangedIrql,
    CompletedHoldingSpinLock,
    IrqlMisuse,
    IrpCallAboveDispatchLevel,      // IofCallDriver or IofCompleteRequest above DISPATCH_LEVEL
    DeviceControlBuiltAbovePassive, // IoBuildDeviceIoControlRequest above PASSIVE_LEVEL
    UserProbeAboveApcLevel,         // user memory probed above APC_LEVEL
    // Plug and Play and objects
    DeviceDeletedWithReferences,
    DeviceDeletedDuringSurpriseRemoval,
    DetachedDuringSurpriseRemoval,
    RequestToDeletedDevice,
    InterfaceLeftEnabled,
    ObjectMisuse,
};

std::string_view ruleName(Rule rule);

} // namespace sim
