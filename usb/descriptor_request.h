// The get-descriptor request URB (URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE).
#pragma once

#include "platform/platform.h"

static_assert(sizeof(void*) != 4 || sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 80,
              "the descriptor request has the platform's i386 length");

// Fills the fields the bus driver reads for a GET_DESCRIPTOR of index 0 and language 0 into
// Buffer (USB 2.0, 9.4.3); the others are left as they are. On return the bus driver has put the
// number of bytes it received into TransferBufferLength.
inline void BuildGetDescriptorRequest(PURB Urb, UCHAR DescriptorType, PVOID Buffer,
                                      ULONG BufferBytes) {
    struct _URB_CONTROL_DESCRIPTOR_REQUEST& request = Urb->UrbControlDescriptorRequest;
    request.Hdr.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    request.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    request.TransferBufferLength = BufferBytes;
    request.TransferBufferMDL = nullptr;
    request.TransferBuffer = Buffer;
    request.DescriptorType = DescriptorType;
    request.Index = 0;
    request.LanguageId = 0;
    request.UrbLink = nullptr;
}
