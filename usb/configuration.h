// Configuring the device on start and unconfiguring it on stop. Passive level: every request goes
// through SubmitUrbSync and is waited for.
//
// What is kept, in the DEVICE_EXTENSION: DeviceDescriptor (18 bytes), ConfigurationDescriptor (the
// whole descriptor as the device sent it, in a buffer of at least 521 bytes), ConfigurationHandle
// and InterfaceInformation (a copy of the selected interface with its pipe handles). They are kept
// across a stop; a later start replaces them and removal releases them.
#pragma once

#include "driver/extension.h"

// Size of the first configuration-descriptor read; a descriptor whose wTotalLength is larger is
// read again whole.
constexpr ULONG WDMUSB_FIRST_CONFIGURATION_READ_BYTES = 521;

// Reads the device and configuration descriptors and selects the configuration; on success the
// device is Started. Called after the lower drivers have handled the start request.
NTSTATUS StartDevice(PDEVICE_OBJECT Fdo);

// Reads the whole configuration descriptor into ConfigurationDescriptor and selects it.
NTSTATUS GetConfigurationDescriptor(PDEVICE_OBJECT Fdo);

// Selects the configuration of ConfigurationDescriptor with every pipe's maximum transfer size at
// MaximumTransferSize, and keeps a copy of the selected interface in InterfaceInformation.
NTSTATUS SelectConfiguration(PDEVICE_OBJECT Fdo,
                             PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor);

// Selects no configuration. On success the device is no longer Started; StopPending is cleared
// in every case. The descriptors and the interface copy are kept.
NTSTATUS UnconfigureDevice(PDEVICE_OBJECT Fdo);
