// Passing power IRPs: one set or query IRP of each kind at a time per device until
// PoStartNextPowerIrp, delivery at PASSIVE_LEVEL to drivers whose power handling is pageable, and
// the platform's default handler.
#include "tests/sim/power/power_fixture.h"

namespace wdmusb::test {
namespace {

class PowerPassingTest : public SimTest {
protected:
    PowerHolder holder_;
    TestDriver driver_;
    PDEVICE_OBJECT lower_ = driver_.createDevice(holder_.handler());
    PDEVICE_OBJECT upper_ = driver_.createDevice(passPowerDown(&lower_), lower_);
};

// The upper device passes each IRP on at once; the lower one holds them. The second device IRP
// waits at the lower device until the first one's PoStartNextPowerIrp, while IRPs of another kind
// (system power) and those that are never serialised (wait-wake) go through meanwhile. The upper
// driver returns what PoCallDriver returned for the IRP that had to wait (STATUS_PENDING), which
// the power manager made right by marking its stack location pending.
TEST_F(PowerPassingTest, ADeviceTakesOneIrpOfEachKindUntilPoStartNextPowerIrp) {
    auto first = setDevicePower(upper_, PowerDeviceD2);
    auto second = setDevicePower(upper_, PowerDeviceD0);
    EXPECT_EQ(second->returned, STATUS_PENDING);
    auto system = sendPower(upper_, IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping1);
    auto wake = sendPower(upper_, IRP_MN_WAIT_WAKE, SystemPowerState, PowerSystemSleeping3);
    ASSERT_EQ(holder_.arrivals.count(), 3u);
    std::vector<PowerArrival> arrived = holder_.arrivals.all();
    EXPECT_EQ(arrived[0].state, ULONG{PowerDeviceD2});
    EXPECT_EQ(arrived[1].type, SystemPowerState);
    EXPECT_EQ(arrived[2].minor, IRP_MN_WAIT_WAKE);

    PowerHolder::finish(arrived[0].irp);
    EXPECT_EQ(first->wait(), STATUS_SUCCESS);
    ASSERT_TRUE(holder_.arrivals.waitFor(4)) << "the second device IRP was let go";
    const PowerArrival late = holder_.arrivals.all()[3];
    EXPECT_EQ(late.state, ULONG{PowerDeviceD0});
    EXPECT_EQ(late.irql, PASSIVE_LEVEL);
    EXPECT_NE(late.thread, std::this_thread::get_id()) << "delivered by the power manager";

    for (PIRP irp : {late.irp, arrived[1].irp, arrived[2].irp})
        PowerHolder::finish(irp);
    for (const auto& sent : {second, system, wake})
        EXPECT_EQ(sent->wait(), STATUS_SUCCESS);
}

// Above PASSIVE_LEVEL, an IRP for a driver that takes power IRPs at PASSIVE_LEVEL waits for the
// power manager's worker; other drivers are called at once, at the caller's IRQL.
TEST_F(PowerPassingTest, APageableDriverGetsItsIrpAtPassiveLevel) {
    struct Case {
        ULONG flags;
        bool deferred;
    };
    for (const Case c : {Case{DO_POWER_PAGABLE, true}, Case{0, false},
                         Case{DO_POWER_PAGABLE | DO_POWER_INRUSH, false}}) {
        SCOPED_TRACE("flags 0x" + std::to_string(c.flags));
        PowerArrivals arrivals;
        PDEVICE_OBJECT device = driver_.createDevice(answerPower(arrivals));
        device->Flags |= c.flags;
        std::shared_ptr<SentPower> sent;
        {
            sim::AtDispatchLevel raised;
            sent = setDevicePower(device, PowerDeviceD1);
        }
        EXPECT_EQ(sent->returned, c.deferred ? STATUS_PENDING : STATUS_SUCCESS);
        EXPECT_EQ(sent->wait(), STATUS_SUCCESS);
        ASSERT_EQ(arrivals.count(), 1u);
        EXPECT_EQ(arrivals.all()[0].irql, c.deferred ? PASSIVE_LEVEL : DISPATCH_LEVEL);
        EXPECT_EQ(arrivals.all()[0].thread == std::this_thread::get_id(), !c.deferred);
    }
}

// The platform's handler of an empty major-function slot fails the IRP and lets the next go.
TEST_F(PowerPassingTest, TheDefaultHandlerLetsTheNextPowerIrpGo) {
    PDRIVER_OBJECT bare = system_.io().loadDriver("bare", nullptr, nullptr);
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(bare, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    for (const DEVICE_POWER_STATE state : {PowerDeviceD3, PowerDeviceD0})
        EXPECT_EQ(setDevicePower(device, state)->wait(), STATUS_INVALID_DEVICE_REQUEST);
    IoDeleteDevice(device);
}

} // namespace
} // namespace wdmusb::test
