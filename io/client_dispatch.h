// The requests an application sends: open and close of a handle, read and write, device control.
// Every dispatch routine here completes its IRP or returns STATUS_PENDING having marked it
// pending, never both; open, close and device control run at PASSIVE_LEVEL in the caller's thread.
#pragma once

#include "driver/extension.h"

// Binds the device's first two pipes to the new handle (its file object's FsContext and
// FsContext2) and powers the device up from its idle state. One handle at a time: another open
// fails with STATUS_INSUFFICIENT_RESOURCES, as does an open with no interface of two pipes.
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT Fdo, PIRP Irp);

// Unbinds the handle's pipes and lets it power the device down; always STATUS_SUCCESS, in every
// Plug and Play state.
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT Fdo, PIRP Irp);

// Read from the handle's first pipe, write to its second: TransferData (io/transfer.h).
NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT Fdo, PIRP Irp);
NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT Fdo, PIRP Irp);

// The control codes of public/wdmusb.h, each completed with its own status.
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT Fdo, PIRP Irp);
