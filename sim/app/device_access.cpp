#include "sim/app/device_access.h"

#include <thread>

#include "sim/core/system.h"
#include "sim/io/io_manager.h"

namespace sim::app {

std::string devicePath(const DeviceNode& node) {
    const auto links = current().pnp().interfaces().enabledFor(node.pdo);
    return links.empty() ? std::string() : devicePathOfLink(links.front().link);
}

std::string devicePathOfLink(std::u16string_view link) {
    std::string path = "\\\\?\\";
    for (std::size_t i = 4; i < link.size(); ++i) // after "\??\"
        path.push_back(link[i] < 0x80 ? static_cast<char>(link[i]) : '?');
    return path;
}

long handlesNotClosed(const DeviceNode& node) {
    return current().io().openHandlesOnStack(node.pdo);
}

bool waitForCloses(const DeviceNode& node, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (handlesNotClosed(node) > 0) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace sim::app
