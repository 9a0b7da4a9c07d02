// wdmusb.sys with one import more, of a routine the Windows kernel exports (from Windows Vista
// SP1 on) and Wine 8.0's does not: the Wine run installs this image to show that an image Wine
// cannot load fails the installation step, naming the missing routine.
#include "platform/platform.h"

extern "C" DECLSPEC_IMPORT KIRQL NTAPI ExAcquireSpinLockExclusive(LONG volatile* SpinLock);
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

extern "C" NTSTATUS NTAPI DriverEntryWithMissingImport(PDRIVER_OBJECT DriverObject,
                                                       PUNICODE_STRING RegistryPath) {
    // Never true: the call only keeps the import in the image.
    if (DriverObject == nullptr)
        return static_cast<NTSTATUS>(ExAcquireSpinLockExclusive(nullptr));
    return DriverEntry(DriverObject, RegistryPath);
}
