// Device-control codes as the platform builds them: a device type, a function number, a transfer
// method and the access asked for, in one 32-bit word. Shared by the kernel declarations and by
// applications (winioctl.h on the platform).
#pragma once

#define FILE_DEVICE_UNKNOWN 0x00000022

#define METHOD_BUFFERED   0
#define METHOD_IN_DIRECT  1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER    3
#define FILE_ANY_ACCESS   0
#define FILE_READ_ACCESS  0x0001
#define FILE_WRITE_ACCESS 0x0002
#define CTL_CODE(DeviceType, Function, Method, Access)                                             \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define METHOD_FROM_CTL_CODE(ctrlCode) ((ULONG)((ctrlCode)&3))
