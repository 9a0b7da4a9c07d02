// Routines the function driver imports that Wine 8.0 exports only as stubs: its ntoskrnl.exe
// aborts the calling process on the first call ("Call from ... to unimplemented function
// ntoskrnl.exe.IoBuildPartialMdl, aborting"). Drivers under Wine share one process, and the bus is
// loaded before the driver of its child, so the bus redirects each such stub to a routine of its
// own here, before the driver's imports are bound to them. This is test code for Wine: on Windows
// the routines are implemented, no stub is recognised and nothing is changed.
#include "loopbus/pool.h"

namespace {

// Wine's stub for NAME: up to 16 bytes of padding, then "sub $0xc,%esp; movl $NAME,4(%esp)"
// (the routine's name, for the abort message). Recognised by that name, read where the stub
// points.
bool IsWineStub(const UCHAR* Code, const char* Name) {
    ULONG at = 0;
    while (at < 16 && Code[at] == 0x90)
        ++at;
    static constexpr UCHAR kPrologue[] = {0x83, 0xEC, 0x0C, 0xC7, 0x44, 0x24, 0x04};
    if (RtlCompareMemory(Code + at, kPrologue, sizeof(kPrologue)) != sizeof(kPrologue))
        return false;
    const char* named = nullptr;
    RtlCopyMemory(&named, Code + at + sizeof(kPrologue), sizeof(named));
    ULONG i = 0;
    while (Name[i] != '\0' && named[i] == Name[i])
        ++i;
    return Name[i] == '\0' && named[i] == '\0';
}

using ProtectMemory = NTSTATUS(NTAPI*)(HANDLE, PVOID*, PSIZE_T, ULONG, PULONG);

// Overwrites the stub's first bytes with a jump to Replacement.
bool RedirectStub(UCHAR* Stub, PVOID Replacement) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"ZwProtectVirtualMemory");
    const auto protect = reinterpret_cast<ProtectMemory>(MmGetSystemRoutineAddress(&name));
    if (protect == nullptr)
        return false;
    PVOID base = Stub;
    SIZE_T bytes = 5;
    ULONG old = 0;
    if (!NT_SUCCESS(protect(NtCurrentProcess(), &base, &bytes, PAGE_EXECUTE_READWRITE, &old)))
        return false;
    const LONG distance = static_cast<LONG>(reinterpret_cast<ULONG_PTR>(Replacement) -
                                            (reinterpret_cast<ULONG_PTR>(Stub) + 5));
    Stub[0] = 0xE9; // jmp rel32
    RtlCopyMemory(Stub + 1, &distance, sizeof(distance));
    base = Stub;
    bytes = 5;
    protect(NtCurrentProcess(), &base, &bytes, old, &old);
    return true;
}

// A partial MDL: the part of the source's buffer from VirtualAddress, Length bytes (0: to the end).
// Wine maps every buffer in the drivers' own process, so the part's system address is the source's
// plus the offset whenever the source has one.
VOID NTAPI SuppliedIoBuildPartialMdl(PMDL Source, PMDL Target, PVOID VirtualAddress, ULONG Length) {
    const ULONG_PTR offset = reinterpret_cast<ULONG_PTR>(VirtualAddress) -
                             reinterpret_cast<ULONG_PTR>(MmGetMdlVirtualAddress(Source));
    if (Length == 0)
        Length = MmGetMdlByteCount(Source) - static_cast<ULONG>(offset);
    const CSHORT size = Target->Size;
    MmInitializeMdl(Target, VirtualAddress, Length);
    Target->Size = size;
    Target->MdlFlags = MDL_PARTIAL;
    if ((Source->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) != 0) {
        Target->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
        Target->MappedSystemVa = static_cast<UCHAR*>(Source->MappedSystemVa) + offset;
    }
    Target->Process = Source->Process;
}

// The request's record, kept until its IRP comes back.
struct POWER_REQUEST {
    PDEVICE_OBJECT Device;
    UCHAR MinorFunction;
    POWER_STATE State;
    PREQUEST_POWER_COMPLETE Complete;
    PVOID Context;
};

NTSTATUS NTAPI PowerRequestDone(PDEVICE_OBJECT Device, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(Device);
    const auto request = static_cast<POWER_REQUEST*>(Context);
    if (request->Complete != nullptr)
        request->Complete(request->Device, request->MinorFunction, request->State, request->Context,
                          &Irp->IoStatus);
    ExFreePool(request);
    IoFreeIrp(Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A power IRP sent to the top of Device's stack; Complete is called when it comes back.
NTSTATUS NTAPI SuppliedPoRequestPowerIrp(PDEVICE_OBJECT Device, UCHAR MinorFunction,
                                         POWER_STATE State, PREQUEST_POWER_COMPLETE Complete,
                                         PVOID Context, PIRP* Irp) {
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    const PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Device);
    const PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    auto* request = static_cast<POWER_REQUEST*>(AllocateBusPool(sizeof(POWER_REQUEST)));
    if (irp == nullptr || request == nullptr) {
        if (irp != nullptr)
            IoFreeIrp(irp);
        if (request != nullptr)
            ExFreePool(request);
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *request = {Device, MinorFunction, State, Complete, Context};
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    const PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        next->Parameters.WaitWake.PowerState = State.SystemState;
    } else {
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State = State;
    }
    IoSetCompletionRoutine(irp, PowerRequestDone, request, TRUE, TRUE, TRUE);
    if (Irp != nullptr)
        *Irp = irp;
    PoCallDriver(top, irp);
    ObDereferenceObject(top);
    return STATUS_PENDING;
}

struct SuppliedRoutine {
    const wchar_t* Name;
    const char* NarrowName;
    PVOID Replacement;
};

} // namespace

void SupplyMissingRoutines() {
    const SuppliedRoutine routines[] = {
        {L"IoBuildPartialMdl", "IoBuildPartialMdl",
         reinterpret_cast<PVOID>(&SuppliedIoBuildPartialMdl)},
        {L"PoRequestPowerIrp", "PoRequestPowerIrp",
         reinterpret_cast<PVOID>(&SuppliedPoRequestPowerIrp)},
    };
    for (const SuppliedRoutine& routine : routines) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, routine.Name);
        auto* code = static_cast<UCHAR*>(MmGetSystemRoutineAddress(&name));
        if (code != nullptr && IsWineStub(code, routine.NarrowName) &&
            RedirectStub(code, routine.Replacement))
            DbgPrint("loopbus: Wine's stub of %s replaced by the bus's own\n", routine.NarrowName);
    }
}
