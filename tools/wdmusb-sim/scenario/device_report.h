// The lines of the account that show what the driver made of a device: its descriptors decoded
// (VID/PID, the configuration, each pipe with its direction, type and packet size) and its flags.
#pragma once

#include <string>

#include "driver/extension.h"
#include "tools/wdmusb-sim/output/account.h"

namespace wdmusbsim {

// What the driver read and selected at start, from its device extension.
void describeConfiguration(Account& account, PDEVICE_EXTENSION ext);
// "started, accepting requests": the extension's Plug and Play flags in words.
std::string describeFlags(PDEVICE_EXTENSION ext, bool accepting);
// "1209" style hex of `digits` digits.
std::string hex(unsigned value, int digits);
// A UTF-16 text in ASCII (others as '?'), for interface links.
std::string narrow(const std::u16string& text);

} // namespace wdmusbsim
