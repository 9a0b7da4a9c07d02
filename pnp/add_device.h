// Device creation: the device interface, the FDO and its extension, the attach to the PDO's
// stack, the power capabilities and the idle power state. Passive level.
#pragma once

#include "driver/extension.h"

// Called by the Plug and Play manager once per device with the bus driver's PDO. On success the
// FDO is attached, its interface enabled, and it holds the base outstanding-request reference
// that removal gives back. On failure nothing is left behind: no FDO, no interface enabled.
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo);

// Registers and enables the device interface, then creates the FDO and initialises its extension.
NTSTATUS CreateDeviceObject(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo, PDEVICE_OBJECT* Fdo);

// Registers the interface of the driver's class for Pdo and enables it; *LinkName receives the
// platform-allocated symbolic link name, which the caller frees with RtlFreeUnicodeString. On
// failure nothing is registered for the caller to release.
NTSTATUS RegisterInterface(PDEVICE_OBJECT Pdo, PUNICODE_STRING LinkName);

// The device power state for idle periods derived from the S1..S3 mappings of Capabilities: the
// last of them that is shallower than D3 (unspecified included), or unspecified when none is.
DEVICE_POWER_STATE DeriveIdleDevicePowerState(const DEVICE_CAPABILITIES& Capabilities);
