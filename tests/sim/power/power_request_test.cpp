// PoRequestPowerIrp: the IRP goes to the top of the PDO's stack as the power manager builds it,
// and the requester's routine hears how it ended, at DISPATCH_LEVEL, after every driver of the
// stack; a request that cannot be made sends nothing and calls nothing back.
#include <optional>

#include "tests/sim/power/power_fixture.h"

namespace wdmusb::test {
namespace {

// What the requester's routine was told.
struct Heard {
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    UCHAR minor = 0;
    POWER_STATE state{};
    NTSTATUS status = 0;
    KIRQL irql = PASSIVE_LEVEL;

    static void NTAPI routine(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                              PIO_STATUS_BLOCK status) {
        auto* heard = static_cast<Heard*>(context);
        *heard = Heard{heard->calls + 1, device, minor, state, status->Status, sim::currentIrql()};
    }
};

class PowerRequestTest : public SimTest {
protected:
    PowerArrivals atPdo_;
    PowerArrivals atTop_;
    NTSTATUS pdoAnswer_ = STATUS_SUCCESS;
    TestDriver driver_;
    PDEVICE_OBJECT pdo_ = driver_.createDevice([this](PDEVICE_OBJECT device, PIRP irp) {
        return answerPower(atPdo_, pdoAnswer_)(device, irp);
    });
    PDEVICE_OBJECT top_ = driver_.createDevice(
        [this](PDEVICE_OBJECT device, PIRP irp) {
            atTop_.add(device, irp);
            return passPowerDown(&pdo_)(device, irp);
        },
        pdo_);
};

TEST_F(PowerRequestTest, TheIrpGoesToTheTopAndTheRequesterHearsHowItEnded) {
    struct Case {
        UCHAR minor;
        DEVICE_POWER_STATE state;
        NTSTATUS answer;
    };
    for (const Case c : {Case{IRP_MN_SET_POWER, PowerDeviceD2, STATUS_SUCCESS},
                         Case{IRP_MN_QUERY_POWER, PowerDeviceD3, STATUS_DEVICE_BUSY}}) {
        SCOPED_TRACE("minor " + std::to_string(c.minor));
        pdoAnswer_ = c.answer;
        const std::size_t irps = system_.io().liveIrpCount();
        Heard heard;
        POWER_STATE state{};
        state.DeviceState = c.state;
        PIRP irp = nullptr;
        EXPECT_EQ(PoRequestPowerIrp(pdo_, c.minor, state, &Heard::routine, &heard, &irp),
                  STATUS_PENDING);
        EXPECT_NE(irp, nullptr);

        EXPECT_EQ(heard.calls, 1);
        EXPECT_EQ(heard.device, pdo_);
        EXPECT_EQ(heard.minor, c.minor);
        EXPECT_EQ(heard.state.DeviceState, c.state);
        EXPECT_EQ(heard.status, c.answer);
        EXPECT_EQ(heard.irql, DISPATCH_LEVEL);
        const PowerArrival arrived = atTop_.all().back();
        EXPECT_EQ(arrived.type, DevicePowerState);
        EXPECT_EQ(arrived.state, ULONG{c.state});
        EXPECT_EQ(arrived.status, STATUS_NOT_SUPPORTED) << "preset as the platform does";
        EXPECT_EQ(system_.io().liveIrpCount(), irps) << "freed by the power manager";
    }
}

// Each refusal: a status, no IRP, no call back, and a finding for a misuse.
TEST_F(PowerRequestTest, ARequestThatCannotBeMadeSendsNothing) {
    struct Case {
        const char* what;
        bool pdo;
        UCHAR minor;
        bool failAllocation;
        NTSTATUS status;
        std::optional<sim::Rule> finding;
    };
    const Case cases[] = {
        {"pool exhausted", true, IRP_MN_SET_POWER, true, STATUS_INSUFFICIENT_RESOURCES, {}},
        {"not a PDO", false, IRP_MN_SET_POWER, false, STATUS_INVALID_PARAMETER,
         sim::Rule::ObjectMisuse},
        {"power sequence", true, IRP_MN_POWER_SEQUENCE, false, STATUS_INVALID_PARAMETER,
         sim::Rule::ObjectMisuse},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.failAllocation)
            system_.faults().failNthOfKind(sim::AllocKind::PowerRequest, 1);
        Heard heard;
        PIRP irp = reinterpret_cast<PIRP>(&heard); // anything but NULL
        POWER_STATE state{};
        state.DeviceState = PowerDeviceD3;
        EXPECT_EQ(
            PoRequestPowerIrp(c.pdo ? pdo_ : top_, c.minor, state, &Heard::routine, &heard, &irp),
            c.status);
        EXPECT_EQ(irp, nullptr);
        EXPECT_EQ(heard.calls, 0);
        EXPECT_EQ(atTop_.count(), 0u);
        if (c.finding)
            expectFinding(*c.finding, "PoRequestPowerIrp");
    }
}

} // namespace
} // namespace wdmusb::test
