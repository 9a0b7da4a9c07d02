// The fixed part of the URB of each function our bus drivers answer (the simulator's and the test
// bus loopbus.sys): a bus refuses a URB whose Hdr.Length is shorter, before it reads any field
// beyond the header. Include it after the platform's declarations; the records are theirs.
#pragma once

inline SIZE_T UrbFixedLength(USHORT Function) {
    switch (Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return sizeof(struct _URB_SELECT_CONFIGURATION);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE:
        return sizeof(struct _URB_PIPE_REQUEST);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    case URB_FUNCTION_VENDOR_DEVICE:
        return sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    default:
        return sizeof(struct _URB_HEADER);
    }
}
