// What a test of an application asks about a plugged device beside the application's own calls:
// the path the application opens it by, and whether the closes of its handles have reached the
// driver. For the machine that exists (sim::current()).
//
//     sim::DeviceNode& node = machine.plugDevice();
//     HANDLE handle = CreateFile(sim::app::devicePath(node).c_str(), ...);
//     CloseHandle(handle);  // the cleanup at once, the close when the handle's requests end
//     ASSERT_TRUE(sim::app::waitForCloses(node, std::chrono::seconds(5)));
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "sim/pnp/pnp_manager.h"

namespace sim::app {

// The path an application opens the node's device by, "\\?\USB#VID_1209&PID_0001#...#{guid}":
// its first enabled interface as the setup API reports it; empty while none is enabled (the
// device not started, or removed).
std::string devicePath(const DeviceNode& node);
// The same for an interface's symbolic link as the driver registered it ("\??\USB#...").
std::string devicePathOfLink(std::u16string_view link);

// The handles opened on the node's device stack whose close has not reached the driver: a
// CloseHandle sends the cleanup at once, and the close once the handle's requests have ended.
// A device object deleted and detached under an open handle is no longer counted.
long handlesNotClosed(const DeviceNode& node);
// Waits until every close on the node's stack has been answered by the driver; false when
// `limit` passed first. What the last close sends after it (the removal of a surprise-removed
// device) may still be under way.
bool waitForCloses(const DeviceNode& node, std::chrono::milliseconds limit);

} // namespace sim::app
