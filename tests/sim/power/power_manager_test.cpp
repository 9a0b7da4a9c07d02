// The power manager: a device's set and query IRPs passed one at a time until
// PoStartNextPowerIrp and delivered at PASSIVE_LEVEL when the driver needs it, PoRequestPowerIrp,
// and each power rule of the verifier broken on purpose.
#include <algorithm>

#include "tests/sim/power/power_fixture.h"

namespace wdmusb::test {
namespace {

using sim::Rule;

class PowerManagerTest : public SimTest {
protected:
    PowerHolder holder_;
    TestDriver driver_;
    PDEVICE_OBJECT lower_ = driver_.createDevice(holder_.handler());
    PDEVICE_OBJECT upper_ = driver_.createDevice(passPowerDown(&lower_), lower_);
};

// The second device IRP waits at the lower device (the upper driver returns PoCallDriver's
// STATUS_PENDING, its location marked pending for it) while a system IRP and a wait-wake go
// through; the first one's PoStartNextPowerIrp lets it go, at PASSIVE_LEVEL on the worker. An IRP
// passed at DISPATCH_LEVEL to a pageable driver also arrives at PASSIVE_LEVEL on the worker.
TEST_F(PowerManagerTest, ADeviceTakesOneIrpOfEachKindAtATimeAtPassiveLevel) {
    std::vector<std::shared_ptr<SentPower>> sent{
        sendPower(upper_, DevicePowerState, PowerDeviceD2),
        sendPower(upper_, DevicePowerState, PowerDeviceD0),
        sendPower(upper_, SystemPowerState, PowerSystemSleeping1),
        sendPower(upper_, SystemPowerState, PowerSystemSleeping3, IRP_MN_WAIT_WAKE)};
    EXPECT_EQ(sent[1]->returned, STATUS_PENDING);
    ASSERT_EQ(holder_.held().size(), 3u);
    PowerHolder::finish(holder_.held()[0]);
    ASSERT_TRUE(holder_.waitFor(4));
    EXPECT_EQ(IoGetCurrentIrpStackLocation(holder_.held()[3])->Parameters.Power.State.DeviceState,
              PowerDeviceD0);
    EXPECT_EQ(holder_.lastArrival().first, PASSIVE_LEVEL);
    EXPECT_NE(holder_.lastArrival().second, std::this_thread::get_id());

    lower_->Flags |= DO_POWER_PAGABLE;
    {
        sim::AtDispatchLevel raised;
        sent.push_back(sendPower(upper_, SystemPowerState, PowerSystemWorking, IRP_MN_WAIT_WAKE));
    }
    ASSERT_TRUE(holder_.waitFor(5));
    EXPECT_EQ(holder_.lastArrival().first, PASSIVE_LEVEL);
    for (std::size_t i = 1; i < 5; ++i)
        PowerHolder::finish(holder_.held()[i]);
    for (const auto& s : sent)
        EXPECT_EQ(s->wait(), STATUS_SUCCESS);
}

void NTAPI waitInCompletion(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID event, PIO_STATUS_BLOCK) {
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
}

// The requester's routine runs at DISPATCH_LEVEL once the stack has completed the IRP, so a wait
// in it is a finding; a request that cannot be made sends nothing and calls nothing back.
TEST_F(PowerManagerTest, PoRequestPowerIrpCallsBackAtDispatchLevelOrSendsNothing) {
    KEVENT signalled;
    KeInitializeEvent(&signalled, NotificationEvent, TRUE); // the wait itself ends at once
    POWER_STATE state{};
    state.DeviceState = PowerDeviceD3;
    PIRP irp = nullptr;
    ASSERT_EQ(
        PoRequestPowerIrp(lower_, IRP_MN_SET_POWER, state, &waitInCompletion, &signalled, &irp),
        STATUS_PENDING);
    ASSERT_EQ(holder_.held(), std::vector<PIRP>{irp}) << "sent to the top of the PDO's stack";
    EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED) << "preset as the platform does";
    PowerHolder::finish(irp);
    expectFinding(Rule::WaitAtDispatchLevel,
                  "inside the completion routine of the power IRP requested at "
                  "tests/sim/power/power_manager_test.cpp");

    system_.faults().failNthOfKind(sim::AllocKind::PowerRequest, 1);
    EXPECT_EQ(PoRequestPowerIrp(lower_, IRP_MN_SET_POWER, state, &waitInCompletion, nullptr, &irp),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(PoRequestPowerIrp(upper_, IRP_MN_SET_POWER, state, &waitInCompletion, nullptr, &irp),
              STATUS_INVALID_PARAMETER);
    expectFinding(Rule::ObjectMisuse, "which is not a physical device object");
    EXPECT_EQ(irp, nullptr);
    EXPECT_EQ(holder_.held().size(), 1u);
}

// Each way of leaving PoStartNextPowerIrp out is a finding, and the device's next power IRP is
// delivered all the same.
TEST_F(PowerManagerTest, APowerIrpLeftWithoutPoStartNextPowerIrpIsAFinding) {
    PDEVICE_OBJECT bottom = driver_.createDevice([](PDEVICE_OBJECT, PIRP irp) {
        PowerHolder::finish(irp);
        return STATUS_SUCCESS;
    });
    const std::pair<const char*, IrpHandler> cases[] = {
        {"passed on by",
         [bottom](PDEVICE_OBJECT, PIRP irp) {
             IoCopyCurrentIrpStackLocationToNext(irp);
             return PoCallDriver(bottom, irp);
         }},
        {"passed on by", // and sent with IofCallDriver
         [bottom](PDEVICE_OBJECT, PIRP irp) {
             IoCopyCurrentIrpStackLocationToNext(irp);
             return IofCallDriver(bottom, irp);
         }},
        {"completed by",
         [](PDEVICE_OBJECT, PIRP irp) {
             irp->IoStatus.Status = STATUS_SUCCESS;
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             return STATUS_SUCCESS;
         }},
    };
    for (const auto& [what, handler] : cases) {
        PDEVICE_OBJECT device = driver_.createDevice(handler, bottom);
        for (const DEVICE_POWER_STATE state : {PowerDeviceD2, PowerDeviceD0}) {
            auto sent = sendPower(device, DevicePowerState, state);
            ASSERT_TRUE(sent->finished()) << "the device's next power IRP is stuck";
        }
        expectFinding(Rule::PowerIrpWithoutStartNext, std::string(what) + " device #");
        system_.verifier().take(Rule::PowerIrpSentWithCallDriver);
        IoDetachDevice(bottom);
    }
}

// At the end of a test, the power IRP a driver holds and the one waiting behind it are reported,
// the waiting one saying what it waits for.
TEST_F(PowerManagerTest, PowerIrpsLeftUncompletedAreReportedAtTheEnd) {
    auto held = sendPower(lower_, DevicePowerState, PowerDeviceD2);
    auto waiting = sendPower(lower_, DevicePowerState, PowerDeviceD0);
    system_.checkLeaks();
    const auto found = expectFinding(Rule::IrpNeverCompleted, "requested from the power manager");
    EXPECT_EQ(std::count_if(found.begin(), found.end(),
                            [](const sim::Finding& f) {
                                return f.message.find("until the driver there calls "
                                                      "PoStartNextPowerIrp") != std::string::npos;
                            }),
              1);
    PowerHolder::finish(holder_.held()[0]);
    ASSERT_TRUE(holder_.waitFor(2));
    PowerHolder::finish(holder_.held()[1]);
    EXPECT_EQ(waiting->wait(), STATUS_SUCCESS);
}

// The rules of every IRP hold for power IRPs, and PoStartNextPowerIrp goes once per IRP.
TEST_F(PowerManagerTest, TheIrpRulesFireOnPowerIrpsToo) {
    const std::tuple<Rule, const char*, NTSTATUS, int> cases[] = {
        // rule, what it says, what the dispatch routine returns, PoStartNextPowerIrp calls
        {Rule::PendingReturnedNotMarked, "without IoMarkIrpPending", STATUS_PENDING, 1},
        {Rule::DispatchStatusMismatch, "major 0x16", STATUS_UNSUCCESSFUL, 1},
        {Rule::ObjectMisuse, "PoStartNextPowerIrp called again", STATUS_SUCCESS, 2},
    };
    for (const auto& [rule, mentions, returned, startNext] : cases) {
        PDEVICE_OBJECT device = driver_.createDevice([=](PDEVICE_OBJECT, PIRP irp) {
            for (int i = 1; i < startNext; ++i)
                PoStartNextPowerIrp(irp);
            PowerHolder::finish(irp); // with STATUS_SUCCESS
            return returned;
        });
        sendPower(device, DevicePowerState, PowerDeviceD1)->wait();
        expectFinding(rule, mentions);
    }
}

} // namespace
} // namespace wdmusb::test
