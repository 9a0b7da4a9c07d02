// The verifier's power rules, each broken on purpose, and the IRP rules firing on power IRPs.
#include <algorithm>

#include "tests/sim/power/power_fixture.h"

namespace wdmusb::test {
namespace {

using sim::Rule;

class PowerRulesTest : public SimTest {
protected:
    // Waits up to 10 s for a power IRP to be completed to the top; false if it never is.
    static bool ends(SentPower& sent) {
        for (int i = 0; i < 1000 && !sent.finished(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return sent.finished();
    }

    PowerArrivals arrivals_;
    TestDriver driver_;
    PDEVICE_OBJECT lower_ = driver_.createDevice(answerPower(arrivals_));
};

// Each way of leaving PoStartNextPowerIrp out is a finding, and the device's next power IRP is
// delivered all the same.
TEST_F(PowerRulesTest, APowerIrpLeftWithoutPoStartNextPowerIrpIsAFinding) {
    struct Case {
        const char* what;
        IrpHandler handler;
        Rule other; // a second rule the handler breaks, if any
    };
    PDEVICE_OBJECT lower = lower_;
    const Case cases[] = {
        {"passed on",
         [lower](PDEVICE_OBJECT, PIRP irp) {
             IoCopyCurrentIrpStackLocationToNext(irp);
             return PoCallDriver(lower, irp);
         },
         Rule::PowerIrpWithoutStartNext},
        {"passed on",
         [lower](PDEVICE_OBJECT, PIRP irp) {
             IoCopyCurrentIrpStackLocationToNext(irp);
             return IofCallDriver(lower, irp);
         },
         Rule::PowerIrpSentWithCallDriver},
        {"completed",
         [](PDEVICE_OBJECT, PIRP irp) {
             irp->IoStatus.Status = STATUS_SUCCESS;
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             return STATUS_SUCCESS;
         },
         Rule::PowerIrpWithoutStartNext},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.what) + ", also " + std::string(sim::ruleName(c.other)));
        PDEVICE_OBJECT upper = driver_.createDevice(c.handler, lower_);
        for (const DEVICE_POWER_STATE state : {PowerDeviceD2, PowerDeviceD0}) {
            auto sent = setDevicePower(upper, state);
            ASSERT_TRUE(ends(*sent)) << "the next power IRP of the device is stuck";
        }
        expectFinding(Rule::PowerIrpWithoutStartNext, std::string(c.what) + " by device #");
        system_.verifier().take(c.other);
        IoDetachDevice(lower_);
    }
}

void NTAPI waitInCompletion(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK) {
    KeWaitForSingleObject(context, Executive, KernelMode, FALSE, nullptr);
}

TEST_F(PowerRulesTest, AWaitInAPowerCompletionRoutineIsAFinding) {
    KEVENT signalled;
    KeInitializeEvent(&signalled, NotificationEvent, TRUE); // the wait itself returns at once
    POWER_STATE state{};
    state.DeviceState = PowerDeviceD3;
    ASSERT_EQ(
        PoRequestPowerIrp(lower_, IRP_MN_SET_POWER, state, &waitInCompletion, &signalled, nullptr),
        STATUS_PENDING);
    expectFinding(Rule::WaitAtDispatchLevel,
                  "inside the completion routine of the power IRP requested at "
                  "tests/sim/power/power_rules_test.cpp");
}

// At the end of a test, a power IRP a driver still holds and the one waiting behind it are both
// reported, the waiting one saying what it waits for.
TEST_F(PowerRulesTest, PowerIrpsLeftUncompletedAreReportedAtTheEnd) {
    PowerHolder holder;
    PDEVICE_OBJECT device = driver_.createDevice(holder.handler());
    auto held = setDevicePower(device, PowerDeviceD2);
    auto waiting = setDevicePower(device, PowerDeviceD0);
    system_.checkLeaks();
    const auto found = expectFinding(Rule::IrpNeverCompleted, "requested from the power manager");
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(std::count_if(found.begin(), found.end(),
                            [](const sim::Finding& f) {
                                return f.message.find("until the driver there calls "
                                                      "PoStartNextPowerIrp") != std::string::npos;
                            }),
              1);

    PowerHolder::finish(holder.arrivals.all()[0].irp);
    ASSERT_TRUE(holder.arrivals.waitFor(2));
    PowerHolder::finish(holder.arrivals.all()[1].irp);
    EXPECT_EQ(waiting->wait(), STATUS_SUCCESS);
}

// The rules of every IRP hold for power IRPs, and PoStartNextPowerIrp is called once per IRP.
TEST_F(PowerRulesTest, TheIrpRulesFireOnPowerIrpsToo) {
    struct Case {
        Rule rule;
        const char* mentions;
        IrpHandler handler;
    };
    const auto complete = [](PIRP irp, NTSTATUS status) {
        PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    };
    const Case cases[] = {
        {Rule::PendingReturnedNotMarked, "without IoMarkIrpPending",
         [=](PDEVICE_OBJECT, PIRP irp) {
             complete(irp, STATUS_SUCCESS);
             return STATUS_PENDING;
         }},
        {Rule::IrpCompletedWithPending, "major 0x16",
         [=](PDEVICE_OBJECT, PIRP irp) {
             complete(irp, STATUS_PENDING);
             return STATUS_PENDING;
         }},
        {Rule::DispatchStatusMismatch, "major 0x16",
         [=](PDEVICE_OBJECT, PIRP irp) {
             complete(irp, STATUS_UNSUCCESSFUL);
             return STATUS_SUCCESS;
         }},
        {Rule::ObjectMisuse, "PoStartNextPowerIrp called again",
         [=](PDEVICE_OBJECT, PIRP irp) {
             PoStartNextPowerIrp(irp);
             complete(irp, STATUS_SUCCESS);
             return STATUS_SUCCESS;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(sim::ruleName(c.rule));
        setDevicePower(driver_.createDevice(c.handler), PowerDeviceD1)->wait();
        expectFinding(c.rule, c.mentions);
        system_.verifier().takeAll();
    }
}

} // namespace
} // namespace wdmusb::test
