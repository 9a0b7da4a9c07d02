// Counted strings whose buffer the platform allocates from pool (a registered interface's link
// name): the driver frees them with RtlFreeUnicodeString, so they are pool blocks like its own.
#pragma once

#include <string_view>

#include "platform/host/host_platform.h"

namespace sim {

// Fills out with a NUL-terminated copy of text in a pool block tagged Pool::kPlatformTag.
// Text longer than a counted string can hold is cut to fit.
void allocatePoolUnicodeString(UNICODE_STRING& out, std::u16string_view text,
                               const SimCallSite& site);

} // namespace sim
