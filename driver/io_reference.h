// Outstanding-request accounting.
//
// OutstandingIoCount counts the work of the driver that removal must wait for: AddDevice's base
// reference, one per dispatch routine in progress, one per chunk in flight and one per power
// request of the idle policy. At rest the count is 1. Two events follow it: NoPendingIoEvent is
// set by every release that leaves 1, RemoveEvent by the release that leaves 0.
#pragma once

#include "driver/extension.h"

// Takes one reference. Any IRQL up to DISPATCH_LEVEL.
void AcquireIoReference(PDEVICE_OBJECT Fdo);

// Gives back one reference and returns the new count. Any IRQL up to DISPATCH_LEVEL. When the count
// reaches 0 the extension may be freed by the removal path as soon as RemoveEvent is set, so a
// caller must not touch the extension after a release that may be the last.
LONG ReleaseIoReference(PDEVICE_OBJECT Fdo);

// A reference held for the extent of a scope; ReleaseNow gives it back early (for requests whose
// reference must be returned before they are passed on).
class ScopedIoReference {
public:
    explicit ScopedIoReference(PDEVICE_OBJECT Fdo) : Fdo_(Fdo) { AcquireIoReference(Fdo); }
    ~ScopedIoReference() { ReleaseNow(); }
    ScopedIoReference(const ScopedIoReference&) = delete;
    ScopedIoReference& operator=(const ScopedIoReference&) = delete;

    void ReleaseNow() {
        if (Fdo_ != nullptr) {
            ReleaseIoReference(Fdo_);
            Fdo_ = nullptr;
        }
    }

    // The reference now belongs to a completion routine that gives it back: call this before the
    // request goes where that routine may run.
    void HandOff() { Fdo_ = nullptr; }

private:
    PDEVICE_OBJECT Fdo_;
};
