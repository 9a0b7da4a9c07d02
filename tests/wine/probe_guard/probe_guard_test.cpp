// The kernel image's guarded probe (platform/kernel/probe_guard.cpp), run in a Win32 program.
// User-mode exceptions on i386 travel the same chain of registration records at fs:[0] as
// kernel-mode ones, and the dispatcher and RtlUnwind are the system's own (here Wine's): a bad
// address inside the guard must come back as STATUS_ACCESS_VIOLATION, a good one must pass, a
// software raise must come back as its code, and the chain must be left exactly as it was.
#include <windows.h>

#include <cstdio>

#include "tests/wine/probe_guard/probe_stand_in.h"

namespace {

constexpr long kSuccess = 0;
constexpr long kAccessViolation = static_cast<long>(0xC0000005);
constexpr long kUnsuccessful = static_cast<long>(0xC0000001);
constexpr unsigned long kInvalidUserBuffer = 0xC00000E8;

int passed = 0;
int failed = 0;

void Check(bool ok, const char* what, long status = 0) {
    std::printf("%s %s (status 0x%08lx)\n", ok ? "ok:  " : "FAIL:", what,
                static_cast<unsigned long>(status));
    ok ? ++passed : ++failed;
}

void* ChainHead() {
    void* head;
    __asm__ volatile("movl %%fs:0, %0" : "=r"(head) : : "memory");
    return head;
}

long Guard(ProbeRequest& request) {
    return ProbeAndLockPagesGuarded(&request, 1 /* UserMode */, 2 /* IoWriteAccess */);
}

// Runs the guard and checks its status and that the chain head is unchanged.
void Expect(const char* what, ProbeRequest request, long expected) {
    void* before = ChainHead();
    const long status = Guard(request);
    const bool chainKept = ChainHead() == before;
    Check(status == expected && chainKept, what, status);
    if (!chainKept)
        std::printf("      the chain head moved from %p to %p\n", before, ChainHead());
}

} // namespace

int main() {
    static unsigned char good[4096];
    // Reserved, never committed: any touch faults.
    auto* bad =
        static_cast<unsigned char*>(VirtualAlloc(nullptr, 65536, MEM_RESERVE, PAGE_NOACCESS));

    Expect("a good buffer passes", {good, sizeof(good), ProbeTouch, 0, 0}, kSuccess);
    Expect("a bad address comes back as STATUS_ACCESS_VIOLATION", {bad, 16, ProbeTouch, 0, 0},
           kAccessViolation);
    Expect("a null address too", {nullptr, 1, ProbeTouch, 0, 0}, kAccessViolation);
    Expect("a software raise comes back as its code", {good, 1, ProbeRaise, kInvalidUserBuffer, 0},
           static_cast<long>(kInvalidUserBuffer));
    Expect("a raise with a success code never passes for success",
           {good, 1, ProbeRaise, 0x00000001, 0}, kUnsuccessful);
    Expect("a good buffer passes after faults", {good, sizeof(good), ProbeTouch, 0, 0}, kSuccess);

    ProbeRequest framed = {bad, 16, ProbeTouchUnderFrame, 0, 0};
    void* before = ChainHead();
    const long status = Guard(framed);
    Check(status == kAccessViolation && ChainHead() == before,
          "a fault under a record of the probe's own comes back, that record unlinked", status);
    Check(framed.UnwindsSeen == 1, "the record above the guard's saw one unwind pass",
          framed.UnwindsSeen);

    bool steady = true;
    void* head = ChainHead();
    for (int i = 0; i < 1000 && steady; ++i) {
        ProbeRequest request = {bad, 1, i % 2 == 0 ? ProbeTouch : ProbeRaise, kInvalidUserBuffer,
                                0};
        const long expected = i % 2 == 0 ? kAccessViolation : static_cast<long>(kInvalidUserBuffer);
        steady = Guard(request) == expected && ChainHead() == head;
    }
    Check(steady, "1000 faults and raises in a row, the chain unchanged after each");

    VirtualFree(bad, 0, MEM_RELEASE);
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
