// Readable names of the status codes the platform and the driver use, for reports and findings.
#pragma once

#include <string>

#include "platform/host/nt_types.h"

namespace sim {

// "STATUS_SUCCESS", or "0xC0000001" style hex for a code without a name here.
std::string statusName(NTSTATUS status);

} // namespace sim
