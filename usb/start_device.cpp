// Reading the descriptors on start.
//
// The configuration descriptor is read into a buffer of 521 bytes first and, when its wTotalLength
// says it is larger, read again whole into a buffer of that size. Only bytes the device actually
// sent are ever used: a read that brings less than the descriptor's header, or less than the
// wTotalLength it announces, fails the start with STATUS_DEVICE_DATA_ERROR, so that nothing is
// selected from (or later handed to an application out of) a buffer the device did not fill. The
// buffers are counted blocks, and only a whole descriptor becomes ConfigurationDescriptor
// (usb/kept_configuration.h): a device-control request copying the earlier one keeps it.
#include "usb/configuration.h"
#include "usb/bus_request.h"
#include "usb/descriptor_request.h"
#include "usb/kept_configuration.h"
#include "driver/counted_block.h"
#include "driver/pool.h"

namespace {

// Frees what an earlier start left in Field and stores Buffer (or NULL) in its place.
template <typename T> void ReplaceBuffer(T*& Field, T* Buffer) {
    if (Field != nullptr)
        ExFreePool(Field);
    Field = Buffer;
}

PUSB_CONFIGURATION_DESCRIPTOR AllocateConfigurationBuffer(ULONG Bytes) {
    return static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        InitializeCountedBlock(AllocateDriverPool(CountedBlockBytes(Bytes))));
}

PURB AllocateDescriptorRequest() {
    return static_cast<PURB>(AllocateDriverPool(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)));
}

// What one configuration-descriptor read into a buffer of BufferBytes brought.
enum class ConfigurationRead { Whole, Larger, Short };

ConfigurationRead ExamineConfigurationRead(const USB_CONFIGURATION_DESCRIPTOR* Descriptor,
                                           ULONG BufferBytes, ULONG ReceivedBytes) {
    if (ReceivedBytes < sizeof(USB_CONFIGURATION_DESCRIPTOR) || ReceivedBytes > BufferBytes)
        return ConfigurationRead::Short;
    const ULONG totalBytes = Descriptor->wTotalLength;
    if (totalBytes > BufferBytes)
        return ConfigurationRead::Larger;
    return ReceivedBytes < totalBytes ? ConfigurationRead::Short : ConfigurationRead::Whole;
}

} // namespace

NTSTATUS StartDevice(PDEVICE_OBJECT Fdo) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    const PURB urb = AllocateDescriptorRequest();
    if (urb == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    const auto descriptor =
        static_cast<PUSB_DEVICE_DESCRIPTOR>(AllocateDriverPool(sizeof(USB_DEVICE_DESCRIPTOR)));
    if (descriptor == nullptr) {
        ExFreePool(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    BuildGetDescriptorRequest(urb, USB_DEVICE_DESCRIPTOR_TYPE, descriptor,
                              sizeof(USB_DEVICE_DESCRIPTOR));
    NTSTATUS status = SubmitControlUrbSync(Fdo, urb);
    ExFreePool(urb);
    if (!NT_SUCCESS(status)) {
        ExFreePool(descriptor);
        return status;
    }
    ReplaceBuffer(ext->DeviceDescriptor, descriptor);

    status = GetConfigurationDescriptor(Fdo);
    if (NT_SUCCESS(status))
        WriteShared(ext->Started, TRUE);
    return status;
}

NTSTATUS GetConfigurationDescriptor(PDEVICE_OBJECT Fdo) {
    const PURB urb = AllocateDescriptorRequest();
    if (urb == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;

    // Each pass reads into a buffer larger than the last (wTotalLength is 16 bits), so the loop
    // ends even with a device that announces a different length on every read.
    ULONG bufferBytes = WDMUSB_FIRST_CONFIGURATION_READ_BYTES;
    PUSB_CONFIGURATION_DESCRIPTOR descriptor = nullptr;
    NTSTATUS status;
    for (;;) {
        descriptor = AllocateConfigurationBuffer(bufferBytes);
        if (descriptor == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        BuildGetDescriptorRequest(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, descriptor, bufferBytes);
        status = SubmitControlUrbSync(Fdo, urb);
        if (!NT_SUCCESS(status))
            break;

        const ConfigurationRead read = ExamineConfigurationRead(
            descriptor, bufferBytes, urb->UrbControlDescriptorRequest.TransferBufferLength);
        if (read == ConfigurationRead::Whole)
            break;
        const ULONG largerBytes = read == ConfigurationRead::Larger ? descriptor->wTotalLength : 0;
        ReleaseCountedBlock(descriptor);
        descriptor = nullptr;
        if (read == ConfigurationRead::Short) {
            status = STATUS_DEVICE_DATA_ERROR;
            break;
        }
        bufferBytes = largerBytes;
    }
    ExFreePool(urb);
    if (!NT_SUCCESS(status)) {
        if (descriptor != nullptr)
            ReleaseCountedBlock(descriptor);
        return status;
    }
    PublishConfigurationDescriptor(Fdo, descriptor);
    return SelectConfiguration(Fdo, descriptor);
}
