// Record sizes and offsets of the kernel build, checked at compile time against the i386 layouts
// that the bus driver and the platform use. The host build keeps the same field order, so a
// 32-bit host build sees the same numbers; only this build is held to them.
#include "platform/platform.h"
#include "driver/extension.h"

// The URBs the driver builds: Hdr.Length must be these exact sizes (USB driver interface, i386).
static_assert(sizeof(struct _URB_HEADER) == 16);
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72);
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 80);
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 24);
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 60);
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 80);
static_assert(sizeof(USBD_PIPE_INFORMATION) == 20);
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 36);
static_assert(offsetof(USBD_INTERFACE_INFORMATION, Pipes) == 16);
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength) == 24);
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request) == 73);

// Platform records the driver reads or fills.
static_assert(sizeof(DEVICE_CAPABILITIES) == 64);
static_assert(offsetof(DEVICE_CAPABILITIES, DeviceState) == 16);
static_assert(offsetof(DEVICE_CAPABILITIES, DeviceWake) == 48);
static_assert(sizeof(KEVENT) == 16 && sizeof(KSPIN_LOCK) == 4);
static_assert(sizeof(IO_STATUS_BLOCK) == 8);
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18 && sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9 && sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);

// The driver's own records on i386: three pointers, the bytes moved and the break flag per
// chunk; the device extension in its documented field order (the platform allocates
// DeviceExtensionSize bytes for it).
static_assert(sizeof(CHUNK_CONTEXT) == 20);
static_assert(offsetof(CHUNK_CONTEXT, Moved) == 12 && offsetof(CHUNK_CONTEXT, Broken) == 16);
static_assert(offsetof(DEVICE_EXTENSION, LowerDeviceObject) == 0);
static_assert(offsetof(DEVICE_EXTENSION, DeviceCapabilities) == 28);
static_assert(offsetof(DEVICE_EXTENSION, RemoveEvent) == 108);
static_assert(offsetof(DEVICE_EXTENSION, IoCountLock) == 172);
static_assert(offsetof(DEVICE_EXTENSION, InterfaceLinkName) == 188);
static_assert(offsetof(DEVICE_EXTENSION, Removed) == 700);
static_assert(offsetof(DEVICE_EXTENSION, IdleDevicePowerState) == 708);
static_assert(offsetof(DEVICE_EXTENSION, MaximumTransferSize) == 712);
static_assert(offsetof(DEVICE_EXTENSION, ChunkLock) == 716);
static_assert(offsetof(DEVICE_EXTENSION, DeferredChunkIrps) == 728);
static_assert(offsetof(DEVICE_EXTENSION, DeferredChunkArray) == 736);
static_assert(offsetof(DEVICE_EXTENSION, ConfigurationLock) == 740);
static_assert(offsetof(DEVICE_EXTENSION, SelfPowerRequestPending) == 744);
static_assert(offsetof(DEVICE_EXTENSION, PowerUpWaitLock) == 748);
static_assert(offsetof(DEVICE_EXTENSION, TransferEndsSeen) == 764);
static_assert(offsetof(DEVICE_EXTENSION, HaltedPipes) == 768);
static_assert(sizeof(DEVICE_EXTENSION) == 776);
