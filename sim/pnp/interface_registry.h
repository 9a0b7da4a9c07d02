// The device-interface registry: what IoRegisterDeviceInterface and IoSetDeviceInterfaceState
// change, and what applications search by interface class.
//
// A registered interface is named after its device's instance path and its class, as the
// platform names them: \??\USB#VID_1209&PID_0001#5&1a2b3c&0&1#{guid}[\reference]. Registering
// the same PDO, class and reference again gives the same name. The name handed to the driver is a
// new pool block each time (tag Pool::kPlatformTag); the driver frees it with
// RtlFreeUnicodeString.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/host_platform.h"

namespace sim {

struct DeviceInterface {
    std::u16string link; // "\??\USB#...#{guid}"
    GUID interfaceClass{};
    PDEVICE_OBJECT pdo = nullptr;
    bool enabled = false;
};

class DeviceInterfaceRegistry {
public:
    // The bodies of the two platform routines; the routines add fault injection and IRQL checks.
    NTSTATUS registerInterface(PDEVICE_OBJECT pdo, const GUID& interfaceClass,
                               const UNICODE_STRING* reference, UNICODE_STRING& link,
                               const SimCallSite& site);
    NTSTATUS setState(const UNICODE_STRING& link, bool enable);

    // The instance path interfaces of a PDO are named after ("USB#VID_1209&PID_0001#5&..."); a
    // PDO without one is named ROOT#SIMULATED#<n>.
    void setInstancePath(PDEVICE_OBJECT pdo, std::u16string path);

    // Enabled interfaces of a class, in order of registration: what an application finds.
    std::vector<DeviceInterface> enabled(const GUID& interfaceClass) const;
    std::vector<DeviceInterface> all() const;
    std::optional<DeviceInterface> find(std::u16string_view link) const;
    // Interfaces of a PDO still enabled (removal leaves none).
    std::vector<DeviceInterface> enabledFor(PDEVICE_OBJECT pdo) const;
    // The PDO is forgotten (deleted long ago): its instance path and the interfaces it still
    // owns go; a device back on a newer PDO owns its interfaces already.
    void forget(PDEVICE_OBJECT pdo);
    std::size_t size() const;

    static std::u16string formatGuid(const GUID& guid); // "{6e0a...-...}", lower case

private:
    std::u16string instancePathOf(PDEVICE_OBJECT pdo); // mutex_ held

    mutable std::mutex mutex_; // guards everything below
    std::vector<DeviceInterface> interfaces_;
    std::map<PDEVICE_OBJECT, std::u16string> instancePaths_;
    std::size_t unnamed_ = 0; // PDOs named ROOT#SIMULATED#<n> so far
};

} // namespace sim
