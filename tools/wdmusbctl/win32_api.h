// The platform's user-mode API for wdmusbctl: the Windows headers in the Windows build, the
// simulator's application side (the same names and behaviour) in the simulator build; then what
// the driver shares with applications.
#pragma once

#if defined(_WIN32)
#include <windows.h>
// windows.h first: these two rely on its types.
#include <setupapi.h>
#include <winioctl.h>
#else
#include "sim/app/win32.h"
#endif

#include "public/wdmusb.h"
