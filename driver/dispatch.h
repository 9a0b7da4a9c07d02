// The driver's entry points as the platform calls them.
#pragma once

#include "platform/platform.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
void NTAPI DriverUnload(PDRIVER_OBJECT DriverObject);

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT Fdo, PIRP Irp);
