// The gate between a loaded kernel image and the simulator's routines it imports (i386 only).
//
// Each import-table slot of the image holds a small trampoline of its own. The image calls it as
// it would call the kernel; the gate notes the call (which slot, where in the image it came from)
// and jumps to the simulator's routine with the stack exactly as the image built it, so the
// routine takes its arguments by its own calling convention. The routine returns into the gate,
// which measures how many bytes of arguments it took off the stack: when that is not what the
// image's code expects of the import (stdcall: all, fastcall: those beyond ECX and EDX, cdecl:
// none), the image's stack is broken from there on, and the gate stops the process naming the
// import and the caller instead of letting the image run on.
#pragma once

#include <cstdint>

#include "sim/image/link_map.h"

namespace sim::image {

struct GateSlot {
    const void* routine = nullptr; // the simulator's routine for the import
    const char* module = "";
    const char* name = "";
    Convention declared = Convention::Stdcall; // the simulator routine's own convention
    std::uint32_t declaredPops = 0;
    // What the image's code expects, from the link map; kUnknownPops without one.
    const char* decorated = "";
    std::uint32_t expectedPops = 0;
    static constexpr std::uint32_t kUnknownPops = 0xFFFFFFFFu;
};

// A trampoline for the slot (which must outlive it), to be written into the image's import table.
void* makeTrampoline(const GateSlot* slot);

// The return address into the image of the innermost import call in progress on this thread, or
// 0 when there is none.
std::uintptr_t currentImageReturn();

// Forgets the import calls in progress whose frames lie below `frame`: an exception handler of the
// image established there is about to resume its own frame, abandoning them.
void abandonCallsBelow(const void* frame);

} // namespace sim::image
