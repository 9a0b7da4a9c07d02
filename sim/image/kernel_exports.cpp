#include "sim/image/kernel_exports.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>

#if defined(__i386__)
#include "platform/host/host_platform.h"
#include "sim/image/image_exceptions.h"
#include "sim/image/import_gate.h"
#include "sim/image/loaded_image.h"
#endif

namespace sim::image {

#if defined(__i386__)

namespace {

// The image keeps the stack aligned to 4 bytes only; the simulator's code expects 16.
#define KERNEL_STDCALL  __attribute__((stdcall, force_align_arg_pointer))
#define KERNEL_FASTCALL __attribute__((fastcall, force_align_arg_pointer))
#define KERNEL_CDECL    __attribute__((cdecl, force_align_arg_pointer))

// The convention and argument bytes of a routine, from its own type: what the loader compares with
// the image's decorated import names.
template <class... A> constexpr std::uint32_t argumentBytes() {
    return (0 + ... + static_cast<std::uint32_t>((sizeof(A) + 3) / 4 * 4));
}
template <class R, class... A>
constexpr KernelExport described(const char* module, const char* name,
                                 R(KERNEL_STDCALL* routine)(A...)) {
    return {module,
            name,
            reinterpret_cast<const void*>(routine),
            Convention::Stdcall,
            argumentBytes<A...>(),
            argumentBytes<A...>()};
}
template <class R, class... A>
constexpr KernelExport described(const char* module, const char* name,
                                 R(KERNEL_FASTCALL* routine)(A...)) {
    static_assert(((sizeof(A) <= 4) && ...), "fastcall routines here take 32-bit arguments");
    constexpr std::uint32_t bytes = argumentBytes<A...>();
    return {module,
            name,
            reinterpret_cast<const void*>(routine),
            Convention::Fastcall,
            bytes,
            bytes > 8 ? bytes - 8 : 0};
}
template <class R, class... A>
constexpr KernelExport described(const char* module, const char* name,
                                 R(KERNEL_CDECL* routine)(A...)) {
    return {module,
            name,
            reinterpret_cast<const void*>(routine),
            Convention::Cdecl,
            argumentBytes<A...>(),
            0};
}

SimCallSite caller() {
    const std::uintptr_t from = currentImageReturn();
    if (const LoadedImage* image = imageHolding(from))
        return image->siteOf(from);
    return SimCallSite{"?", "?", 0};
}

// --- ntoskrnl.exe ------------------------------------------------------------------------------
KERNEL_STDCALL PVOID ExAllocatePoolWithTag_(POOL_TYPE type, SIZE_T bytes, ULONG tag) {
    return ExAllocatePoolWithTag(type, bytes, tag, caller());
}
KERNEL_STDCALL void ExFreePool_(PVOID block) {
    ExFreePool(block, caller());
}
KERNEL_FASTCALL LONG InterlockedIncrement_(LONG volatile* addend) {
    return InterlockedIncrement(addend);
}
KERNEL_FASTCALL LONG InterlockedDecrement_(LONG volatile* addend) {
    return InterlockedDecrement(addend);
}
KERNEL_FASTCALL LONG InterlockedExchange_(LONG volatile* target, LONG value) {
    return InterlockedExchange(target, value);
}
KERNEL_FASTCALL LONG InterlockedExchangeAdd_(LONG volatile* addend, LONG value) {
    return InterlockedExchangeAdd(addend, value);
}
KERNEL_FASTCALL LONG InterlockedCompareExchange_(LONG volatile* target, LONG exchange,
                                                 LONG comparand) {
    return InterlockedCompareExchange(target, exchange, comparand);
}
KERNEL_STDCALL PIRP IoAllocateIrp_(CCHAR stackSize, BOOLEAN chargeQuota) {
    return IoAllocateIrp(stackSize, chargeQuota, caller());
}
KERNEL_STDCALL void IoFreeIrp_(PIRP irp) {
    IoFreeIrp(irp, caller());
}
KERNEL_STDCALL PMDL IoAllocateMdl_(PVOID address, ULONG length, BOOLEAN secondary, BOOLEAN quota,
                                   PIRP irp) {
    return IoAllocateMdl(address, length, secondary, quota, irp, caller());
}
KERNEL_STDCALL void IoBuildPartialMdl_(PMDL source, PMDL target, PVOID address, ULONG length) {
    IoBuildPartialMdl(source, target, address, length, caller());
}
KERNEL_STDCALL void IoFreeMdl_(PMDL mdl) {
    IoFreeMdl(mdl, caller());
}
KERNEL_STDCALL PDEVICE_OBJECT IoAttachDeviceToDeviceStack_(PDEVICE_OBJECT source,
                                                           PDEVICE_OBJECT target) {
    return IoAttachDeviceToDeviceStack(source, target, caller());
}
KERNEL_STDCALL PIRP IoBuildDeviceIoControlRequest_(ULONG code, PDEVICE_OBJECT device, PVOID input,
                                                   ULONG inputLength, PVOID output,
                                                   ULONG outputLength, BOOLEAN internal,
                                                   PKEVENT event, PIO_STATUS_BLOCK status) {
    return IoBuildDeviceIoControlRequest(code, device, input, inputLength, output, outputLength,
                                         internal, event, status, caller());
}
KERNEL_STDCALL BOOLEAN IoCancelIrp_(PIRP irp) {
    return IoCancelIrp(irp, caller());
}
KERNEL_STDCALL void IoAcquireCancelSpinLock_(PKIRQL irql) {
    IoAcquireCancelSpinLock(irql, caller());
}
KERNEL_STDCALL void IoReleaseCancelSpinLock_(KIRQL irql) {
    IoReleaseCancelSpinLock(irql, caller());
}
KERNEL_STDCALL NTSTATUS IoCreateDevice_(PDRIVER_OBJECT driver, ULONG extensionSize,
                                        PUNICODE_STRING name, DEVICE_TYPE type,
                                        ULONG characteristics, BOOLEAN exclusive,
                                        PDEVICE_OBJECT* device) {
    return IoCreateDevice(driver, extensionSize, name, type, characteristics, exclusive, device,
                          caller());
}
KERNEL_STDCALL void IoDeleteDevice_(PDEVICE_OBJECT device) {
    IoDeleteDevice(device, caller());
}
KERNEL_STDCALL void IoDetachDevice_(PDEVICE_OBJECT target) {
    IoDetachDevice(target, caller());
}
KERNEL_STDCALL NTSTATUS IoRegisterDeviceInterface_(PDEVICE_OBJECT pdo, const GUID* guid,
                                                   PUNICODE_STRING reference,
                                                   PUNICODE_STRING link) {
    return IoRegisterDeviceInterface(pdo, guid, reference, link, caller());
}
KERNEL_STDCALL NTSTATUS IoSetDeviceInterfaceState_(PUNICODE_STRING link, BOOLEAN enable) {
    return IoSetDeviceInterfaceState(link, enable, caller());
}
KERNEL_FASTCALL NTSTATUS IofCallDriver_(PDEVICE_OBJECT device, PIRP irp) {
    return IofCallDriver(device, irp, caller());
}
KERNEL_FASTCALL void IofCompleteRequest_(PIRP irp, CCHAR boost) {
    IofCompleteRequest(irp, boost, caller());
}
KERNEL_STDCALL void KeInitializeEvent_(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
    KeInitializeEvent(event, type, state, caller());
}
KERNEL_STDCALL LONG KeSetEvent_(PRKEVENT event, KPRIORITY increment, BOOLEAN wait) {
    return KeSetEvent(event, increment, wait, caller());
}
KERNEL_STDCALL LONG KeResetEvent_(PRKEVENT event) {
    return KeResetEvent(event, caller());
}
KERNEL_STDCALL LONG KeReadStateEvent_(PRKEVENT event) {
    return KeReadStateEvent(event);
}
KERNEL_STDCALL NTSTATUS KeWaitForSingleObject_(PVOID object, KWAIT_REASON reason,
                                               KPROCESSOR_MODE mode, BOOLEAN alertable,
                                               PLARGE_INTEGER timeout) {
    return KeWaitForSingleObject(object, reason, mode, alertable, timeout, caller());
}
KERNEL_STDCALL void KeInitializeSpinLock_(PKSPIN_LOCK lock) {
    KeInitializeSpinLock(lock);
}
KERNEL_STDCALL void MmUnlockPages_(PMDL mdl) {
    MmUnlockPages(mdl, caller());
}
// The platform's MmGetSystemAddressForMdlSafe is a macro: it reads MdlFlags and MappedSystemVa,
// and calls this when the MDL is not mapped yet.
KERNEL_STDCALL PVOID MmMapLockedPagesSpecifyCache_(PMDL mdl, KPROCESSOR_MODE mode, ULONG cacheType,
                                                   PVOID baseAddress, ULONG bugCheckOnFailure,
                                                   ULONG priority) {
    UNREFERENCED_PARAMETER(mode);
    UNREFERENCED_PARAMETER(cacheType);
    UNREFERENCED_PARAMETER(baseAddress);
    UNREFERENCED_PARAMETER(bugCheckOnFailure);
    return MmGetSystemAddressForMdlSafe(mdl, priority, caller());
}
KERNEL_STDCALL NTSTATUS PoCallDriver_(PDEVICE_OBJECT device, PIRP irp) {
    return PoCallDriver(device, irp, caller());
}
KERNEL_STDCALL NTSTATUS PoRequestPowerIrp_(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state,
                                           PREQUEST_POWER_COMPLETE completion, PVOID context,
                                           PIRP* irp) {
    return PoRequestPowerIrp(device, minor, state, completion, context, irp, caller());
}
KERNEL_STDCALL void PoStartNextPowerIrp_(PIRP irp) {
    PoStartNextPowerIrp(irp, caller());
}
KERNEL_STDCALL void RtlInitUnicodeString_(PUNICODE_STRING destination, PCWSTR source) {
    RtlInitUnicodeString(destination, source);
}
KERNEL_STDCALL void RtlFreeUnicodeString_(PUNICODE_STRING string) {
    RtlFreeUnicodeString(string, caller());
}
KERNEL_CDECL void* memcpy_(void* destination, const void* source, SIZE_T length) {
    return std::memcpy(destination, source, length);
}
KERNEL_CDECL void* memmove_(void* destination, const void* source, SIZE_T length) {
    return std::memmove(destination, source, length);
}
KERNEL_CDECL void* memset_(void* destination, int value, SIZE_T length) {
    return std::memset(destination, value, length);
}
// 64-bit division: a division by zero faults, as in the platform's own helpers.
KERNEL_STDCALL ULONGLONG aulldiv_(ULONGLONG dividend, ULONGLONG divisor) {
    return dividend / divisor;
}
KERNEL_STDCALL ULONGLONG aullrem_(ULONGLONG dividend, ULONGLONG divisor) {
    return dividend % divisor;
}
KERNEL_STDCALL LONGLONG alldiv_(LONGLONG dividend, LONGLONG divisor) {
    return dividend / divisor;
}
KERNEL_STDCALL LONGLONG allrem_(LONGLONG dividend, LONGLONG divisor) {
    return dividend % divisor;
}

// --- HAL.dll -----------------------------------------------------------------------------------
KERNEL_FASTCALL KIRQL KfAcquireSpinLock_(PKSPIN_LOCK lock) {
    return KfAcquireSpinLock(lock, caller());
}
KERNEL_FASTCALL void KfReleaseSpinLock_(PKSPIN_LOCK lock, KIRQL irql) {
    KfReleaseSpinLock(lock, irql, caller());
}
KERNEL_FASTCALL KIRQL KfRaiseIrql_(KIRQL irql) {
    return KfRaiseIrql(irql, caller());
}
KERNEL_FASTCALL void KfLowerIrql_(KIRQL irql) {
    KfLowerIrql(irql, caller());
}
KERNEL_STDCALL KIRQL KeGetCurrentIrql_() {
    return KeGetCurrentIrql();
}

// --- USBD.SYS ----------------------------------------------------------------------------------
KERNEL_STDCALL PURB USBD_CreateConfigurationRequest_(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                                     PUSHORT size) {
    return USBD_CreateConfigurationRequest(configuration, size, caller());
}
KERNEL_STDCALL PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx_(
    PUSB_CONFIGURATION_DESCRIPTOR configuration, PVOID start, LONG number, LONG alternate,
    LONG interfaceClass, LONG subClass, LONG protocol) {
    return USBD_ParseConfigurationDescriptorEx(configuration, start, number, alternate,
                                               interfaceClass, subClass, protocol);
}

constexpr const char* kKernel = "ntoskrnl.exe";
constexpr const char* kHal = "HAL.dll";
constexpr const char* kUsbd = "USBD.SYS";

const std::array kExports{
    described(kKernel, "ExAllocatePoolWithTag", &ExAllocatePoolWithTag_),
    described(kKernel, "ExFreePool", &ExFreePool_),
    described(kKernel, "InterlockedIncrement", &InterlockedIncrement_),
    described(kKernel, "InterlockedDecrement", &InterlockedDecrement_),
    described(kKernel, "InterlockedExchange", &InterlockedExchange_),
    described(kKernel, "InterlockedExchangeAdd", &InterlockedExchangeAdd_),
    described(kKernel, "InterlockedCompareExchange", &InterlockedCompareExchange_),
    described(kKernel, "IoAllocateIrp", &IoAllocateIrp_),
    described(kKernel, "IoFreeIrp", &IoFreeIrp_),
    described(kKernel, "IoAllocateMdl", &IoAllocateMdl_),
    described(kKernel, "IoBuildPartialMdl", &IoBuildPartialMdl_),
    described(kKernel, "IoFreeMdl", &IoFreeMdl_),
    described(kKernel, "IoAttachDeviceToDeviceStack", &IoAttachDeviceToDeviceStack_),
    described(kKernel, "IoBuildDeviceIoControlRequest", &IoBuildDeviceIoControlRequest_),
    described(kKernel, "IoCancelIrp", &IoCancelIrp_),
    described(kKernel, "IoAcquireCancelSpinLock", &IoAcquireCancelSpinLock_),
    described(kKernel, "IoReleaseCancelSpinLock", &IoReleaseCancelSpinLock_),
    described(kKernel, "IoCreateDevice", &IoCreateDevice_),
    described(kKernel, "IoDeleteDevice", &IoDeleteDevice_),
    described(kKernel, "IoDetachDevice", &IoDetachDevice_),
    described(kKernel, "IoRegisterDeviceInterface", &IoRegisterDeviceInterface_),
    described(kKernel, "IoSetDeviceInterfaceState", &IoSetDeviceInterfaceState_),
    described(kKernel, "IofCallDriver", &IofCallDriver_),
    described(kKernel, "IofCompleteRequest", &IofCompleteRequest_),
    described(kKernel, "KeInitializeEvent", &KeInitializeEvent_),
    described(kKernel, "KeSetEvent", &KeSetEvent_),
    described(kKernel, "KeResetEvent", &KeResetEvent_),
    described(kKernel, "KeReadStateEvent", &KeReadStateEvent_),
    described(kKernel, "KeWaitForSingleObject", &KeWaitForSingleObject_),
    described(kKernel, "KeInitializeSpinLock", &KeInitializeSpinLock_),
    described(kKernel, "MmProbeAndLockPages", &imageMmProbeAndLockPages),
    described(kKernel, "MmUnlockPages", &MmUnlockPages_),
    described(kKernel, "MmMapLockedPagesSpecifyCache", &MmMapLockedPagesSpecifyCache_),
    described(kKernel, "PoCallDriver", &PoCallDriver_),
    described(kKernel, "PoRequestPowerIrp", &PoRequestPowerIrp_),
    described(kKernel, "PoStartNextPowerIrp", &PoStartNextPowerIrp_),
    described(kKernel, "RtlInitUnicodeString", &RtlInitUnicodeString_),
    described(kKernel, "RtlFreeUnicodeString", &RtlFreeUnicodeString_),
    described(kKernel, "RtlUnwind", &imageRtlUnwind),
    described(kKernel, "memcpy", &memcpy_),
    described(kKernel, "memmove", &memmove_),
    described(kKernel, "memset", &memset_),
    described(kKernel, "_aulldiv", &aulldiv_),
    described(kKernel, "_aullrem", &aullrem_),
    described(kKernel, "_alldiv", &alldiv_),
    described(kKernel, "_allrem", &allrem_),
    described(kHal, "KfAcquireSpinLock", &KfAcquireSpinLock_),
    described(kHal, "KfReleaseSpinLock", &KfReleaseSpinLock_),
    described(kHal, "KfRaiseIrql", &KfRaiseIrql_),
    described(kHal, "KfLowerIrql", &KfLowerIrql_),
    described(kHal, "KeGetCurrentIrql", &KeGetCurrentIrql_),
    described(kUsbd, "USBD_CreateConfigurationRequest", &USBD_CreateConfigurationRequest_),
    // The extended routines are imported by their decorated names
    // (platform/kernel/usbd-imports.def).
    described(kUsbd, "_USBD_ParseConfigurationDescriptorEx@28",
              &USBD_ParseConfigurationDescriptorEx_),
};

} // namespace

std::span<const KernelExport> kernelExports() {
    return kExports;
}

#else

std::span<const KernelExport> kernelExports() {
    return {};
}

#endif

const KernelExport* findKernelExport(std::string_view module, std::string_view name) {
    const auto sameModule = [module](const char* other) {
        const std::string_view b(other);
        return module.size() == b.size() &&
               std::equal(module.begin(), module.end(), b.begin(), [](char x, char y) {
                   return std::tolower(static_cast<unsigned char>(x)) ==
                          std::tolower(static_cast<unsigned char>(y));
               });
    };
    for (const KernelExport& e : kernelExports())
        if (name == e.name && sameModule(e.module))
            return &e;
    return nullptr;
}

} // namespace sim::image
