// What the probe-guard test hands the guard in place of an MDL: the stand-in for
// MmProbeAndLockPages reads it and does what it says. Plain C types: both the guard's kernel
// headers and the test's Win32 headers see it.
#pragma once

enum ProbeAction {
    ProbeTouch = 0,          // read every byte of the range (a hardware fault if it is bad)
    ProbeRaise = 1,          // raise RaiseCode in software, as the kernel's probe does
    ProbeTouchUnderFrame = 2 // touch, with a registration record of the probe's own linked
};

struct ProbeRequest {
    const volatile unsigned char* Address;
    unsigned long Length;
    int Action;
    unsigned long RaiseCode;
    int UnwindsSeen; // times the probe's own record saw the unwind pass (ProbeTouchUnderFrame)
};

extern "C" long __stdcall ProbeAndLockPagesGuarded(void* Mdl, char AccessMode, int Operation);
