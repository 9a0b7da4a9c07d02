// Kernel dispatcher objects, spin locks, IRQL and interlocked operations.
#pragma once

#include "nt_types.h"
#include "call_site.h"

typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Absolute;
    UCHAR Size;
    UCHAR Inserted;
    volatile LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;

typedef enum _KWAIT_REASON {
    Executive = 0,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended = 5,
    UserRequest,
} KWAIT_REASON;

using KSPIN_LOCK = ULONG_PTR;
using PKSPIN_LOCK = KSPIN_LOCK*;
using KPRIORITY = LONG;

#define IO_NO_INCREMENT 0
#define EVENT_INCREMENT 1

// Events. A wait really blocks the calling thread until another thread sets the event; waiting
// at DISPATCH_LEVEL is a verifier finding.
void NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State SIM_CALLER_PARAM);
LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait SIM_CALLER_PARAM);
LONG NTAPI KeResetEvent(PRKEVENT Event SIM_CALLER_PARAM);
LONG NTAPI KeReadStateEvent(PRKEVENT Event);
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout SIM_CALLER_PARAM);

// IRQL, tracked per thread.
KIRQL NTAPI KeGetCurrentIrql();
KIRQL NTAPI KfRaiseIrql(KIRQL NewIrql SIM_CALLER_PARAM);
void NTAPI KfLowerIrql(KIRQL NewIrql SIM_CALLER_PARAM);
#define KeRaiseIrql(a, b) (*(b) = KfRaiseIrql(a))
#define KeLowerIrql(a)    KfLowerIrql(a)

// Spin locks: acquiring raises to DISPATCH_LEVEL and returns the previous IRQL.
void NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
KIRQL NTAPI KfAcquireSpinLock(PKSPIN_LOCK SpinLock SIM_CALLER_PARAM);
void NTAPI KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql SIM_CALLER_PARAM);
#define KeAcquireSpinLock(SpinLock, OldIrql) (*(OldIrql) = KfAcquireSpinLock(SpinLock))
#define KeReleaseSpinLock(SpinLock, NewIrql) KfReleaseSpinLock(SpinLock, NewIrql)

// Interlocked operations return the new value (increment, decrement) or the old one (exchange,
// exchange-add).
LONG NTAPI InterlockedIncrement(LONG volatile* Addend);
LONG NTAPI InterlockedDecrement(LONG volatile* Addend);
LONG NTAPI InterlockedExchange(LONG volatile* Target, LONG Value);
LONG NTAPI InterlockedExchangeAdd(LONG volatile* Addend, LONG Value);
LONG NTAPI InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand);
PVOID NTAPI InterlockedExchangePointer(PVOID volatile* Target, PVOID Value);
PVOID NTAPI InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                              PVOID Comparand);
