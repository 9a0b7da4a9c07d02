// Probing and locking a caller's pages raises an exception on a bad address. C++ in the kernel has
// no structured exception handling, so the raising call goes through this guard, which turns the
// exception into the status it carries. Both builds provide it: the kernel build with its own
// handler record on the exception chain, the host build with the simulator's probe.
#pragma once

// Runs MmProbeAndLockPages(Mdl, AccessMode, Operation); returns STATUS_SUCCESS when the pages are
// locked, or the exception code (for example STATUS_ACCESS_VIOLATION) when the probe raised.
// Passive or APC level, in the context of the process that owns the buffer.
extern "C" NTSTATUS NTAPI ProbeAndLockPagesGuarded(PMDL Mdl, KPROCESSOR_MODE AccessMode,
                                                   LOCK_OPERATION Operation);
