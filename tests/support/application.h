// The user-mode API from a test's side: the device paths of an interface class, and a handle that
// closes itself.
#pragma once

#include <string>
#include <vector>

#include "sim/app/app_handle.h"
#include "sim/app/win32.h"

namespace wdmusb::test {

// The device paths of the enabled interfaces of a class, found as an application finds them.
std::vector<std::string> devicePaths(const GUID& interfaceClass);

// An open handle, closed when the object goes (or by close()); release() gives it up.
using sim::app::AppHandle;

// Opens the index-th enabled interface of a class (FILE_FLAG_OVERLAPPED in flags for overlapped
// I/O); an invalid handle, GetLastError telling why, when that fails.
AppHandle openDevice(const GUID& interfaceClass, DWORD flags = 0, std::size_t index = 0);

} // namespace wdmusb::test
