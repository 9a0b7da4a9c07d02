#include "sim/image/import_gate.h"

#if defined(__i386__)

#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "sim/image/loaded_image.h"

namespace sim::image {

namespace {

struct CallInProgress {
    std::uintptr_t* returnSlot; // where the image's call left its return address
    std::uintptr_t returnAddress;
    const GateSlot* slot;
};

// Import calls nest (an import calls back into the image, which imports again); a kernel stack
// of 12 KiB holds far fewer than this.
constexpr int kMaximumDepth = 256;
thread_local CallInProgress tCalls[kMaximumDepth];
thread_local int tDepth = 0;

[[noreturn]] void stop(const char* what, const GateSlot& slot, std::uintptr_t from) {
    std::fprintf(stderr, "image gate: %s!%s called from %s: %s\n", slot.module, slot.name,
                 describeAddress(from).c_str(), what);
    std::abort();
}

} // namespace

// The gate's halves, called from the assembly below with whatever stack alignment the image
// keeps (4 bytes), hence the realignment.
extern "C" __attribute__((cdecl, force_align_arg_pointer, used)) const void*
wdmusb_enter_import(const GateSlot* slot, std::uintptr_t* returnSlot);
extern "C" __attribute__((cdecl, force_align_arg_pointer, used)) std::uintptr_t
wdmusb_leave_import(std::uintptr_t stackAfter);
extern "C" void wdmusb_import_entry();
extern "C" void wdmusb_import_leave();

const void* wdmusb_enter_import(const GateSlot* slot, std::uintptr_t* returnSlot) {
    // Calls whose frames are at or below this one were abandoned (an exception resumed above them).
    while (tDepth > 0 && tCalls[tDepth - 1].returnSlot <= returnSlot)
        --tDepth;
    if (tDepth == kMaximumDepth)
        stop("import calls nested too deep", *slot, *returnSlot);
    tCalls[tDepth++] = CallInProgress{returnSlot, *returnSlot, slot};
    *returnSlot = reinterpret_cast<std::uintptr_t>(&wdmusb_import_leave);
    return slot->routine;
}

std::uintptr_t wdmusb_leave_import(std::uintptr_t stackAfter) {
    if (tDepth == 0) {
        std::fprintf(stderr, "image gate: a return with no import call in progress\n");
        std::abort();
    }
    const CallInProgress call = tCalls[--tDepth];
    const std::uintptr_t popped =
        stackAfter - reinterpret_cast<std::uintptr_t>(call.returnSlot) - 4;
    const GateSlot& slot = *call.slot;
    if (slot.expectedPops != GateSlot::kUnknownPops && popped != slot.expectedPops) {
        char text[256];
        std::snprintf(text, sizeof text,
                      "calling convention mismatch: the simulator's routine (%s) took %u bytes of "
                      "arguments off the stack, the image's code (%s) expects %u",
                      conventionName(slot.declared), static_cast<unsigned>(popped), slot.decorated,
                      slot.expectedPops);
        stop(text, slot, call.returnAddress);
    }
    return call.returnAddress;
}

// Entered from a trampoline: [esp] = the slot, [esp+4] = the return address into the image, the
// image's arguments above it; ECX and EDX may hold fastcall arguments and are kept.
__asm__(".text\n"
        ".globl wdmusb_import_entry\n"
        "wdmusb_import_entry:\n"
        "    pushl %ecx\n"
        "    pushl %edx\n"
        "    leal 12(%esp), %eax\n" // the return-address slot
        "    pushl %eax\n"
        "    pushl 12(%esp)\n" // the GateSlot
        "    call wdmusb_enter_import\n"
        "    addl $8, %esp\n"
        "    popl %edx\n"
        "    popl %ecx\n"
        "    addl $4, %esp\n" // the stack as the image left it, returning to the leave half
        "    jmp *%eax\n"
        ".globl wdmusb_import_leave\n"
        "wdmusb_import_leave:\n"
        "    pushl %eax\n" // the routine's result (EDX:EAX)
        "    pushl %edx\n"
        "    leal 8(%esp), %ecx\n" // the stack pointer the routine returned with
        "    pushl %ecx\n"
        "    call wdmusb_leave_import\n"
        "    addl $4, %esp\n"
        "    movl %eax, %ecx\n"
        "    popl %edx\n"
        "    popl %eax\n"
        "    jmp *%ecx\n");

void* makeTrampoline(const GateSlot* slot) {
    // push imm32 (the slot); jmp rel32 (the entry): 10 bytes, from pages that stay executable.
    constexpr std::size_t kBytes = 10;
    constexpr std::size_t kPage = 4096;
    static std::mutex mutex;
    static std::uint8_t* page = nullptr;
    static std::size_t used = kPage;
    std::lock_guard lock(mutex);
    if (used + kBytes > kPage) {
        void* fresh = mmap(nullptr, kPage, PROT_READ | PROT_WRITE | PROT_EXEC,
                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (fresh == MAP_FAILED)
            return nullptr;
        page = static_cast<std::uint8_t*>(fresh);
        used = 0;
    }
    std::uint8_t* code = page + used;
    used += kBytes;
    const auto slotValue = reinterpret_cast<std::uint32_t>(slot);
    const auto target = reinterpret_cast<std::uint32_t>(&wdmusb_import_entry);
    const std::uint32_t relative = target - (reinterpret_cast<std::uint32_t>(code) + kBytes);
    code[0] = 0x68;
    std::memcpy(code + 1, &slotValue, 4);
    code[5] = 0xE9;
    std::memcpy(code + 6, &relative, 4);
    return code;
}

std::uintptr_t currentImageReturn() {
    return tDepth > 0 ? tCalls[tDepth - 1].returnAddress : 0;
}

void abandonCallsBelow(const void* frame) {
    while (tDepth > 0 && reinterpret_cast<std::uintptr_t>(tCalls[tDepth - 1].returnSlot) <
                             reinterpret_cast<std::uintptr_t>(frame))
        --tDepth;
}

} // namespace sim::image

#else

namespace sim::image {
void* makeTrampoline(const GateSlot*) {
    return nullptr;
}
std::uintptr_t currentImageReturn() {
    return 0;
}
void abandonCallsBelow(const void*) {}
} // namespace sim::image

#endif
