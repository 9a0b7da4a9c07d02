#include "sim/pnp/interface_registry.h"

#include <algorithm>
#include <cstdio>

#include "sim/core/system.h"
#include "sim/io/io_manager.h"
#include "sim/memory/unicode_strings.h"

namespace sim {

namespace {

std::u16string widen(const char* text) {
    std::u16string out;
    for (; *text != '\0'; ++text)
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*text)));
    return out;
}

std::u16string textOf(const UNICODE_STRING& s) {
    if (s.Buffer == nullptr)
        return {};
    return std::u16string(s.Buffer, s.Length / sizeof(WCHAR));
}

} // namespace

std::u16string DeviceInterfaceRegistry::formatGuid(const GUID& g) {
    char text[48];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return widen(text);
}

void DeviceInterfaceRegistry::setInstancePath(PDEVICE_OBJECT pdo, std::u16string path) {
    std::lock_guard lock(mutex_);
    instancePaths_[pdo] = std::move(path);
}

std::u16string DeviceInterfaceRegistry::instancePathOf(PDEVICE_OBJECT pdo) {
    auto it = instancePaths_.find(pdo);
    if (it != instancePaths_.end())
        return it->second;
    char text[40];
    std::snprintf(text, sizeof text, "ROOT#SIMULATED#%04zu", unnamed_++);
    return instancePaths_[pdo] = widen(text);
}

NTSTATUS DeviceInterfaceRegistry::registerInterface(PDEVICE_OBJECT pdo, const GUID& interfaceClass,
                                                    const UNICODE_STRING* reference,
                                                    UNICODE_STRING& link, const SimCallSite& site) {
    // Only a device the Plug and Play manager knows (a PDO) has interfaces.
    if (pdo == nullptr || current().io().record(pdo) == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string name;
    {
        std::lock_guard lock(mutex_);
        name = u"\\??\\" + instancePathOf(pdo) + u"#" + formatGuid(interfaceClass);
        if (reference != nullptr && reference->Length > 0)
            name += u"\\" + textOf(*reference);
        auto known = std::find_if(interfaces_.begin(), interfaces_.end(),
                                  [&](const DeviceInterface& i) { return i.link == name; });
        if (known == interfaces_.end())
            interfaces_.push_back(DeviceInterface{name, interfaceClass, pdo, false});
        else
            known->pdo = pdo; // the same instance path on a new PDO: the device came back
    }
    allocatePoolUnicodeString(link, name, site);
    return STATUS_SUCCESS;
}

NTSTATUS DeviceInterfaceRegistry::setState(const UNICODE_STRING& link, bool enable) {
    const std::u16string name = textOf(link);
    std::lock_guard lock(mutex_);
    auto it = std::find_if(interfaces_.begin(), interfaces_.end(),
                           [&](const DeviceInterface& i) { return i.link == name; });
    if (it == interfaces_.end())
        return STATUS_OBJECT_NAME_NOT_FOUND;
    it->enabled = enable;
    return STATUS_SUCCESS;
}

std::vector<DeviceInterface> DeviceInterfaceRegistry::enabled(const GUID& interfaceClass) const {
    std::lock_guard lock(mutex_);
    std::vector<DeviceInterface> out;
    for (const auto& i : interfaces_)
        if (i.enabled && i.interfaceClass == interfaceClass)
            out.push_back(i);
    return out;
}

std::vector<DeviceInterface> DeviceInterfaceRegistry::all() const {
    std::lock_guard lock(mutex_);
    return interfaces_;
}

std::optional<DeviceInterface> DeviceInterfaceRegistry::find(std::u16string_view link) const {
    std::lock_guard lock(mutex_);
    for (const auto& i : interfaces_)
        if (i.link == link)
            return i;
    return std::nullopt;
}

std::vector<DeviceInterface> DeviceInterfaceRegistry::enabledFor(PDEVICE_OBJECT pdo) const {
    std::lock_guard lock(mutex_);
    std::vector<DeviceInterface> out;
    for (const auto& i : interfaces_)
        if (i.enabled && i.pdo == pdo)
            out.push_back(i);
    return out;
}

void DeviceInterfaceRegistry::forget(PDEVICE_OBJECT pdo) {
    std::lock_guard lock(mutex_);
    instancePaths_.erase(pdo);
    std::erase_if(interfaces_, [&](const DeviceInterface& i) { return i.pdo == pdo; });
}

std::size_t DeviceInterfaceRegistry::size() const {
    std::lock_guard lock(mutex_);
    return interfaces_.size() + instancePaths_.size();
}

} // namespace sim
