// Every type, constant and routine that the host declarations (platform/host/*.h) offer to driver
// code must exist under the same name, with compatible parameter types, in the kernel build, and
// every routine must be one the image may import. Each use below is written the way driver code
// calls it on the host, so a host declaration that the real headers spell differently fails to
// compile here instead of in some later driver file.
//
// Linked on its own, exactly as wdmusb.sys is, into an image that is never loaded anywhere:
// the image checks then hold all those routines against the allowlist of Windows 2000 imports.
// (ExFreePoolWithTag is declared by the host but is not in Windows 2000: driver code uses
// ExFreePool, and so does this file.)
#include "platform/platform.h"

namespace {

// Returns nothing useful: the point is that each expression compiles and has the expected type.
template <typename Expected, typename Actual> constexpr bool SameType = false;
template <typename T> constexpr bool SameType<T, T> = true;

// --- basic types and status codes ------------------------------------------------------------
static_assert(sizeof(CHAR) == 1 && sizeof(UCHAR) == 1 && sizeof(CCHAR) == 1);
static_assert(sizeof(SHORT) == 2 && sizeof(USHORT) == 2 && sizeof(CSHORT) == 2);
static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4 && sizeof(NTSTATUS) == 4);
static_assert(sizeof(LONGLONG) == 8 && sizeof(ULONGLONG) == 8);
static_assert(sizeof(BOOLEAN) == 1 && sizeof(WCHAR) == 2 && sizeof(KIRQL) == 1);
static_assert(sizeof(KPROCESSOR_MODE) == 1 && sizeof(SIZE_T) == 4 && sizeof(ULONG_PTR) == 4);
static_assert(sizeof(LONG_PTR) == 4 && sizeof(GUID) == 16 && sizeof(LARGE_INTEGER) == 8);

constexpr NTSTATUS kStatuses[] = {
    STATUS_SUCCESS,
    STATUS_WAIT_0,
    STATUS_TIMEOUT,
    STATUS_PENDING,
    STATUS_CONTINUE_COMPLETION,
    STATUS_UNSUCCESSFUL,
    STATUS_NOT_IMPLEMENTED,
    STATUS_ACCESS_VIOLATION,
    STATUS_INVALID_HANDLE,
    STATUS_INVALID_PARAMETER,
    STATUS_NO_SUCH_DEVICE,
    STATUS_INVALID_DEVICE_REQUEST,
    STATUS_MORE_PROCESSING_REQUIRED,
    STATUS_ACCESS_DENIED,
    STATUS_BUFFER_TOO_SMALL,
    STATUS_OBJECT_NAME_COLLISION,
    STATUS_DELETE_PENDING,
    STATUS_INSUFFICIENT_RESOURCES,
    STATUS_DEVICE_DATA_ERROR,
    STATUS_DEVICE_NOT_CONNECTED,
    STATUS_NOT_SUPPORTED,
    STATUS_IO_TIMEOUT,
    STATUS_CANCELLED,
    STATUS_INVALID_DEVICE_STATE,
    STATUS_DEVICE_CONFIGURATION_ERROR,
    STATUS_DEVICE_BUSY,
    STATUS_NAME_TOO_LONG,
    STATUS_OBJECT_NAME_NOT_FOUND,
    STATUS_BUFFER_OVERFLOW,
};
static_assert(sizeof(kStatuses) / sizeof(kStatuses[0]) == 29);
static_assert(STATUS_PENDING == 0x103 && STATUS_INVALID_DEVICE_STATE == (NTSTATUS)0xC0000184L);
static_assert(NT_SUCCESS(STATUS_PENDING) && !NT_SUCCESS(STATUS_UNSUCCESSFUL));
static_assert(PASSIVE_LEVEL == 0 && APC_LEVEL == 1 && DISPATCH_LEVEL == 2);
static_assert(KernelMode == 0 && UserMode == 1 && TRUE == 1 && FALSE == 0);

// The records driver code reaches through pointers; their i386 sizes where they are fixed.
static_assert(sizeof(DEVICE_OBJECT) > 0 && sizeof(DRIVER_OBJECT) > 0 && sizeof(FILE_OBJECT) > 0);
static_assert(sizeof(DRIVER_EXTENSION) > 0 && sizeof(PDRIVER_EXTENSION) == 4);
static_assert(sizeof(IO_STACK_LOCATION) == 36 && sizeof(IRP) > 0 && sizeof(MDL) == 28);
static_assert(sizeof(DISPATCHER_HEADER) == 16 && sizeof(PDISPATCHER_HEADER) == 4);
static_assert(sizeof(UNICODE_STRING) == 8 && sizeof(URB) > 0);
// Records that only give others their size (platform/i386_layouts.h has the numbers).
static_assert(sizeof(KAPC) > 0 && sizeof(PKAPC) == 4 && sizeof(WAIT_CONTEXT_BLOCK) > 0);
static_assert(sizeof(PWAIT_CONTEXT_BLOCK) == 4 && sizeof(KDEVICE_QUEUE_ENTRY) > 0);
static_assert(sizeof(PKDEVICE_QUEUE_ENTRY) == 4 && sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12);
static_assert(sizeof(PUSBD_ISO_PACKET_DESCRIPTOR) == 4);
static_assert(sizeof(static_cast<DEVICE_OBJECT*>(nullptr)->Queue) > 0);
static_assert(sizeof(USBD_PIPE_INFORMATION) == 20 && sizeof(USBD_INTERFACE_INFORMATION) == 36);
static_assert(Executive == 0 && FreePage == 1 && PageIn == 2 && PoolAllocation == 3 &&
              DelayExecution == 4 && Suspended == 5 && UserRequest == 6);
static_assert(sizeof(KWAIT_REASON) == 4 && sizeof(EVENT_TYPE) == 4);

// Declared only, never used: imports nothing.
extern "C" DECLSPEC_IMPORT ULONG WdmusbDeclaredImport;

struct Outer {
    ULONG Before;
    LIST_ENTRY Link;
};

VOID NTAPI UsesBasics(IN PVOID Unused, OUT PLARGE_INTEGER Large, OPTIONAL LPCGUID Guid,
                      LPGUID Other, PCUNICODE_STRING Name, PLIST_ENTRY Link) {
    UNREFERENCED_PARAMETER(Unused);
    Large->u.LowPart = 1;
    Large->u.HighPart = 0;
    Large->QuadPart = 0;
    const bool same = (*Guid == *Other);
    UNREFERENCED_PARAMETER(same);
    const USHORT length = Name->Length + Name->MaximumLength;
    UNREFERENCED_PARAMETER(length);
    const PWSTR buffer = Name->Buffer;
    const PWCHAR wide = buffer;
    const PCWSTR constWide = wide;
    UNREFERENCED_PARAMETER(constWide);
    Outer* outer = CONTAINING_RECORD(Link, Outer, Link);
    UNREFERENCED_PARAMETER(outer);
    const PCHAR chars = nullptr;
    const PUCHAR bytes = nullptr;
    const PUSHORT shorts = nullptr;
    const PULONG longs = nullptr;
    const PLONG signedLongs = nullptr;
    const PBOOLEAN flags = nullptr;
    const PKIRQL irql = nullptr;
    UNREFERENCED_PARAMETER(chars);
    UNREFERENCED_PARAMETER(bytes);
    UNREFERENCED_PARAMETER(shorts);
    UNREFERENCED_PARAMETER(longs);
    UNREFERENCED_PARAMETER(signedLongs);
    UNREFERENCED_PARAMETER(flags);
    UNREFERENCED_PARAMETER(irql);
}

FORCEINLINE int UsesForceInline() {
    return 0;
}

// --- kernel: events, IRQL, spin locks, interlocked ----------------------------------------------
void UsesKernel(PKEVENT Event, PRKEVENT Same, PKSPIN_LOCK Lock, LONG volatile* Counter,
                PVOID volatile* Slot) {
    KEVENT local;
    KeInitializeEvent(&local, NotificationEvent, FALSE);
    KeInitializeEvent(Event, SynchronizationEvent, TRUE);
    const LONG previous = KeSetEvent(Same, EVENT_INCREMENT, FALSE);
    const LONG reset = KeResetEvent(Event);
    const LONG state = KeReadStateEvent(Event);
    const LONG signalState = Event->Header.SignalState;
    const NTSTATUS waited = KeWaitForSingleObject(Event, Suspended, KernelMode, FALSE, nullptr);
    const NTSTATUS waitedExecutive =
        KeWaitForSingleObject(&local, Executive, KernelMode, FALSE, nullptr);
    UNREFERENCED_PARAMETER(previous);
    UNREFERENCED_PARAMETER(reset);
    UNREFERENCED_PARAMETER(state);
    UNREFERENCED_PARAMETER(signalState);
    UNREFERENCED_PARAMETER(waited);
    UNREFERENCED_PARAMETER(waitedExecutive);
    static_assert(IO_NO_INCREMENT == 0 && EVENT_INCREMENT == 1 && Suspended == 5);

    const KIRQL current = KeGetCurrentIrql();
    KIRQL raised;
    KeRaiseIrql(DISPATCH_LEVEL, &raised);
    KeLowerIrql(raised);
    KfLowerIrql(KfRaiseIrql(DISPATCH_LEVEL));
    UNREFERENCED_PARAMETER(current);

    KeInitializeSpinLock(Lock);
    const KIRQL old = KfAcquireSpinLock(Lock);
    KfReleaseSpinLock(Lock, old);
    KIRQL oldToo;
    KeAcquireSpinLock(Lock, &oldToo);
    KeReleaseSpinLock(Lock, oldToo);
    const KSPIN_LOCK value = *Lock;
    const KPRIORITY priority = 0;
    UNREFERENCED_PARAMETER(value);
    UNREFERENCED_PARAMETER(priority);

    const LONG incremented = InterlockedIncrement(Counter);
    const LONG decremented = InterlockedDecrement(Counter);
    const LONG exchanged = InterlockedExchange(Counter, 3);
    const LONG added = InterlockedExchangeAdd(Counter, -2);
    const LONG compared = InterlockedCompareExchange(Counter, 4, 3);
    const PVOID oldPointer = InterlockedExchangePointer(Slot, nullptr);
    const PVOID comparedPointer = InterlockedCompareExchangePointer(Slot, oldPointer, nullptr);
    static_assert(SameType<PVOID, decltype(InterlockedExchangePointer(Slot, nullptr))>);
    UNREFERENCED_PARAMETER(incremented);
    UNREFERENCED_PARAMETER(decremented);
    UNREFERENCED_PARAMETER(exchanged);
    UNREFERENCED_PARAMETER(added);
    UNREFERENCED_PARAMETER(compared);
    UNREFERENCED_PARAMETER(comparedPointer);
}

// --- pool and run-time library
// --------------------------------------------------------------------
void UsesPoolAndRtl(PUNICODE_STRING Name, PCWSTR Source) {
    static_assert(NonPagedPool == 0 && PagedPool == 1 && NonPagedPoolMustSucceed == 2);
    const POOL_TYPE type = NonPagedPool;
    const PVOID block = ExAllocatePoolWithTag(type, 64, 0x206D6457);
    UCHAR local[64];
    RtlCopyMemory(local, block, sizeof(local));
    RtlMoveMemory(block, local, sizeof(local));
    RtlZeroMemory(local, sizeof(local));
    RtlFillMemory(local, sizeof(local), 0xA5);
    const bool equal = RtlEqualMemory(local, block, sizeof(local));
    UNREFERENCED_PARAMETER(equal);
    ExFreePool(block);

    RtlInitUnicodeString(Name, Source);
    RtlFreeUnicodeString(Name);
}

// --- I/O manager --------------------------------------------------------------------------------
static_assert(FILE_DEVICE_UNKNOWN == 0x22 && FILE_DEVICE_USB == FILE_DEVICE_UNKNOWN);
static_assert(METHOD_BUFFERED == 0 && METHOD_IN_DIRECT == 1 && METHOD_OUT_DIRECT == 2 &&
              METHOD_NEITHER == 3);
static_assert(FILE_ANY_ACCESS == 0 && FILE_READ_ACCESS == 1 && FILE_WRITE_ACCESS == 2);
static_assert(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS) == 0x222000);
static_assert(METHOD_FROM_CTL_CODE(0x222003) == METHOD_NEITHER);
static_assert(FILE_AUTOGENERATED_DEVICE_NAME == 0x80 && FILE_DEVICE_SECURE_OPEN == 0x100);
static_assert(DO_BUFFERED_IO == 0x4 && DO_EXCLUSIVE == 0x8 && DO_DIRECT_IO == 0x10 &&
              DO_DEVICE_INITIALIZING == 0x80 && DO_POWER_PAGABLE == 0x2000 &&
              DO_POWER_INRUSH == 0x4000);
static_assert(IRP_MJ_CREATE == 0 && IRP_MJ_CREATE_NAMED_PIPE == 1 && IRP_MJ_CLOSE == 2 &&
              IRP_MJ_READ == 3 && IRP_MJ_WRITE == 4 && IRP_MJ_DEVICE_CONTROL == 0x0e &&
              IRP_MJ_INTERNAL_DEVICE_CONTROL == 0x0f && IRP_MJ_SHUTDOWN == 0x10 &&
              IRP_MJ_CLEANUP == 0x12 && IRP_MJ_POWER == 0x16 && IRP_MJ_SYSTEM_CONTROL == 0x17 &&
              IRP_MJ_PNP == 0x1b && IRP_MJ_MAXIMUM_FUNCTION == 0x1b);
static_assert(IRP_MN_START_DEVICE == 0 && IRP_MN_QUERY_REMOVE_DEVICE == 1 &&
              IRP_MN_REMOVE_DEVICE == 2 && IRP_MN_CANCEL_REMOVE_DEVICE == 3 &&
              IRP_MN_STOP_DEVICE == 4 && IRP_MN_QUERY_STOP_DEVICE == 5 &&
              IRP_MN_CANCEL_STOP_DEVICE == 6 && IRP_MN_QUERY_DEVICE_RELATIONS == 7 &&
              IRP_MN_QUERY_INTERFACE == 8 && IRP_MN_QUERY_CAPABILITIES == 9 &&
              IRP_MN_QUERY_RESOURCES == 0x0A && IRP_MN_QUERY_RESOURCE_REQUIREMENTS == 0x0B &&
              IRP_MN_QUERY_DEVICE_TEXT == 0x0C && IRP_MN_FILTER_RESOURCE_REQUIREMENTS == 0x0D &&
              IRP_MN_QUERY_ID == 0x13 && IRP_MN_QUERY_PNP_DEVICE_STATE == 0x14 &&
              IRP_MN_QUERY_BUS_INFORMATION == 0x15 && IRP_MN_DEVICE_USAGE_NOTIFICATION == 0x16 &&
              IRP_MN_SURPRISE_REMOVAL == 0x17);
static_assert(IRP_MN_WAIT_WAKE == 0 && IRP_MN_POWER_SEQUENCE == 1 && IRP_MN_SET_POWER == 2 &&
              IRP_MN_QUERY_POWER == 3);
static_assert(SL_PENDING_RETURNED == 0x01 && SL_INVOKE_ON_CANCEL == 0x20 &&
              SL_INVOKE_ON_SUCCESS == 0x40 && SL_INVOKE_ON_ERROR == 0x80);
static_assert(IO_TYPE_IRP == 6 && IO_TYPE_DEVICE == 3 && IO_TYPE_DRIVER == 4 && IO_TYPE_FILE == 5);

NTSTATUS NTAPI SomeDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI SomeCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(Context);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
void NTAPI SomeCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
}
void NTAPI SomeUnload(PDRIVER_OBJECT DriverObject) {
    UNREFERENCED_PARAMETER(DriverObject);
}
NTSTATUS NTAPI SomeAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    UNREFERENCED_PARAMETER(DriverObject);
    UNREFERENCED_PARAMETER(PhysicalDeviceObject);
    return STATUS_SUCCESS;
}

void UsesDriverAndDeviceObjects(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo,
                                PUNICODE_STRING LinkName) {
    const PDRIVER_DISPATCH dispatch = SomeDispatch;
    const PDRIVER_UNLOAD unload = SomeUnload;
    const PDRIVER_ADD_DEVICE addDevice = SomeAddDevice;
    Driver->MajorFunction[IRP_MJ_PNP] = dispatch;
    Driver->DriverUnload = unload;
    Driver->DriverExtension->AddDevice = addDevice;
    const PDRIVER_INITIALIZE init = Driver->DriverInit;
    UNREFERENCED_PARAMETER(init);

    PDEVICE_OBJECT fdo = nullptr;
    const DEVICE_TYPE type = FILE_DEVICE_UNKNOWN;
    NTSTATUS status = IoCreateDevice(Driver, sizeof(ULONG), nullptr, type,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &fdo);
    fdo->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    const PVOID extension = fdo->DeviceExtension;
    const CCHAR stackSize = fdo->StackSize;
    const CSHORT objectType = fdo->Type;
    const ULONG characteristics = fdo->Characteristics;
    const DEVICE_TYPE deviceType = fdo->DeviceType;
    UNREFERENCED_PARAMETER(extension);
    UNREFERENCED_PARAMETER(stackSize);
    UNREFERENCED_PARAMETER(objectType);
    UNREFERENCED_PARAMETER(characteristics);
    UNREFERENCED_PARAMETER(deviceType);
    const PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, Pdo);

    static const GUID kInterfaceClass = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
    status = IoRegisterDeviceInterface(Pdo, &kInterfaceClass, nullptr, LinkName);
    status = IoSetDeviceInterfaceState(LinkName, TRUE);
    UNREFERENCED_PARAMETER(status);
    IoDetachDevice(lower);
    IoDeleteDevice(fdo);
}

void UsesIrps(PDEVICE_OBJECT Lower, PIRP Irp, PFILE_OBJECT File, PKEVENT Event) {
    const PIRP own = IoAllocateIrp(Lower->StackSize, FALSE);
    IO_STATUS_BLOCK block;
    const PIO_STATUS_BLOCK blockPointer = &block;
    const PIRP control = IoBuildDeviceIoControlRequest(0x220003, Lower, nullptr, 0, nullptr, 0,
                                                       TRUE, Event, blockPointer);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(control);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.Others.Argument1 = nullptr;
    next->Parameters.DeviceIoControl.IoControlCode = 0x220003;

    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG createOptions = stack->Parameters.Create.Options;
    const bool hasApc = Irp->Overlay.AsynchronousParameters.UserApcRoutine != nullptr;
    UNREFERENCED_PARAMETER(createOptions);
    UNREFERENCED_PARAMETER(hasApc);
    const ULONG readLength = stack->Parameters.Read.Length;
    const ULONG writeLength = stack->Parameters.Write.Length;
    const LONGLONG offset = stack->Parameters.Read.ByteOffset.QuadPart;
    const ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    const ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const PVOID type3 = stack->Parameters.DeviceIoControl.Type3InputBuffer;
    const PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
    const SYSTEM_POWER_STATE wake = stack->Parameters.WaitWake.PowerState;
    const POWER_STATE_TYPE powerType = stack->Parameters.Power.Type;
    const POWER_STATE powerState = stack->Parameters.Power.State;
    const POWER_ACTION action = stack->Parameters.Power.ShutdownType;
    const PVOID resources = stack->Parameters.StartDevice.AllocatedResources;
    const UCHAR minor = stack->MinorFunction;
    const PFILE_OBJECT stackFile = stack->FileObject;
    const PDEVICE_OBJECT stackDevice = stack->DeviceObject;
    const PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    const PVOID context = stack->Context;
    const UCHAR control2 = stack->Control;
    const UCHAR flags = stack->Flags;
    UNREFERENCED_PARAMETER(readLength);
    UNREFERENCED_PARAMETER(writeLength);
    UNREFERENCED_PARAMETER(offset);
    UNREFERENCED_PARAMETER(outLength);
    UNREFERENCED_PARAMETER(inLength);
    UNREFERENCED_PARAMETER(type3);
    UNREFERENCED_PARAMETER(caps);
    UNREFERENCED_PARAMETER(wake);
    UNREFERENCED_PARAMETER(powerType);
    UNREFERENCED_PARAMETER(powerState);
    UNREFERENCED_PARAMETER(action);
    UNREFERENCED_PARAMETER(resources);
    UNREFERENCED_PARAMETER(minor);
    UNREFERENCED_PARAMETER(stackFile);
    UNREFERENCED_PARAMETER(stackDevice);
    UNREFERENCED_PARAMETER(routine);
    UNREFERENCED_PARAMETER(context);
    UNREFERENCED_PARAMETER(control2);
    UNREFERENCED_PARAMETER(flags);

    File->FsContext = nullptr;
    File->FsContext2 = nullptr;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    const PVOID system = Irp->AssociatedIrp.SystemBuffer;
    const PMDL mdl = Irp->MdlAddress;
    const BOOLEAN pendingReturned = Irp->PendingReturned;
    const BOOLEAN cancel = Irp->Cancel;
    const KPROCESSOR_MODE requestor = Irp->RequestorMode;
    const PVOID user = Irp->UserBuffer;
    const CHAR stackCount = Irp->StackCount;
    const CHAR location = Irp->CurrentLocation;
    const PVOID driverContext = Irp->Tail.Overlay.DriverContext[0];
    PLIST_ENTRY entry = &Irp->Tail.Overlay.ListEntry;
    const PIO_STACK_LOCATION current = Irp->Tail.Overlay.CurrentStackLocation;
    UNREFERENCED_PARAMETER(system);
    UNREFERENCED_PARAMETER(mdl);
    UNREFERENCED_PARAMETER(pendingReturned);
    UNREFERENCED_PARAMETER(cancel);
    UNREFERENCED_PARAMETER(requestor);
    UNREFERENCED_PARAMETER(user);
    UNREFERENCED_PARAMETER(stackCount);
    UNREFERENCED_PARAMETER(location);
    UNREFERENCED_PARAMETER(driverContext);
    UNREFERENCED_PARAMETER(entry);
    UNREFERENCED_PARAMETER(current);

    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    IoSetNextIrpStackLocation(own);
    IoMarkIrpPending(Irp);
    IoSetCompletionRoutine(Irp, SomeCompletion, nullptr, TRUE, TRUE, TRUE);
    const PDRIVER_CANCEL previousCancel = IoSetCancelRoutine(Irp, SomeCancel);
    UNREFERENCED_PARAMETER(previousCancel);
    if (IoSetCancelRoutine(Irp, nullptr) == nullptr)
        IoSetCancelRoutine(Irp, NULL);
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    IoReleaseCancelSpinLock(cancelIrql);
    const BOOLEAN cancelled = IoCancelIrp(own);
    UNREFERENCED_PARAMETER(cancelled);

    NTSTATUS status = IoCallDriver(Lower, Irp);
    status = IofCallDriver(Lower, own);
    UNREFERENCED_PARAMETER(status);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    IoFreeIrp(own);
}

// --- MDLs ---------------------------------------------------------------------------------------
void UsesMdls(PIRP Irp, PVOID UserAddress) {
    static_assert(PAGE_SIZE == 0x1000 && MDL_MAPPED_TO_SYSTEM_VA == 1 && MDL_PAGES_LOCKED == 2 &&
                  MDL_SOURCE_IS_NONPAGED_POOL == 4 && MDL_PARTIAL == 0x10);
    static_assert(IoReadAccess == 0 && IoWriteAccess == 1 && IoModifyAccess == 2);
    const PMDL whole = IoAllocateMdl(UserAddress, 8192, FALSE, FALSE, Irp);
    const PMDL part = IoAllocateMdl(UserAddress, 4096, FALSE, FALSE, nullptr);
    const LOCK_OPERATION operation = IoWriteAccess;
    const NTSTATUS probed = ProbeAndLockPagesGuarded(whole, UserMode, operation);
    UNREFERENCED_PARAMETER(probed);
    const PVOID start = MmGetMdlVirtualAddress(whole);
    const ULONG count = MmGetMdlByteCount(whole);
    const ULONG byteOffset = MmGetMdlByteOffset(whole);
    UNREFERENCED_PARAMETER(count);
    UNREFERENCED_PARAMETER(byteOffset);
    IoBuildPartialMdl(whole, part, start, 4096);
    const PVOID mapped = MmGetSystemAddressForMdlSafe(part, NormalPagePriority);
    const PVOID mappedHigh = MmGetSystemAddressForMdlSafe(part, HighPagePriority);
    const MM_PAGE_PRIORITY low = LowPagePriority;
    const CSHORT mdlFlags = part->MdlFlags;
    UNREFERENCED_PARAMETER(mapped);
    UNREFERENCED_PARAMETER(mappedHigh);
    UNREFERENCED_PARAMETER(low);
    UNREFERENCED_PARAMETER(mdlFlags);
    IoFreeMdl(part);
    MmUnlockPages(whole);
    MmProbeAndLockPages(whole, KernelMode, IoReadAccess);
    IoFreeMdl(whole);
}

// --- power --------------------------------------------------------------------------------------
static_assert(PowerSystemUnspecified == 0 && PowerSystemWorking == 1 && PowerSystemSleeping1 == 2 &&
              PowerSystemSleeping2 == 3 && PowerSystemSleeping3 == 4 && PowerSystemHibernate == 5 &&
              PowerSystemShutdown == 6 && PowerSystemMaximum == 7);
static_assert(PowerDeviceUnspecified == 0 && PowerDeviceD0 == 1 && PowerDeviceD1 == 2 &&
              PowerDeviceD2 == 3 && PowerDeviceD3 == 4 && PowerDeviceMaximum == 5);
static_assert(SystemPowerState == 0 && DevicePowerState == 1);
static_assert(PowerActionNone == 0 && PowerActionReserved == 1 && PowerActionSleep == 2 &&
              PowerActionHibernate == 3 && PowerActionShutdown == 4 &&
              PowerActionShutdownReset == 5 && PowerActionShutdownOff == 6 &&
              PowerActionWarmEject == 7);

void NTAPI SomePowerComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                             POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(Context);
    UNREFERENCED_PARAMETER(IoStatus);
}

void UsesPower(PDEVICE_OBJECT Pdo, PDEVICE_OBJECT Fdo, PIRP Irp, PDEVICE_CAPABILITIES Caps) {
    POWER_STATE state;
    state.DeviceState = PowerDeviceD2;
    state.SystemState = PowerSystemWorking;
    const PREQUEST_POWER_COMPLETE completion = SomePowerComplete;
    PIRP sent = nullptr;
    NTSTATUS status = PoRequestPowerIrp(Pdo, IRP_MN_SET_POWER, state, completion, Fdo, &sent);
    status = PoRequestPowerIrp(Pdo, IRP_MN_WAIT_WAKE, state, completion, nullptr, nullptr);
    PoStartNextPowerIrp(Irp);
    status = PoCallDriver(Pdo, Irp);
    UNREFERENCED_PARAMETER(status);
    const POWER_STATE previous = PoSetPowerState(Fdo, DevicePowerState, state);
    UNREFERENCED_PARAMETER(previous);

    const DEVICE_POWER_STATE mapped = Caps->DeviceState[PowerSystemSleeping1];
    const DEVICE_POWER_STATE wake = Caps->DeviceWake;
    const SYSTEM_POWER_STATE systemWake = Caps->SystemWake;
    const ULONG bits = Caps->DeviceD1 + Caps->DeviceD2 + Caps->WakeFromD0 + Caps->WakeFromD1 +
                       Caps->WakeFromD2 + Caps->WakeFromD3 + Caps->SurpriseRemovalOK +
                       Caps->Removable;
    Caps->Size = sizeof(DEVICE_CAPABILITIES);
    Caps->Version = 1;
    Caps->Address = static_cast<ULONG>(-1);
    Caps->UINumber = static_cast<ULONG>(-1);
    UNREFERENCED_PARAMETER(mapped);
    UNREFERENCED_PARAMETER(wake);
    UNREFERENCED_PARAMETER(systemWake);
    UNREFERENCED_PARAMETER(bits);
    const PSYSTEM_POWER_STATE systemPointer = nullptr;
    const PDEVICE_POWER_STATE devicePointer = nullptr;
    const PPOWER_STATE statePointer = nullptr;
    UNREFERENCED_PARAMETER(systemPointer);
    UNREFERENCED_PARAMETER(devicePointer);
    UNREFERENCED_PARAMETER(statePointer);
}

// --- USB ----------------------------------------------------------------------------------------
static_assert(sizeof(USB_COMMON_DESCRIPTOR) == 2 && sizeof(USB_DEVICE_DESCRIPTOR) == 18 &&
              sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9 && sizeof(USB_INTERFACE_DESCRIPTOR) == 9 &&
              sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);
static_assert(USB_DEVICE_DESCRIPTOR_TYPE == 1 && USB_CONFIGURATION_DESCRIPTOR_TYPE == 2 &&
              USB_STRING_DESCRIPTOR_TYPE == 3 && USB_INTERFACE_DESCRIPTOR_TYPE == 4 &&
              USB_ENDPOINT_DESCRIPTOR_TYPE == 5);
static_assert(USB_ENDPOINT_DIRECTION_MASK == 0x80 && USB_ENDPOINT_TYPE_MASK == 3 &&
              USB_ENDPOINT_TYPE_CONTROL == 0 && USB_ENDPOINT_TYPE_ISOCHRONOUS == 1 &&
              USB_ENDPOINT_TYPE_BULK == 2 && USB_ENDPOINT_TYPE_INTERRUPT == 3);
static_assert(USB_ENDPOINT_DIRECTION_IN(0x81) && !USB_ENDPOINT_DIRECTION_IN(0x02));
static_assert(USBD_SUCCESS(USBD_STATUS_SUCCESS) && USBD_PENDING(USBD_STATUS_PENDING) &&
              USBD_ERROR(USBD_STATUS_STALL_PID));
static_assert(USBD_STATUS_DEV_NOT_RESPONDING == (USBD_STATUS)0xC0000005L &&
              USBD_STATUS_DATA_UNDERRUN == (USBD_STATUS)0xC0000009L &&
              USBD_STATUS_BUFFER_OVERRUN == (USBD_STATUS)0xC000000CL &&
              USBD_STATUS_INVALID_URB_FUNCTION == (USBD_STATUS)0x80000200L &&
              USBD_STATUS_INVALID_PARAMETER == (USBD_STATUS)0x80000300L &&
              USBD_STATUS_INVALID_PIPE_HANDLE == (USBD_STATUS)0x80000600L &&
              USBD_STATUS_ERROR_SHORT_TRANSFER == (USBD_STATUS)0x80000900L &&
              USBD_STATUS_CANCELED == (USBD_STATUS)0xC0010000L &&
              USBD_STATUS_DEVICE_GONE == (USBD_STATUS)0xC0007000L);
static_assert(URB_FUNCTION_SELECT_CONFIGURATION == 0 && URB_FUNCTION_SELECT_INTERFACE == 1 &&
              URB_FUNCTION_ABORT_PIPE == 2 && URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER == 9 &&
              URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE == 0x0B &&
              URB_FUNCTION_VENDOR_DEVICE == 0x17 && URB_FUNCTION_RESET_PIPE == 0x1E);
static_assert(USBD_TRANSFER_DIRECTION_OUT == 0 && USBD_TRANSFER_DIRECTION_IN == 1 &&
              USBD_SHORT_TRANSFER_OK == 2 && USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE == 0xFFFFFFFF);
static_assert(UsbdPipeTypeControl == 0 && UsbdPipeTypeIsochronous == 1 && UsbdPipeTypeBulk == 2 &&
              UsbdPipeTypeInterrupt == 3);
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003 &&
              IOCTL_INTERNAL_USB_RESET_PORT == 0x220007 &&
              IOCTL_INTERNAL_USB_GET_PORT_STATUS == 0x220013);
static_assert(USB_SUBMIT_URB == 0 && USB_RESET_PORT == 1 && USB_GET_PORT_STATUS == 4);
static_assert(USBD_PORT_ENABLED == 1 && USBD_PORT_CONNECTED == 2);

void UsesUsb(PURB Urb, PUSB_CONFIGURATION_DESCRIPTOR Config, PMDL Mdl) {
    USHORT size = 0;
    const PURB select = USBD_CreateConfigurationRequest(Config, &size);
    const PUSB_INTERFACE_DESCRIPTOR found =
        USBD_ParseConfigurationDescriptorEx(Config, Config, -1, -1, -1, -1, -1);
    const UCHAR endpoints = found->bNumEndpoints + found->bInterfaceNumber +
                            found->bAlternateSetting + found->bInterfaceClass +
                            found->bInterfaceSubClass + found->bInterfaceProtocol +
                            found->iInterface + found->bLength + found->bDescriptorType;
    UNREFERENCED_PARAMETER(endpoints);

    PUSBD_INTERFACE_INFORMATION info = &select->UrbSelectConfiguration.Interface;
    const USBD_CONFIGURATION_HANDLE configHandle =
        select->UrbSelectConfiguration.ConfigurationHandle;
    select->UrbSelectConfiguration.ConfigurationDescriptor = Config;
    const USBD_INTERFACE_HANDLE interfaceHandle = info->InterfaceHandle;
    const ULONG pipes = info->NumberOfPipes + info->Length + info->InterfaceNumber +
                        info->AlternateSetting + info->Class + info->SubClass + info->Protocol +
                        info->Reserved;
    PUSBD_PIPE_INFORMATION pipe = &info->Pipes[0];
    pipe->MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    pipe->PipeFlags = 0;
    const USBD_PIPE_HANDLE pipeHandle = pipe->PipeHandle;
    const USBD_PIPE_TYPE pipeType = pipe->PipeType;
    const ULONG pipeFacts = pipe->MaximumPacketSize + pipe->EndpointAddress + pipe->Interval;
    UNREFERENCED_PARAMETER(configHandle);
    UNREFERENCED_PARAMETER(interfaceHandle);
    UNREFERENCED_PARAMETER(pipes);
    UNREFERENCED_PARAMETER(pipeType);
    UNREFERENCED_PARAMETER(pipeFacts);

    Urb->UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    Urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    const USBD_STATUS usbdStatus = Urb->UrbHeader.Status;
    const PVOID deviceHandle = Urb->UrbHeader.UsbdDeviceHandle;
    const ULONG usbdFlags = Urb->UrbHeader.UsbdFlags;
    UNREFERENCED_PARAMETER(usbdStatus);
    UNREFERENCED_PARAMETER(deviceHandle);
    UNREFERENCED_PARAMETER(usbdFlags);

    struct _URB_BULK_OR_INTERRUPT_TRANSFER& bulk = Urb->UrbBulkOrInterruptTransfer;
    bulk.PipeHandle = pipeHandle;
    bulk.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    bulk.TransferBufferLength = 4096;
    bulk.TransferBuffer = nullptr;
    bulk.TransferBufferMDL = Mdl;
    bulk.UrbLink = nullptr;

    struct _URB_CONTROL_DESCRIPTOR_REQUEST& descriptor = Urb->UrbControlDescriptorRequest;
    descriptor.Index = 0;
    descriptor.DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    descriptor.LanguageId = 0;
    descriptor.TransferBuffer = nullptr;
    descriptor.TransferBufferLength = sizeof(USB_DEVICE_DESCRIPTOR);
    descriptor.TransferBufferMDL = nullptr;
    descriptor.UrbLink = nullptr;

    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& vendor = Urb->UrbControlVendorClassRequest;
    vendor.TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
    vendor.RequestTypeReservedBits = 0;
    vendor.Request = 1;
    vendor.Value = 2;
    vendor.Index = 3;
    vendor.TransferBufferLength = 0;
    vendor.TransferBuffer = nullptr;
    vendor.TransferBufferMDL = nullptr;
    vendor.UrbLink = nullptr;

    struct _URB_PIPE_REQUEST& pipeRequest = Urb->UrbPipeRequest;
    pipeRequest.PipeHandle = pipeHandle;

    const PUSB_DEVICE_DESCRIPTOR device = nullptr;
    const PUSB_ENDPOINT_DESCRIPTOR endpoint = nullptr;
    const PUSB_COMMON_DESCRIPTOR common = nullptr;
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(endpoint);
    UNREFERENCED_PARAMETER(common);
    const USHORT total = Config->wTotalLength;
    const UCHAR value = Config->bConfigurationValue + Config->bNumInterfaces +
                        Config->iConfiguration + Config->bmAttributes + Config->MaxPower;
    UNREFERENCED_PARAMETER(total);
    UNREFERENCED_PARAMETER(value);
    ExFreePool(select);
}

} // namespace

// Keeps every use above in the image, so that each routine it calls is imported and checked.
extern "C" void* const WdmusbPlatformNameUses[] = {
    reinterpret_cast<void*>(UsesBasics),
    reinterpret_cast<void*>(UsesForceInline),
    reinterpret_cast<void*>(UsesKernel),
    reinterpret_cast<void*>(UsesPoolAndRtl),
    reinterpret_cast<void*>(UsesDriverAndDeviceObjects),
    reinterpret_cast<void*>(UsesIrps),
    reinterpret_cast<void*>(UsesMdls),
    reinterpret_cast<void*>(UsesPower),
    reinterpret_cast<void*>(UsesUsb),
};

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(DriverObject);
    const size_t count = sizeof(WdmusbPlatformNameUses) / sizeof(WdmusbPlatformNameUses[0]);
    return WdmusbPlatformNameUses[RegistryPath->Length % count] != nullptr ? STATUS_SUCCESS
                                                                           : STATUS_UNSUCCESSFUL;
}
