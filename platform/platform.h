// The one header through which driver files reach the platform.
//
// In the kernel build it brings in the platform's own headers (with a small shim for what they
// lack); in the host build, the simulator's declarations of the same types and routines, with the
// same names and field order. Driver files include only this and never ask which build they are in.
#pragma once

#if defined(WDMUSB_KERNEL_BUILD)
#include "kernel/kernel_platform.h"
#else
#include "host/host_platform.h"
#endif

#include "probe_guard.h"
