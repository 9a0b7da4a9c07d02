// Recovery of pipes and of the device's port, and the abort of the pipes held by a handle.
// Passive level; each sends its request with SubmitUrbSync (or the port requests) and waits.
#pragma once

#include "driver/extension.h"

// Resets one pipe of InterfaceInformation (after a failed transfer).
NTSTATUS ResetPipe(PDEVICE_OBJECT Fdo, PUSBD_PIPE_INFORMATION Pipe);

// Resets the port when the device is still connected but its port has been disabled; an enabled
// port, or one with nothing connected, is left alone and the result is success.
NTSTATUS ResetDeviceIfPortDisabled(PDEVICE_OBJECT Fdo);

// Aborts every pipe of InterfaceInformation bound to a handle and unbinds it, in pipe order.
// Stops at the first abort that fails and returns its status; that pipe and the ones after it
// stay bound. Success when no interface was ever selected.
NTSTATUS AbortOpenPipes(PDEVICE_OBJECT Fdo);
