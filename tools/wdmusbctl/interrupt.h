// Ctrl-C while the program holds a device cancels the request in flight, and every later one,
// instead of ending the program under it: the request ends through the driver, the program says
// so, and the device is left ready for the next program. Without a device held, Ctrl-C ends the
// program as usual.
#pragma once

#include "public/wdmusb_api.h"

namespace wdmusbctl {

// Once, before the program starts other threads: the console's Ctrl-C handler on Windows, a
// thread of its own waiting for SIGINT elsewhere (which must stay blocked in every other thread).
void catchInterrupts();
// The device Ctrl-C cancels from now on (NULL: none). Giving one up waits until a Ctrl-C being
// handled has let go of it.
void cancelOnInterrupt(WdmusbDevice* device);
// Whether Ctrl-C was pressed while a device was held.
bool interrupted();

} // namespace wdmusbctl
