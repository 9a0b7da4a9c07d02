// The 32-bit host build's records against their i386 layouts (platform/i386_layouts.h), the same
// numbers the kernel build holds the platform's own headers to: the simulator reads and writes the
// records the loaded image reads and writes, at the same offsets.
#if defined(__i386__)
#include "platform/platform.h"
#include "driver/extension.h"
#include "public/wdmusb.h"

#include "platform/i386_layout_checks.h"
#endif
