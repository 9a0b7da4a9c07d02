#include "sim/image/image_exceptions.h"

#if defined(__i386__)

#include <asm/ldt.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "sim/core/system.h"
#include "sim/image/import_gate.h"
#include "sim/image/loaded_image.h"
#include "sim/memory/mdl_table.h"

#if defined(__SANITIZE_ADDRESS__)
extern "C" void __asan_handle_no_return();
#endif

namespace sim::image {

namespace {

// The platform's records, i386 layout (the kernel build's layout checks hold the exception
// record to the same numbers).
struct ExceptionRecord {
    NTSTATUS ExceptionCode;
    ULONG ExceptionFlags;
    ExceptionRecord* ChainedRecord;
    PVOID ExceptionAddress;
    ULONG NumberParameters;
    ULONG_PTR ExceptionInformation[15];
};
static_assert(sizeof(ExceptionRecord) == 80 && offsetof(ExceptionRecord, ExceptionFlags) == 4);

struct Registration {
    Registration* Next;
    int(__attribute__((cdecl)) * Handler)(ExceptionRecord*, void* frame, void* context,
                                          void* dispatcherContext);
};

// NT_TIB, the start of the thread environment block (user mode) and of the processor control
// region (kernel mode) that FS addresses.
struct ThreadBlock {
    Registration* ExceptionList;
    PVOID StackBase;
    PVOID StackLimit;
    PVOID SubSystemTib;
    PVOID FiberData;
    PVOID ArbitraryUserPointer;
    ThreadBlock* Self;
};
static_assert(offsetof(ThreadBlock, ExceptionList) == 0 && offsetof(ThreadBlock, Self) == 24);

Registration* const kChainEnd = reinterpret_cast<Registration*>(~std::uintptr_t{0});
constexpr ULONG kUnwinding = 0x02;
constexpr int kContinueSearch = 1;
constexpr NTSTATUS kStatusUnwind = static_cast<NTSTATUS>(0xC0000027);

thread_local ThreadBlock tBlock;
thread_local bool tPrepared = false;
std::mutex gEntryMutex;
int gEntry = -1; // the thread-area entry every thread points FS at, each with its own base

Registration* chainHead() {
    Registration* head;
    __asm__ volatile("movl %%fs:0, %0" : "=r"(head) : : "memory");
    return head;
}

void setChainHead(Registration* head) {
    __asm__ volatile("movl %0, %%fs:0" : : "r"(head) : "memory");
}

std::uintptr_t stackPointer() {
    std::uintptr_t sp;
    __asm__ volatile("movl %%esp, %0" : "=r"(sp));
    return sp;
}

// The dispatcher takes only records on the thread's stack, above the raise, 4-byte aligned.
bool validRecord(const Registration* record) {
    const auto at = reinterpret_cast<std::uintptr_t>(record);
    return at % 4 == 0 && at > stackPointer() &&
           at + sizeof(Registration) <= reinterpret_cast<std::uintptr_t>(tBlock.StackBase);
}

// Calls the handlers from the head of the chain down, as the platform's dispatcher does; returns
// only when none took the exception (a handler that takes it resumes its own frame instead).
void raise(NTSTATUS code, std::uintptr_t address, const SimCallSite& site) {
    ExceptionRecord record{};
    record.ExceptionCode = code;
    record.ExceptionAddress = reinterpret_cast<PVOID>(address);
    alignas(16) std::uint8_t context[716] = {}; // CONTEXT; the handlers here do not read it
    void* dispatcherContext = nullptr;
    for (Registration* r = chainHead(); r != kChainEnd && r != nullptr; r = r->Next) {
        if (!validRecord(r)) {
            current().verifier().report(Rule::UnguardedProbe,
                                        "an exception registration record off the stack or "
                                        "misaligned on the chain at fs:[0]",
                                        site);
            return;
        }
        abandonCallsBelow(r);
#if defined(__SANITIZE_ADDRESS__)
        __asan_handle_no_return();
#endif
        const int disposition = r->Handler(&record, r, context, &dispatcherContext);
        if (disposition != kContinueSearch) {
            std::fprintf(stderr,
                         "image exceptions: a handler of %s returned disposition %d, "
                         "which the simulator does not model\n",
                         describeAddress(reinterpret_cast<std::uintptr_t>(r->Handler)).c_str(),
                         disposition);
            std::abort();
        }
    }
}

SimCallSite callerSite() {
    const std::uintptr_t from = currentImageReturn();
    if (const LoadedImage* image = imageHolding(from))
        return image->siteOf(from);
    return SimCallSite{"?", "?", 0};
}

} // namespace

void prepareThreadForImage() {
    if (tPrepared)
        return;
    pthread_attr_t attributes;
    void* stackLow = nullptr;
    std::size_t stackSize = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        pthread_attr_getstack(&attributes, &stackLow, &stackSize);
        pthread_attr_destroy(&attributes);
    }
    tBlock.ExceptionList = kChainEnd;
    tBlock.StackLimit = stackLow;
    tBlock.StackBase = static_cast<std::uint8_t*>(stackLow) + stackSize;
    tBlock.Self = &tBlock;

    user_desc entry{};
    entry.base_addr = static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(&tBlock));
    entry.limit = sizeof(ThreadBlock) - 1;
    entry.seg_32bit = 1;
    entry.useable = 1;
    {
        std::lock_guard lock(gEntryMutex);
        entry.entry_number = static_cast<unsigned>(gEntry);
        if (syscall(SYS_set_thread_area, &entry) != 0) {
            std::perror("image exceptions: set_thread_area");
            std::abort();
        }
        gEntry = static_cast<int>(entry.entry_number);
    }
    const auto selector = static_cast<std::uint16_t>(entry.entry_number * 8 + 3);
    __asm__ volatile("movw %w0, %%fs" : : "q"(selector) : "memory");
    tPrepared = true;
}

void imageMmProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE accessMode, LOCK_OPERATION operation) {
    const SimCallSite site = callerSite();
    const NTSTATUS status = current().mdls().probeAndLock(mdl, accessMode, operation, site);
    if (status != STATUS_ACCESS_VIOLATION)
        return;
    raise(status, currentImageReturn(), site);
    // No handler of the image took it: on the platform, a bug check.
    char range[96];
    std::snprintf(range, sizeof range, "MDL %p (%p +%u bytes)", static_cast<void*>(mdl),
                  MmGetMdlVirtualAddress(mdl), static_cast<unsigned>(mdl->ByteCount));
    current().verifier().report(Rule::UnguardedProbe,
                                std::string("MmProbeAndLockPages of ") + range +
                                    " raised STATUS_ACCESS_VIOLATION and no exception handler of "
                                    "the image took it; the MDL is left unlocked",
                                site);
}

void imageRtlUnwind(PVOID targetFrame, PVOID targetIp, PVOID exceptionRecord, PVOID returnValue) {
    UNREFERENCED_PARAMETER(returnValue);
    ExceptionRecord record{};
    if (exceptionRecord != nullptr)
        record = *static_cast<ExceptionRecord*>(exceptionRecord);
    else
        record.ExceptionCode = kStatusUnwind;
    record.ExceptionFlags |= kUnwinding;
    alignas(16) std::uint8_t context[716] = {};
    void* dispatcherContext = nullptr;
    const auto target = static_cast<Registration*>(targetFrame);
    for (Registration* r = chainHead(); r != target; r = chainHead()) {
        if (r == kChainEnd || r == nullptr || !validRecord(r)) {
            current().verifier().report(Rule::ObjectMisuse,
                                        "RtlUnwind to a frame that is not on the exception chain",
                                        callerSite());
            return;
        }
        r->Handler(&record, r, context, &dispatcherContext);
        setChainHead(r->Next);
    }
    if (targetIp != nullptr)
        current().verifier().report(Rule::ObjectMisuse,
                                    "RtlUnwind with a target instruction (not modelled: the "
                                    "caller resumes itself)",
                                    callerSite());
}

} // namespace sim::image

#else

namespace sim::image {
void prepareThreadForImage() {}
} // namespace sim::image

#endif
