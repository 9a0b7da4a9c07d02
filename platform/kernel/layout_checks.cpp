// The kernel build's records against their i386 layouts (platform/i386_layouts.h): the platform's
// own headers must give every record the image shares with the simulator the size and offsets the
// simulator's 32-bit build is held to as well, and the driver's own records (the device extension,
// the chunk records, the record applications send) the same layout in both builds.
#include "platform/platform.h"
#include "driver/extension.h"
#include "public/wdmusb.h"

#include "platform/i386_layout_checks.h"

// The exception record the simulator builds for the image's guarded probe
// (sim/image/image_exceptions.cpp), as the image's handler reads it.
static_assert(sizeof(EXCEPTION_RECORD) == 80 && offsetof(EXCEPTION_RECORD, ExceptionFlags) == 4);
