// How a URB ends: the IRP's status with the URB's USB status, as the platform's USB stack pairs
// them (STATUS_CANCELLED with a cancel, STATUS_DEVICE_NOT_CONNECTED with a device that has gone,
// STATUS_UNSUCCESSFUL with other device errors, STATUS_INVALID_PARAMETER with a refused URB).
#pragma once

#include "loopbus/loopbus.h"

struct UrbOutcome {
    NTSTATUS Status;
    USBD_STATUS UsbStatus;
};

inline constexpr UrbOutcome kUrbSuccess = {STATUS_SUCCESS, USBD_STATUS_SUCCESS};
inline constexpr UrbOutcome kUrbRefused = {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
inline constexpr UrbOutcome kUrbStalled = {STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
inline constexpr UrbOutcome kUrbCancelled = {STATUS_CANCELLED, USBD_STATUS_CANCELED};
inline constexpr UrbOutcome kUrbDeviceGone = {STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE};

// Whether the port keeps a request from the device, and how the request then ends; Lock held.
inline bool PortFailure(const CHILD_EXTENSION* Child, UrbOutcome* Failure) {
    if (!Child->Present || Child->Gone) {
        *Failure = kUrbDeviceGone;
        return true;
    }
    if (!Child->PortEnabled) {
        *Failure = {STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING};
        return true;
    }
    return false;
}
