// Driver entry and request routing.
//
// DriverEntry publishes the dispatch routines; the driver keeps no global state, so the routing
// itself needs no lock. Major functions not listed here keep the platform's default handler.
#include "driver/dispatch.h"
#include "driver/forward.h"
#include "driver/io_reference.h"
#include "io/client_dispatch.h"
#include "pnp/add_device.h"
#include "pnp/dispatch_pnp.h"
#include "power/dispatch_power.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->DriverUnload = DriverUnload;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

// Everything per device is released by removal before the driver can be unloaded.
void NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
    UNREFERENCED_PARAMETER(DriverObject);
}

// Passed down in every Plug and Play state: the driver has no instrumentation of its own, and the
// lower drivers may.
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT Fdo, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    ScopedIoReference reference(Fdo);
    return PassDownCopied(Fdo, Irp);
}
