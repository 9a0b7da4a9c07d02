#include "driver/extension.h"

BOOLEAN IsAcceptingRequests(PDEVICE_OBJECT Fdo) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    return !ReadShared(ext->Removed) && ReadShared(ext->Started) &&
           !ReadShared(ext->RemovePending) && !ReadShared(ext->StopPending);
}
