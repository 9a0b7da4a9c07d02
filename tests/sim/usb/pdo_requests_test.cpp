// The PDO's port requests, Plug and Play and power.
#include "tests/sim/usb/usb_fixture.h"
#include "tests/support/test_driver.h"

namespace wdmusb::test {
namespace {

class PdoRequestsTest : public UsbBusTest {
protected:
    // A power IRP as the power manager sends one, waited for.
    IO_STATUS_BLOCK sendPower(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& fill,
                              NTSTATUS* returned = nullptr, KEVENT* done = nullptr,
                              PIRP* sent = nullptr) {
        sim::IoManager& io = system_.io();
        PIRP irp =
            io.allocateIrp(device_.pdo()->StackSize, sim::IrpOrigin::Power, SimCallSite::current());
        auto finished = std::make_shared<std::pair<KEVENT, IO_STATUS_BLOCK>>();
        KeInitializeEvent(&finished->first, NotificationEvent, FALSE);
        io.setTopCompletion(irp, [finished, done](PIRP f) {
            finished->second = f->IoStatus;
            KeSetEvent(&finished->first, IO_NO_INCREMENT, FALSE);
            if (done != nullptr)
                KeSetEvent(done, IO_NO_INCREMENT, FALSE);
        });
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_POWER;
        next->MinorFunction = minor;
        fill(next);
        if (sent != nullptr)
            *sent = irp;
        const NTSTATUS status = PoCallDriver(device_.pdo(), irp);
        if (returned != nullptr)
            *returned = status;
        if (done != nullptr)
            return IO_STATUS_BLOCK{}; // the caller waits
        KeWaitForSingleObject(&finished->first, Executive, KernelMode, FALSE, nullptr);
        return finished->second;
    }
};

TEST_F(PdoRequestsTest, PortResetReEnablesOnlyAConnectedPort) {
    EXPECT_EQ(portStatus(), ULONG{USBD_PORT_ENABLED | USBD_PORT_CONNECTED});
    device_.setPortEnabled(false);
    EXPECT_EQ(portStatus(), ULONG{USBD_PORT_CONNECTED});
    EXPECT_EQ(control(IOCTL_INTERNAL_USB_RESET_PORT, nullptr).status, STATUS_SUCCESS);
    EXPECT_EQ(portStatus(), ULONG{USBD_PORT_ENABLED | USBD_PORT_CONNECTED});
    EXPECT_EQ(device_.portResets(), 1u);

    device_.setConnected(false);
    EXPECT_EQ(portStatus(), 0u);
    EXPECT_EQ(control(IOCTL_INTERNAL_USB_RESET_PORT, nullptr).status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(portStatus(), 0u) << "nothing to enable";
    EXPECT_EQ(device_.portResets(), 1u);
}

TEST_F(PdoRequestsTest, TransfersFailOnADisabledPortUntilReset) {
    device_.setPortEnabled(false);
    std::vector<std::uint8_t> buffer(18);
    auto read = descriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, buffer);
    EXPECT_EQ(submit(read.get()).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(read->Hdr.Status, USBD_STATUS_DEV_NOT_RESPONDING);
    ASSERT_EQ(control(IOCTL_INTERNAL_USB_RESET_PORT, nullptr).status, STATUS_SUCCESS);
    auto again = descriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, buffer);
    EXPECT_EQ(submit(again.get()).status, STATUS_SUCCESS);
}

TEST_F(PdoRequestsTest, PortRequestAtDispatchLevelIsReported) {
    ULONG word = 0;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, device_.pdo(),
                                             nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &word;
    {
        sim::AtDispatchLevel raised;
        IofCallDriver(device_.pdo(), irp);
    }
    expectFinding(sim::Rule::IrqlMisuse, "PASSIVE_LEVEL only");
}

TEST_F(PdoRequestsTest, CapabilityQueryCopiesTheRecordTheTestChose) {
    DEVICE_CAPABILITIES chosen = sim::usb::BusDevice::defaultCapabilities(1);
    chosen.DeviceState[PowerSystemSleeping1] = PowerDeviceD1;
    chosen.DeviceState[PowerSystemSleeping3] = PowerDeviceD3;
    chosen.SurpriseRemovalOK = 1;
    device_.setCapabilities(chosen);

    const auto query = [&](DEVICE_CAPABILITIES& asked) {
        return sendAndWait(device_.pdo(), IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
                           [&](PIRP, PIO_STACK_LOCATION s) {
                               s->Parameters.DeviceCapabilities.Capabilities = &asked;
                           })
            .Status;
    };
    DEVICE_CAPABILITIES asked = sim::usb::BusDevice::recordToQuery();
    EXPECT_EQ(query(asked), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&asked, &chosen, sizeof chosen), 0);

    // A record that does not say what it is (size 0, or another version) is refused untouched.
    for (const auto& [size, version] : {std::pair<USHORT, USHORT>{0, 1}, {sizeof chosen, 0}}) {
        DEVICE_CAPABILITIES unsaid{};
        unsaid.Size = size;
        unsaid.Version = version;
        EXPECT_EQ(query(unsaid), STATUS_INVALID_PARAMETER) << size << " " << version;
        EXPECT_EQ(unsaid.DeviceWake, PowerDeviceUnspecified);
    }
}

TEST_F(PdoRequestsTest, StateChangesSucceedAndOtherMinorsKeepTheirStatus) {
    for (UCHAR minor :
         {IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE,
          IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_SURPRISE_REMOVAL})
        EXPECT_EQ(sendAndWait(device_.pdo(), IRP_MJ_PNP, minor).Status, STATUS_SUCCESS)
            << int(minor);
    EXPECT_EQ(sendAndWait(device_.pdo(), IRP_MJ_PNP, IRP_MN_QUERY_ID).Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(sendAndWait(device_.pdo(), IRP_MJ_CREATE, 0).Status, STATUS_NOT_SUPPORTED)
        << "an unhandled major keeps its status";
    EXPECT_EQ(device_.pnpMinorsSeen().size(), 7u);
}

TEST_F(PdoRequestsTest, SetPowerIsRecordedAndSucceeds) {
    const IO_STATUS_BLOCK r = sendPower(IRP_MN_SET_POWER, [](PIO_STACK_LOCATION s) {
        s->Parameters.Power.Type = DevicePowerState;
        s->Parameters.Power.State.DeviceState = PowerDeviceD2;
    });
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(device_.devicePowerState(), PowerDeviceD2);
}

TEST_F(PdoRequestsTest, WaitWakePendsUntilSignalledOrCancelled) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    NTSTATUS returned = 0;
    PIRP irp = nullptr;
    const auto wake = [](PIO_STACK_LOCATION s) {
        s->Parameters.WaitWake.PowerState = PowerSystemSleeping3;
    };
    sendPower(IRP_MN_WAIT_WAKE, wake, &returned, &done, &irp);
    EXPECT_EQ(returned, STATUS_PENDING);
    EXPECT_TRUE(device_.waitWakePending());
    EXPECT_EQ(sendPower(IRP_MN_WAIT_WAKE, wake).Status, STATUS_DEVICE_BUSY) << "one at a time";
    EXPECT_TRUE(device_.signalWake());
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_FALSE(device_.waitWakePending());

    KeInitializeEvent(&done, NotificationEvent, FALSE);
    sendPower(IRP_MN_WAIT_WAKE, wake, &returned, &done, &irp);
    EXPECT_TRUE(IoCancelIrp(irp));
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_FALSE(device_.signalWake()) << "nothing left to signal";
}

} // namespace
} // namespace wdmusb::test
