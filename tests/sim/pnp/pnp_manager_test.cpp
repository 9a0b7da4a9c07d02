// The Plug and Play manager's adding half: a device plugged into the bus, the function driver's
// AddDevice at PASSIVE_LEVEL, and IRP_MN_START_DEVICE sent to the top of the stack and waited for.
#include "sim/io/io_manager.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/sync/dispatcher.h"
#include "sim/usb/bus_driver.h"
#include "tests/support/sim_fixture.h"

namespace wdmusb::test {
namespace {

constexpr GUID kClass = {0x0badcafe, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};

// A function driver in miniature. Its routines reach the test's settings through one pointer,
// as a driver without global state could not; the test owns what it points at.
struct MiniDriver {
    // settings
    NTSTATUS addResult = STATUS_SUCCESS;
    bool completeStartItself = false;
    NTSTATUS failStartWith = STATUS_SUCCESS;
    // observations
    KIRQL addIrql = 0xFF;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    NTSTATUS startArrivedWith = 0;
    std::string startDescription;

    static inline MiniDriver* current = nullptr;

    static NTSTATUS NTAPI entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
        driver->DriverExtension->AddDevice = &MiniDriver::addDevice;
        driver->MajorFunction[IRP_MJ_PNP] = &MiniDriver::dispatchPnp;
        return STATUS_SUCCESS;
    }

    static NTSTATUS NTAPI addDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
        MiniDriver& self = *current;
        self.addIrql = KeGetCurrentIrql();
        if (!NT_SUCCESS(self.addResult))
            return self.addResult;
        UNICODE_STRING link{};
        NTSTATUS status = IoRegisterDeviceInterface(pdo, &kClass, nullptr, &link);
        if (!NT_SUCCESS(status))
            return status;
        status = IoSetDeviceInterfaceState(&link, TRUE);
        RtlFreeUnicodeString(&link);
        if (!NT_SUCCESS(status))
            return status;
        status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &self.fdo);
        if (!NT_SUCCESS(status))
            return status;
        self.lower = IoAttachDeviceToDeviceStack(self.fdo, pdo);
        self.fdo->Flags &= ~DO_DEVICE_INITIALIZING;
        return STATUS_SUCCESS;
    }

    static NTSTATUS NTAPI signal(PDEVICE_OBJECT, PIRP, PVOID event) {
        KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    static NTSTATUS NTAPI dispatchPnp(PDEVICE_OBJECT, PIRP irp) {
        MiniDriver& self = *current;
        if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_START_DEVICE) {
            self.startArrivedWith = irp->IoStatus.Status;
            self.startDescription = sim::current().io().describeIrp(irp);
            if (self.completeStartItself) {
                irp->IoStatus.Status = STATUS_SUCCESS;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                return STATUS_SUCCESS;
            }
        }
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, &MiniDriver::signal, &done, TRUE, TRUE, TRUE);
        if (IofCallDriver(self.lower, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        NTSTATUS status = irp->IoStatus.Status;
        if (NT_SUCCESS(status) && !NT_SUCCESS(self.failStartWith))
            status = self.failStartWith;
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }

    void removeDevice() {
        if (fdo == nullptr)
            return;
        IoDetachDevice(lower);
        IoDeleteDevice(fdo);
        fdo = nullptr;
    }
};

class PnpManagerTest : public SimTest {
protected:
    void SetUp() override {
        MiniDriver::current = &mini_;
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver_ = system_.io().loadDriver("mini", &MiniDriver::entry, &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
    }
    void TearDown() override {
        mini_.removeDevice();
        SimTest::TearDown();
        MiniDriver::current = nullptr;
    }

    MiniDriver mini_;
    sim::usb::BusDriver bus_;
    PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(PnpManagerTest, PlugAddsTheDriverAboveANewPdoAtPassiveLevel) {
    sim::DeviceNode& node = system_.pnp().plug(bus_, driver_);
    EXPECT_EQ(node.addStatus, STATUS_SUCCESS);
    EXPECT_EQ(node.state, sim::DeviceNodeState::Added);
    ASSERT_NE(node.busDevice, nullptr);
    EXPECT_EQ(node.pdo, node.busDevice->pdo());
    EXPECT_EQ(mini_.addIrql, PASSIVE_LEVEL);
    EXPECT_EQ(mini_.lower, node.pdo);
    EXPECT_EQ(system_.io().topOfStack(node.pdo), mini_.fdo);
    EXPECT_EQ(system_.pnp().interfaces().enabled(kClass).size(), 1u)
        << "what the driver's AddDevice enabled, applications find";
}

TEST_F(PnpManagerTest, StartGoesToTheTopPresetNotSupportedAndReachesTheBus) {
    sim::DeviceNode& node = system_.pnp().plug(bus_, driver_);
    EXPECT_EQ(system_.pnp().start(node), STATUS_SUCCESS);
    EXPECT_EQ(node.state, sim::DeviceNodeState::Started);
    EXPECT_EQ(mini_.startArrivedWith, STATUS_NOT_SUPPORTED);
    EXPECT_NE(mini_.startDescription.find("sent by the Plug and Play manager"), std::string::npos)
        << mini_.startDescription;
    const auto seen = node.busDevice->pnpMinorsSeen();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), IRP_MN_START_DEVICE), 1);
}

TEST_F(PnpManagerTest, AFailedStartIsReported) {
    mini_.failStartWith = STATUS_DEVICE_DATA_ERROR;
    sim::DeviceNode& node = system_.pnp().plug(bus_, driver_);
    EXPECT_EQ(system_.pnp().start(node), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(node.state, sim::DeviceNodeState::StartFailed);
    EXPECT_EQ(node.startStatus, STATUS_DEVICE_DATA_ERROR);
}

TEST_F(PnpManagerTest, AStartThatNeverReachedTheBusIsAFinding) {
    mini_.completeStartItself = true;
    sim::DeviceNode& node = system_.pnp().plug(bus_, driver_);
    EXPECT_EQ(system_.pnp().start(node), STATUS_SUCCESS);
    expectFinding(sim::Rule::PnpIrpCompletedNotForwarded, "IRP_MN_START_DEVICE");
}

TEST_F(PnpManagerTest, AFailedAddDeviceLeavesNothingToStart) {
    mini_.addResult = STATUS_INSUFFICIENT_RESOURCES;
    sim::DeviceNode& node = system_.pnp().plug(bus_, driver_);
    EXPECT_EQ(node.addStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(node.state, sim::DeviceNodeState::AddFailed);
    EXPECT_EQ(system_.pnp().start(node), STATUS_INVALID_DEVICE_STATE);
    EXPECT_TRUE(node.busDevice->pnpMinorsSeen().empty());
}

TEST_F(PnpManagerTest, StartUnderForcePendingStillEnds) {
    bus_.controller().setForcePending(true);
    sim::DeviceNode& node = system_.pnp().plug(bus_, driver_);
    EXPECT_EQ(system_.pnp().start(node), STATUS_SUCCESS);
}

} // namespace
} // namespace wdmusb::test
