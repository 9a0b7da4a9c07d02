// Structured exceptions as a kernel image meets them on i386 (i386 only): each thread that runs
// image code has a thread block whose first word, at fs:[0], heads the chain of exception
// registration records the image's frames push ({Next, Handler}, on the stack); a routine that
// raises (MmProbeAndLockPages on a bad buffer) walks that chain and calls each handler as the
// platform's dispatcher does, and RtlUnwind runs the unwinding pass of the records above a
// handler's own. So the image's guarded probe turns a bad application buffer into the status the
// image itself returns.
#pragma once

#include "platform/host/host_platform.h"

namespace sim::image {

// Gives the calling thread its thread block and points FS at it, once per thread; every call into
// image code goes through it first (routine_call.h).
void prepareThreadForImage();

#if defined(__i386__)
// The image's imports that raise or unwind.
__attribute__((stdcall, force_align_arg_pointer)) void
imageMmProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE accessMode, LOCK_OPERATION operation);
__attribute__((stdcall, force_align_arg_pointer)) void
imageRtlUnwind(PVOID targetFrame, PVOID targetIp, PVOID exceptionRecord, PVOID returnValue);
#endif

} // namespace sim::image
