// wine-harness.exe: the Win32 steps of the Wine run that a shell cannot take itself. Each
// command prints what it did, or what failed with the system's own error, and returns 0 on
// success and 1 on failure.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace harness {

using Arguments = std::vector<std::wstring>;

// "text (error N: the system's message)" for a Win32 error code.
std::wstring DescribeError(DWORD error);
int Fail(const std::wstring& what, DWORD error);

// install.cpp: a root-enumerated device with a hardware ID, given the driver of an INF; and the
// driver of an INF installed for devices present with a hardware ID.
int InstallRootDevice(const Arguments& args);
int UpdateDriver(const Arguments& args);

// interface_wait.cpp: the device paths of the present wdmusb interfaces; waits until a device of
// the wdmusb interface class is present (or gone).
std::vector<std::wstring> PresentInterfaces();
int WaitForInterface(const Arguments& args);
int WaitForNoInterface(const Arguments& args);

// bus_control.cpp: the test bus's controls.
int ControlBus(const Arguments& args);

// bad_vendor.cpp: vendor requests whose record or buffer the driver must refuse.
int SendBadVendorRequests(const Arguments& args);

} // namespace harness
