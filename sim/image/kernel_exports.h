// The routines a kernel image may import from the simulated kernel (ntoskrnl.exe), HAL and
// USBD.SYS, each with the calling convention the platform exports it with (i386 only). Each
// routine forwards to the simulator's implementation of the platform routine, naming the image's
// routine and offset it was called from as the call site. What is not here, an image cannot
// import: the loader refuses it by name.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "sim/image/link_map.h"

namespace sim::image {

struct KernelExport {
    const char* module;
    const char* name; // the name images import it by
    const void* routine;
    Convention convention;
    std::uint32_t argumentBytes; // all arguments, as the decoration counts them (@N)
    std::uint32_t calleePops;    // of which the routine takes off the stack when it returns
};

std::span<const KernelExport> kernelExports();
// Module names compare without case, as the platform's loader compares them.
const KernelExport* findKernelExport(std::string_view module, std::string_view name);

} // namespace sim::image
