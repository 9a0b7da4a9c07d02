// Readable names of the status codes the platform and the driver use, for reports and findings,
// and the way back from a name to its code, for tools that read them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/nt_types.h"

namespace sim {

// "STATUS_SUCCESS", or "0xC0000001" style hex for a code without a name here.
std::string statusName(NTSTATUS status);
// The code of a name statusName gives ("STATUS_SUCCESS"); nothing for an unknown name.
std::optional<NTSTATUS> statusFromName(std::string_view name);
// Every name known here, in the order of their codes' table.
std::vector<std::string_view> statusNames();

} // namespace sim
