// Holds the records of the build that includes it to their i386 layout (platform/i386_layouts.h).
// Include it once, in one source file, after the platform's declarations, driver/extension.h and
// public/wdmusb.h.
#pragma once

#include <stddef.h>

#define WDMUSB_I386_SIZE(record, bytes)                                                            \
    static_assert(sizeof(record) == (bytes), "i386 layout: sizeof(" #record ") is " #bytes)
#define WDMUSB_I386_FIELD(record, field, offset)                                                   \
    static_assert(offsetof(record, field) == (offset),                                             \
                  "i386 layout: " #record "." #field " is at offset " #offset)

#include "platform/i386_layouts.h"

#undef WDMUSB_I386_SIZE
#undef WDMUSB_I386_FIELD
