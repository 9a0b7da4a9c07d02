// Host build: the simulator's declarations of every platform type and routine the driver uses.
// Names, field order and fixed-width types follow the platform's own headers.
#pragma once

#include "nt_types.h"
#include "call_site.h"
#include "ke.h"
#include "ex.h"
#include "rtl.h"
#include "io.h"
#include "mm.h"
#include "po.h"
#include "usb.h"
#include "usbioctl.h"
#include "usbdlib.h"
