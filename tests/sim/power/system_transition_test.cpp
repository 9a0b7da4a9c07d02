// System power transitions as the bus's PDOs see them: queried first when going to sleep, set
// newest stack first going down and oldest first coming back, vetoed by a refused query.
#include <sstream>

#include "tests/sim/pnp/pnp_test_driver.h"
#include "tests/sim/power/power_fixture.h"

namespace wdmusb::test {
namespace {

// "Q4@2": a query of S3 (4) reached the PDO of port 2; "S1@1": a set of working reached port 1.
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
        seen.push_back(what.str());
    }
    std::mutex mutex_;
    std::vector<std::string> seen;
};

using SystemTransitionTest = PnpFlowTest;
using Seen = std::vector<std::string>;

TEST_F(SystemTransitionTest, SleepIsQueriedAndSetNewestFirstAndWakeSetOldestFirst) {
    SystemPowerSeen seen;
    bus_.addObserver(&seen);
    plugAndStart();
    sim::DeviceNode& second = plugAndStart();
    sim::PowerManager& power = system_.power();

    EXPECT_FALSE(power.setSystemState(PowerSystemSleeping3).vetoed);
    EXPECT_EQ(power.systemState(), PowerSystemSleeping3);
    EXPECT_FALSE(power.setSystemState(PowerSystemWorking).vetoed);
    EXPECT_EQ(power.setSystemState(PowerSystemShutdown).stacks, 2u); // not queried
    EXPECT_EQ(std::exchange(seen.seen, {}),
              (Seen{"Q4@2", "Q4@1", "S4@2", "S4@1", "S1@1", "S1@2", "S6@2", "S6@1"}));
    power.setSystemState(PowerSystemWorking);
    seen.seen.clear();

    // One refusal keeps the system working: the queried stacks are told so.
    second.busDevice->powerAnswers().add(
        sim::usb::PowerAnswer::querySystem().failWith(STATUS_DEVICE_BUSY));
    const sim::SystemTransition vetoed = power.setSystemState(PowerSystemHibernate);
    EXPECT_TRUE(vetoed.vetoed);
    EXPECT_EQ(vetoed.vetoedBy, system_.io().topOfStack(second.pdo));
    EXPECT_EQ(vetoed.vetoStatus, STATUS_DEVICE_BUSY);
    EXPECT_EQ(power.systemState(), PowerSystemWorking);
    EXPECT_EQ(seen.seen, (Seen{"Q5@2", "Q5@1", "S1@2", "S1@1"}));
    bus_.removeObserver(&seen);
}

} // namespace
} // namespace wdmusb::test
