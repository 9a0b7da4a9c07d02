// The USB driver interface's configuration-request library. Both routines are robust against
// malformed descriptors: they never read outside wTotalLength (nor the buffer) and never loop.
#pragma once

#include "usb.h"
#include "call_site.h"

// Allocates (from pool) a select-configuration URB for the first interface of the configuration,
// with Length, NumberOfPipes and the pipe records filled; *Siz receives its size. NULL on failure.
PURB NTAPI USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                           PUSHORT Siz SIM_CALLER_PARAM);

// The first interface descriptor at or after StartPosition that matches every criterion not -1.
PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol);
