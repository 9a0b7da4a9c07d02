// Readable names of what an IRP carries: its major function, its minor function (Plug and Play
// and power) and the internal control codes of the USB bus, for traces and reports.
#pragma once

#include <string>

#include "platform/host/host_platform.h"

namespace sim {

// "IRP_MJ_PNP", or "IRP_MJ_0x1c" for a code without a name here.
std::string majorName(UCHAR major);
// "IRP_MN_START_DEVICE" for IRP_MJ_PNP and IRP_MJ_POWER; empty for majors without minors.
std::string minorName(UCHAR major, UCHAR minor);
// "IOCTL_INTERNAL_USB_SUBMIT_URB", or the code in hex.
std::string controlCodeName(ULONG code);

} // namespace sim
