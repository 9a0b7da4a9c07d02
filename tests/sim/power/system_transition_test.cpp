// System power transitions as the bus's PDOs see them: queried first when going to sleep or
// hibernate, set in the platform's order across the stacks, vetoed by a refused query, and one
// request sent to one stack by hand.
#include <sstream>

#include "tests/sim/pnp/pnp_test_driver.h"
#include "tests/sim/power/power_fixture.h"

namespace wdmusb::test {
namespace {

// "Q3@2" for a query of S3 at the PDO of port 2, "S1@1" for a set of working at port 1.
class SystemPowerSeen : public sim::usb::BusObserver {
public:
    void onSubmit(sim::usb::BusDevice&, const URB&, PIRP) override {}
    void onComplete(sim::usb::BusDevice&, const URB&, PIRP, NTSTATUS) override {}
    void onRequest(sim::usb::BusDevice& device, PIRP irp) override {
        const IO_STACK_LOCATION& s = *IoGetCurrentIrpStackLocation(irp);
        if (s.MajorFunction != IRP_MJ_POWER || s.Parameters.Power.Type != SystemPowerState)
            return;
        std::ostringstream what;
        what << (s.MinorFunction == IRP_MN_QUERY_POWER ? 'Q' : 'S')
             << int(s.Parameters.Power.State.SystemState) << '@' << device.portNumber();
        std::lock_guard lock(mutex_);
        seen_.push_back(what.str());
        actions_.push_back(s.Parameters.Power.ShutdownType);
    }
    std::vector<std::string> take() {
        std::lock_guard lock(mutex_);
        actions_.clear();
        return std::exchange(seen_, {});
    }
    POWER_ACTION lastAction() {
        std::lock_guard lock(mutex_);
        return actions_.back();
    }

private:
    std::mutex mutex_;
    std::vector<std::string> seen_;
    std::vector<POWER_ACTION> actions_;
};

class SystemTransitionTest : public PnpFlowTest {
protected:
    void SetUp() override {
        PnpFlowTest::SetUp();
        bus_.addObserver(&seen_);
        for (int i = 0; i < 3; ++i)
            nodes_.push_back(&plugAndStart());
        seen_.take();
    }
    void TearDown() override {
        bus_.removeObserver(&seen_);
        PnpFlowTest::TearDown();
    }

    using Seen = std::vector<std::string>;
    SystemPowerSeen seen_;
    std::vector<sim::DeviceNode*> nodes_;
};

// Going down, the stacks are taken newest first (the platform's children before parents), each
// queried before any is set; coming back, oldest first and without a query.
TEST_F(SystemTransitionTest, SleepQueriesThenSetsNewestFirstAndWakeSetsOldestFirst) {
    sim::PowerManager& power = system_.power();
    const sim::SystemTransition sleep = power.setSystemState(PowerSystemSleeping3);
    EXPECT_FALSE(sleep.vetoed);
    EXPECT_EQ(sleep.stacks, 3u);
    EXPECT_EQ(seen_.take(), (Seen{"Q4@3", "Q4@2", "Q4@1", "S4@3", "S4@2", "S4@1"}));
    EXPECT_EQ(power.systemState(), PowerSystemSleeping3);

    EXPECT_FALSE(power.setSystemState(PowerSystemWorking).vetoed);
    EXPECT_EQ(seen_.take(), (Seen{"S1@1", "S1@2", "S1@3"}));
    EXPECT_EQ(power.systemState(), PowerSystemWorking);
}

TEST_F(SystemTransitionTest, EachTargetStateIsQueriedOrNotAndCarriesItsAction) {
    struct Case {
        SYSTEM_POWER_STATE state;
        bool queried;
        POWER_ACTION action;
    };
    for (const Case c : {Case{PowerSystemSleeping1, true, PowerActionSleep},
                         Case{PowerSystemHibernate, true, PowerActionHibernate},
                         Case{PowerSystemShutdown, false, PowerActionShutdown}}) {
        SCOPED_TRACE(c.state);
        system_.power().setSystemState(c.state);
        EXPECT_EQ(seen_.lastAction(), c.action);
        EXPECT_EQ(seen_.take().size(), c.queried ? 6u : 3u);
        system_.power().setSystemState(PowerSystemWorking);
        seen_.take();
    }
}

// One refusal stops the sleep: every queried stack is told the system stays working.
TEST_F(SystemTransitionTest, ARefusedQueryVetoesTheSleep) {
    nodes_[1]->busDevice->powerAnswers().add(
        sim::usb::PowerAnswer::querySystem(PowerSystemSleeping3).failWith(STATUS_DEVICE_BUSY));
    const sim::SystemTransition sleep = system_.power().setSystemState(PowerSystemSleeping3);
    EXPECT_TRUE(sleep.vetoed);
    EXPECT_EQ(sleep.vetoedBy, system_.io().topOfStack(nodes_[1]->pdo));
    EXPECT_EQ(sleep.vetoStatus, STATUS_DEVICE_BUSY);
    EXPECT_EQ(seen_.take(), (Seen{"Q4@3", "Q4@2", "Q4@1", "S1@3", "S1@2", "S1@1"}));
    EXPECT_EQ(system_.power().systemState(), PowerSystemWorking);
}

TEST_F(SystemTransitionTest, OneRequestByHandAndNoneForASurpriseRemovedDevice) {
    EXPECT_EQ(
        system_.power().sendSystemPower(nodes_[0]->pdo, IRP_MN_SET_POWER, PowerSystemSleeping1),
        STATUS_SUCCESS);
    EXPECT_EQ(seen_.take(), (Seen{"S2@1"}));
    EXPECT_EQ(system_.power().systemState(), PowerSystemWorking) << "a request is no transition";

    ASSERT_EQ(pnp().surpriseRemove(*nodes_[2]), STATUS_SUCCESS);
    EXPECT_EQ(system_.power().setSystemState(PowerSystemShutdown).stacks, 2u);
    EXPECT_EQ(seen_.take(), (Seen{"S6@2", "S6@1"}));
}

} // namespace
} // namespace wdmusb::test
