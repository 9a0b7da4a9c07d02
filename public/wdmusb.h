// What the driver shares with the applications that use it.
//
// Include it after the platform's declaration of GUID: wdm.h in the driver, windows.h in a
// Windows application, platform/platform.h in the simulator and its tools. Nothing here depends
// on which of them it is.
#pragma once

// The device interface class of every device the driver runs. Each device registers one interface
// of this class (no reference string) and enables it while the device exists; applications find
// the device by enumerating the class. {921D5B4C-F136-4364-8A92-B1098E53CA9E}
inline constexpr GUID GUID_DEVINTERFACE_WDMUSB = {
    0x921d5b4c, 0xf136, 0x4364, {0x8a, 0x92, 0xb1, 0x09, 0x8e, 0x53, 0xca, 0x9e}};
