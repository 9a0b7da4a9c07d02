// loopbus.sys: a USB bus driver for tests, with the loopback device on its one port.
//
// It is what our Wine run puts below wdmusb.sys, where a real system has the USB hub driver: a
// root-enumerated bus FDO that reports one child PDO (hardware ID USB\VID_1209&PID_0001) and
// answers that PDO's Plug and Play, power and USB requests as a USB bus driver does, with the
// device's behaviour taken from the loopback logic the simulator runs too. A control device
// (loopbus_control.h) lets a test unplug the device, plug it in again, make a transfer misbehave
// and read what the bus saw.
//
// Locking: one spin lock per bus, BUS_EXTENSION::Lock, guards the child's state, the loopback
// logic, the waiting transfers, the armed faults and the counts. No IRP is completed, and no
// other driver called, while it is held.
#pragma once

#include "platform/kernel/kernel_platform.h"
#include "loopback/loopback_logic.h"
#include "loopbus/loopbus_control.h"

// "LpBs": the tag of every allocation of this driver.
inline constexpr ULONG kLoopbusPoolTag = 0x7342704C;
// Loopback bytes the device holds before OUT transfers wait, as the simulator's device.
inline constexpr ULONG kLoopbusQueueBytes = 1u << 20;
inline constexpr ULONG kLoopbusPipeCount = 2; // the IN endpoint, then the OUT endpoint

enum class LoopbusKind : ULONG { BusFdo = 0x4C425546, ChildPdo, Control };

struct BUS_EXTENSION;

struct LOOPBUS_PIPE {
    UCHAR EndpointAddress;
    BOOLEAN Halted; // after a stall, until the pipe is reset
};

struct CHILD_EXTENSION {
    LoopbusKind Kind;
    BUS_EXTENSION* Bus;
    PDEVICE_OBJECT Self;
    // Everything below: Bus->Lock.
    BOOLEAN Present;     // on the bus: reported in bus relations until unplugged
    BOOLEAN Gone;        // surprise-removed or removed: requests fail until started again
    BOOLEAN PortEnabled; // cleared by the disable-port control, set again by a port reset
    UCHAR Configuration; // bConfigurationValue selected, 0 when unconfigured
    ULONG Generation;    // changes with every select: older pipe handles are stale
    LOOPBUS_PIPE Pipes[kLoopbusPipeCount];
    LIST_ENTRY WaitingIn;  // IN transfers waiting for data, in order
    LIST_ENTRY WaitingOut; // OUT transfers waiting for room, in order
    PIRP WaitWake;         // the one wait-wake request a PDO keeps pending
    LOOPBUS_FAULT FaultIn;
    LOOPBUS_FAULT FaultOut;
    LoopbackLogic Device;
    UCHAR* QueueStorage; // the loopback queue, kLoopbusQueueBytes
};

struct BUS_EXTENSION {
    LoopbusKind Kind;
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Pdo;         // the root-enumerated PDO below us
    PDEVICE_OBJECT LowerDevice; // the top of the stack we attached to
    PDEVICE_OBJECT ControlDevice;
    KSPIN_LOCK Lock;
    PDEVICE_OBJECT Child;  // the child's PDO while it exists (Lock)
    LOOPBUS_COUNTS Counts; // (Lock)
};

struct CONTROL_EXTENSION {
    LoopbusKind Kind;
    BUS_EXTENSION* Bus;
};

inline LoopbusKind KindOf(PDEVICE_OBJECT Device) {
    return *static_cast<LoopbusKind*>(Device->DeviceExtension);
}
inline BUS_EXTENSION* BusOf(PDEVICE_OBJECT Device) {
    return static_cast<BUS_EXTENSION*>(Device->DeviceExtension);
}
inline CHILD_EXTENSION* ChildOf(PDEVICE_OBJECT Device) {
    return static_cast<CHILD_EXTENSION*>(Device->DeviceExtension);
}

// Completes Irp with Status and Information 0 and returns Status.
NTSTATUS CompleteIrp(PIRP Irp, NTSTATUS Status);

// --- The bus FDO (bus_pnp.cpp)
// --------------------------------------------------------------------
NTSTATUS BusDispatch(PDEVICE_OBJECT Fdo, PIRP Irp);

// --- The child (child_device.cpp)
// ----------------------------------------------------------------- Creates the child's PDO,
// present on the bus, unless one exists. Passive level, Lock not held.
NTSTATUS PlugChild(BUS_EXTENSION* Bus);
// Takes the device off the bus. Passive level, Lock not held.
void UnplugChild(BUS_EXTENSION* Bus);
// Deletes the child's PDO after completing what it holds. Passive level, Lock not held.
void DeleteChild(BUS_EXTENSION* Bus, PDEVICE_OBJECT Pdo);

// --- The child PDO's requests
// -----------------------------------------------------------------------
NTSTATUS ChildDispatchPnp(PDEVICE_OBJECT Pdo, PIRP Irp);   // child_pnp.cpp
NTSTATUS ChildDispatchPower(PDEVICE_OBJECT Pdo, PIRP Irp); // child_power.cpp
void FailWaitWake(CHILD_EXTENSION* Child, NTSTATUS Status);
NTSTATUS ChildDispatchInternalControl(PDEVICE_OBJECT Pdo, PIRP Irp); // urb_requests.cpp

// --- Bulk transfers (bulk_transfers.cpp)
// ------------------------------------------------------------ Takes a bulk transfer whose URB has
// been checked; completes it or leaves it waiting.
NTSTATUS SubmitBulkTransfer(CHILD_EXTENSION* Child, PIRP Irp, PURB Urb, UCHAR* Data, ULONG Index);
// Completes every waiting transfer of the pipe at Index (all pipes when Index is
// kLoopbusPipeCount) as Outcome says. Lock not held.
struct UrbOutcome;
void FlushTransfers(CHILD_EXTENSION* Child, ULONG Index, const UrbOutcome& Outcome);

// --- The control device (control_device.cpp)
// -------------------------------------------------------
NTSTATUS CreateControlDevice(PDRIVER_OBJECT Driver, BUS_EXTENSION* Bus);
void DeleteControlDevice(BUS_EXTENSION* Bus);
NTSTATUS ControlDispatch(PDEVICE_OBJECT Device, PIRP Irp);

// --- Routines Wine lacks (supplied_routines.cpp)
// -------------------------------------------------------
// Redirects Wine's aborting stubs of routines the function driver imports to the bus's own.
void SupplyMissingRoutines();
