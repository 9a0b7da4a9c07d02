// The stand-in for MmProbeAndLockPages that the guard calls in the test program: the guard
// imports the routine (__imp__MmProbeAndLockPages@12, as in a driver image), and this file
// provides that import slot, pointing at a routine that does what the ProbeRequest says.
#include <windows.h>

#include "tests/wine/probe_guard/probe_stand_in.h"

namespace {

struct Registration {
    Registration* Next;
    void* Handler;
    ProbeRequest* Request;
};

// Counts the unwind passes it sees (EXCEPTION_UNWINDING 0x2 or EXCEPTION_EXIT_UNWIND 0x4) and
// lets every dispatching pass go on to the records below.
EXCEPTION_DISPOSITION __cdecl CountingHandler(EXCEPTION_RECORD* Record, void* Frame, CONTEXT*,
                                              void*) {
    if ((Record->ExceptionFlags & 0x6) != 0)
        ++static_cast<Registration*>(Frame)->Request->UnwindsSeen;
    return ExceptionContinueSearch;
}

void Touch(const ProbeRequest* Request) {
    unsigned sum = 0;
    for (unsigned long i = 0; i < Request->Length; ++i)
        sum += Request->Address[i];
    (void)sum;
}

void __stdcall StandInProbe(void* Mdl, char, int) {
    auto* request = static_cast<ProbeRequest*>(Mdl);
    switch (request->Action) {
    case ProbeRaise:
        RaiseException(request->RaiseCode, 0, 0, nullptr);
        break;
    case ProbeTouchUnderFrame: {
        // Linked above the guard's record, as the frames of the kernel's probe would be; the
        // guard's unwind must run its unwind pass and unlink it.
        Registration record = {nullptr, reinterpret_cast<void*>(&CountingHandler), request};
        __asm__ volatile("movl %%fs:0, %0" : "=r"(record.Next) : : "memory");
        __asm__ volatile("movl %0, %%fs:0" : : "r"(&record) : "memory");
        Touch(request);
        __asm__ volatile("movl %0, %%fs:0" : : "r"(record.Next) : "memory");
        break;
    }
    default:
        Touch(request);
        break;
    }
}

} // namespace

// The import slot a driver image would have; the guard calls through it.
extern "C" void* ProbeImportSlot __asm__("__imp__MmProbeAndLockPages@12");
void* ProbeImportSlot = reinterpret_cast<void*>(&StandInProbe);
