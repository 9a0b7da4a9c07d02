// A small function driver for the Plug and Play manager's tests, with the fixture that loads it
// above devices on a simulated bus. Each Plug and Play minor code gets an answer the test picks:
// pass it down and wait (the default), complete it at once, fail it, or pass it down and then
// fail it. Removal passes down, disables the interface, completes a read it holds, detaches and
// deletes the FDO; each of those can be left out to break a rule on purpose.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <map>
#include <new>
#include <utility>
#include <vector>

#include "sim/io/io_manager.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/bus_driver.h"
#include "tests/support/sim_fixture.h"

namespace wdmusb::test {

inline constexpr GUID kPnpTestClass = {
    0x5eed0001, 0x77aa, 0x4b1c, {0x8d, 0x2e, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60}};

enum class Answer { PassDown, CompleteSuccess, Fail, PassDownThenFail };

struct PnpTestDriver {
    // --- settings ------------------------------------------------------------------------------
    NTSTATUS addResult = STATUS_SUCCESS;
    std::map<UCHAR, Answer> answers; // minors not listed are passed down
    NTSTATUS failWith = STATUS_UNSUCCESSFUL;
    int startsBeforeFailing = -1; // starts that succeed before every later one fails; -1: none
    bool disableInterfaceOnRemove = true;
    bool completeHeldOnRemove = true;
    bool releaseOnRemove = true;          // detach and delete the FDO in the removal
    bool detachOnSurpriseRemoval = false; // wrong: only the removal may detach ...
    bool deleteOnSurpriseRemoval = false; // ... and delete (implies the detach)
    bool powerCompletion = false;         // pass power IRPs down with a completion routine

    // --- observations --------------------------------------------------------------------------
    int adds = 0;
    int starts = 0;
    PDEVICE_OBJECT fdo = nullptr; // of the latest AddDevice
    std::vector<UCHAR> minorsAtFdo;
    std::vector<NTSTATUS> arrivedWith; // the status each PnP IRP arrived with
    std::atomic<PIRP> held = nullptr;  // a read the FDO keeps pending

    static inline PnpTestDriver* current = nullptr;

    struct Extension {
        PDEVICE_OBJECT lower = nullptr;
        std::array<WCHAR, 160> link{};
        USHORT linkBytes = 0;
    };
    static Extension& extensionOf(PDEVICE_OBJECT fdo) {
        return *static_cast<Extension*>(fdo->DeviceExtension);
    }

    static NTSTATUS NTAPI entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
        driver->DriverExtension->AddDevice = &PnpTestDriver::addDevice;
        driver->MajorFunction[IRP_MJ_PNP] = &PnpTestDriver::dispatchPnp;
        driver->MajorFunction[IRP_MJ_READ] = &PnpTestDriver::dispatchRead;
        driver->MajorFunction[IRP_MJ_POWER] = &PnpTestDriver::dispatchPower;
        driver->MajorFunction[IRP_MJ_CREATE] = &PnpTestDriver::dispatchOpenClose;
        driver->MajorFunction[IRP_MJ_CLOSE] = &PnpTestDriver::dispatchOpenClose;
        return STATUS_SUCCESS;
    }

    static NTSTATUS NTAPI dispatchOpenClose(PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }

    static NTSTATUS NTAPI addDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
        PnpTestDriver& self = *current;
        ++self.adds;
        if (!NT_SUCCESS(self.addResult))
            return self.addResult;
        PDEVICE_OBJECT fdo = nullptr;
        NTSTATUS status =
            IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
        if (!NT_SUCCESS(status))
            return status;
        Extension& ext = *new (fdo->DeviceExtension) Extension{};
        UNICODE_STRING link{};
        status = IoRegisterDeviceInterface(pdo, &kPnpTestClass, nullptr, &link);
        if (NT_SUCCESS(status)) {
            ext.linkBytes = std::min<USHORT>(link.Length, sizeof(ext.link) - sizeof(WCHAR));
            std::copy_n(link.Buffer, ext.linkBytes / sizeof(WCHAR), ext.link.data());
            status = IoSetDeviceInterfaceState(&link, TRUE);
            RtlFreeUnicodeString(&link);
        }
        if (!NT_SUCCESS(status)) {
            IoDeleteDevice(fdo);
            return status;
        }
        ext.lower = IoAttachDeviceToDeviceStack(fdo, pdo);
        fdo->Flags &= ~DO_DEVICE_INITIALIZING;
        self.fdo = fdo;
        return STATUS_SUCCESS;
    }

    static NTSTATUS NTAPI signal(PDEVICE_OBJECT, PIRP, PVOID event) {
        KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    static NTSTATUS forwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, &PnpTestDriver::signal, &done, TRUE, TRUE, TRUE);
        if (IofCallDriver(lower, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        return irp->IoStatus.Status;
    }

    Answer answerFor(UCHAR minor) {
        if (minor == IRP_MN_START_DEVICE && startsBeforeFailing >= 0 &&
            starts > startsBeforeFailing)
            return Answer::PassDownThenFail;
        auto it = answers.find(minor);
        return it == answers.end() ? Answer::PassDown : it->second;
    }

    void releaseDevice(PDEVICE_OBJECT device) {
        Extension& ext = extensionOf(device);
        if (disableInterfaceOnRemove) {
            UNICODE_STRING link{ext.linkBytes, ext.linkBytes, ext.link.data()};
            IoSetDeviceInterfaceState(&link, FALSE);
        }
        if (PIRP read = completeHeldOnRemove ? held.exchange(nullptr) : nullptr) {
            read->IoStatus.Status = STATUS_DELETE_PENDING;
            IoCompleteRequest(read, IO_NO_INCREMENT);
        }
        if (releaseOnRemove) {
            IoDetachDevice(ext.lower);
            IoDeleteDevice(device);
        }
    }

    static NTSTATUS NTAPI dispatchPnp(PDEVICE_OBJECT fdo, PIRP irp) {
        PnpTestDriver& self = *current;
        const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
        self.minorsAtFdo.push_back(minor);
        self.arrivedWith.push_back(irp->IoStatus.Status);
        if (minor == IRP_MN_START_DEVICE)
            ++self.starts;
        const Answer answer = self.answerFor(minor);
        Extension& ext = extensionOf(fdo);
        NTSTATUS status = STATUS_SUCCESS;
        if (answer == Answer::Fail)
            status = self.failWith;
        else if (answer == Answer::PassDown || answer == Answer::PassDownThenFail)
            status = forwardAndWait(ext.lower, irp);
        if (answer == Answer::PassDownThenFail)
            status = self.failWith;

        if (minor == IRP_MN_SURPRISE_REMOVAL &&
            (self.detachOnSurpriseRemoval || self.deleteOnSurpriseRemoval))
            IoDetachDevice(ext.lower);
        if (minor == IRP_MN_SURPRISE_REMOVAL && self.deleteOnSurpriseRemoval)
            IoDeleteDevice(fdo);
        // The removal IRP still names the FDO while it is deleted: that one reference is allowed.
        if (minor == IRP_MN_REMOVE_DEVICE)
            self.releaseDevice(fdo);
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }

    static NTSTATUS NTAPI dispatchRead(PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        current->held.store(irp);
        return STATUS_PENDING;
    }

    static NTSTATUS NTAPI passUp(PDEVICE_OBJECT, PIRP irp, PVOID) {
        if (irp->PendingReturned)
            IoMarkIrpPending(irp);
        return STATUS_SUCCESS;
    }

    static NTSTATUS NTAPI dispatchPower(PDEVICE_OBJECT fdo, PIRP irp) {
        PoStartNextPowerIrp(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        if (current->powerCompletion)
            IoSetCompletionRoutine(irp, &PnpTestDriver::passUp, nullptr, TRUE, TRUE, TRUE);
        return PoCallDriver(extensionOf(fdo).lower, irp);
    }
};

class PnpFlowTest : public SimTest {
protected:
    void SetUp() override {
        PnpTestDriver::current = &driver_;
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        object_ = system_.io().loadDriver("pnptest", &PnpTestDriver::entry, &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
    }
    void TearDown() override {
        // What a test leaves added is removed as the platform removes it, then checked.
        for (sim::DeviceNode* node : system_.pnp().nodes())
            system_.pnp().remove(*node);
        SimTest::TearDown();
        PnpTestDriver::current = nullptr;
    }

    sim::PnpManager& pnp() { return system_.pnp(); }

    // Plugs the loopback device, adds the driver and starts it.
    sim::DeviceNode& plugAndStart() {
        sim::DeviceNode& node = pnp().plug(bus_, object_);
        EXPECT_EQ(node.addStatus, STATUS_SUCCESS);
        EXPECT_EQ(pnp().start(node), STATUS_SUCCESS);
        return node;
    }

    static std::vector<UCHAR> seenAtPdo(const sim::DeviceNode& node) {
        return node.busDevice->pnpMinorsSeen();
    }

    bool deleted(PDEVICE_OBJECT device) {
        const sim::DeviceRecord* rec = system_.io().record(device);
        return rec != nullptr && rec->deleted;
    }

    PnpTestDriver driver_;
    sim::usb::BusDriver bus_;
    PDRIVER_OBJECT object_ = nullptr;
};

} // namespace wdmusb::test
