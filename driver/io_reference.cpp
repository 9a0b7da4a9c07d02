#include "driver/io_reference.h"

void AcquireIoReference(PDEVICE_OBJECT Fdo) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    const KIRQL oldIrql = KfAcquireSpinLock(&ext->IoCountLock);
    InterlockedIncrement(&ext->OutstandingIoCount);
    KfReleaseSpinLock(&ext->IoCountLock, oldIrql);
}

LONG ReleaseIoReference(PDEVICE_OBJECT Fdo) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    const KIRQL oldIrql = KfAcquireSpinLock(&ext->IoCountLock);
    const LONG count = InterlockedDecrement(&ext->OutstandingIoCount);
    if (count == 1)
        KeSetEvent(&ext->NoPendingIoEvent, EVENT_INCREMENT, FALSE);
    KfReleaseSpinLock(&ext->IoCountLock, oldIrql);

    // RemoveEvent is set only after the lock is released: the removal path deletes the FDO, and
    // the lock with it, as soon as it sees the event. Nothing can raise the count again once it is
    // 0, so this release is still the one that signals it.
    if (count == 0)
        KeSetEvent(&ext->RemoveEvent, EVENT_INCREMENT, FALSE);
    return count;
}
