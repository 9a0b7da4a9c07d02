// The platform's translation of an NTSTATUS into the Win32 error GetLastError reports, for the
// statuses the simulated system and the drivers on it complete requests with. The values are the
// platform's own (checked against RtlNtStatusToDosError as Wine implements it).
#pragma once

#include "sim/app/win32.h"

namespace sim::app {

// ERROR_MR_MID_NOT_FOUND for a status the platform has no translation for, as it answers.
DWORD win32ErrorFor(NTSTATUS status);

} // namespace sim::app
