// The handlers of DispatchPower that have a file of their own. Each runs at PASSIVE_LEVEL with
// DispatchPower's reference held; a handler that leaves the reference to a completion routine is
// handed its guard. Each returns what DispatchPower returns.
#pragma once

#include "driver/extension.h"
#include "driver/io_reference.h"

NTSTATUS HandleSystemSetPower(PDEVICE_OBJECT Fdo, PIRP Irp, ScopedIoReference& Reference);
NTSTATUS HandleWaitWake(PDEVICE_OBJECT Fdo, PIRP Irp);
