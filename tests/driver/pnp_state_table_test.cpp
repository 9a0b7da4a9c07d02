// The Plug and Play state machine walked as a table: each minor code in each state it can arrive
// in (added, started, stop pending, stopped, remove pending, surprise-removed), with the flags it
// leaves, the status it ends with and how it reached the bus driver's PDO: passed down with a
// stack location of its own (copied), with the FDO's location (skipped), or not at all.
#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <sstream>

#include "tests/driver/driver_on_bus.h"

namespace wdmusb::test {
namespace {

enum class State { Added, Started, StopPending, Stopped, RemovePending, SurpriseRemoved };

const char* stateName(State state) {
    switch (state) {
    case State::Added:
        return "added";
    case State::Started:
        return "started";
    case State::StopPending:
        return "stop pending";
    case State::Stopped:
        return "stopped";
    case State::RemovePending:
        return "remove pending";
    case State::SurpriseRemoved:
        return "surprise-removed";
    }
    return "?";
}

// The minor code that stands for every one the driver has no business with.
constexpr UCHAR kOtherMinor = IRP_MN_QUERY_PNP_DEVICE_STATE;

enum class Reached { Copied, Skipped, No };

struct Flags {
    bool started, stopPending, removePending, removed;
    bool operator==(const Flags&) const = default;
};

constexpr Flags kIdle{false, false, false, false};
constexpr Flags kStarted{true, false, false, false};
constexpr Flags kStopPending{true, true, false, false};
constexpr Flags kRemovePending{true, false, true, false};

std::string describe(const Flags& f) {
    std::ostringstream out;
    out << "Started " << f.started << " StopPending " << f.stopPending << " RemovePending "
        << f.removePending << " Removed " << f.removed;
    return out.str();
}

struct Row {
    State state;
    UCHAR minor;
    NTSTATUS status;
    std::optional<Flags> after; // none: the FDO is deleted
    Reached reached;
};

// PnP IRPs as the bus's PDO received them: the minor code and the stack location it was given.
class PdoArrivals : public sim::usb::BusObserver {
public:
    void onSubmit(sim::usb::BusDevice&, const URB&, PIRP) override {}
    void onComplete(sim::usb::BusDevice&, const URB&, PIRP, NTSTATUS) override {}
    void onRequest(sim::usb::BusDevice&, PIRP irp) override {
        const PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
        if (stack->MajorFunction != IRP_MJ_PNP)
            return;
        std::lock_guard lock(mutex_);
        arrivals_.push_back({stack->MinorFunction, irp->CurrentLocation == irp->StackCount});
    }
    // How the last arrival of `minor` since clear() reached the PDO. The Plug and Play manager
    // gives the IRP one location per device, and filters pass Plug and Play IRPs on skipped, so
    // the FDO's location is the top one: an IRP the FDO skipped reaches the PDO there.
    Reached reached(UCHAR minor) const {
        std::lock_guard lock(mutex_);
        for (auto it = arrivals_.rbegin(); it != arrivals_.rend(); ++it)
            if (it->minor == minor)
                return it->atTop ? Reached::Skipped : Reached::Copied;
        return Reached::No;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        arrivals_.clear();
    }

private:
    mutable std::mutex mutex_;
    struct Arrival {
        UCHAR minor;
        bool atTop; // at the IRP's top location
    };
    std::vector<Arrival> arrivals_;
};

class PnpStateTableTest : public DriverOnBusTest {
protected:
    void SetUp() override {
        DriverOnBusTest::SetUp();
        bus_.addObserver(&arrivals_);
    }
    void TearDown() override {
        bus_.removeObserver(&arrivals_);
        DriverOnBusTest::TearDown();
    }

    sim::DeviceNode& reach(State state) {
        sim::DeviceNode& node = plug();
        sim::PnpManager& pnp = system_.pnp();
        if (state == State::Added)
            return node;
        EXPECT_EQ(pnp.start(node), STATUS_SUCCESS);
        switch (state) {
        case State::StopPending:
            EXPECT_EQ(pnp.queryStop(node), STATUS_SUCCESS);
            break;
        case State::Stopped:
            EXPECT_EQ(pnp.queryStop(node), STATUS_SUCCESS);
            EXPECT_EQ(pnp.stopDevice(node), STATUS_SUCCESS);
            break;
        case State::RemovePending:
            EXPECT_EQ(pnp.queryRemove(node), STATUS_SUCCESS);
            break;
        case State::SurpriseRemoved:
            EXPECT_EQ(pnp.surpriseRemove(node), STATUS_SUCCESS);
            break;
        default:
            break;
        }
        return node;
    }

    // Sends the minor code the way the Plug and Play manager does, through its own step where it
    // has one (so the node follows and the manager's checks run on the answer).
    NTSTATUS deliver(sim::DeviceNode& node, UCHAR minor) {
        sim::PnpManager& pnp = system_.pnp();
        switch (minor) {
        case IRP_MN_START_DEVICE:
            return pnp.start(node);
        case IRP_MN_QUERY_REMOVE_DEVICE:
            return pnp.queryRemove(node);
        case IRP_MN_REMOVE_DEVICE:
            return pnp.removeDevice(node);
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            return pnp.cancelRemove(node);
        case IRP_MN_STOP_DEVICE:
            return pnp.stopDevice(node);
        case IRP_MN_QUERY_STOP_DEVICE:
            return pnp.queryStop(node);
        case IRP_MN_CANCEL_STOP_DEVICE:
            return pnp.cancelStop(node);
        case IRP_MN_SURPRISE_REMOVAL:
            return pnp.surpriseRemove(node);
        case IRP_MN_QUERY_CAPABILITIES:
            return pnp.send(node.pdo, minor, [this](IO_STACK_LOCATION& s) {
                s.Parameters.DeviceCapabilities.Capabilities = &capabilities_;
            });
        default:
            return pnp.send(node.pdo, minor);
        }
    }

    static Flags flagsOf(PDEVICE_EXTENSION ext) {
        return Flags{ext->Started != FALSE, ext->StopPending != FALSE, ext->RemovePending != FALSE,
                     ext->Removed != FALSE};
    }

    PdoArrivals arrivals_;
    DEVICE_CAPABILITIES capabilities_{};
};

TEST_F(PnpStateTableTest, EveryMinorCodeInEveryStateItCanArriveIn) {
    using enum State;
    constexpr NTSTATUS ok = STATUS_SUCCESS;
    // What the bus's PDO answers to a minor code it does not handle: the status preset on it.
    constexpr NTSTATUS unhandled = STATUS_NOT_SUPPORTED;
    constexpr Flags removedStarted{true, false, false, true};
    const Row rows[] = {
        // Added: the start configures; query and cancel requests go down as they came.
        {Added, IRP_MN_START_DEVICE, ok, kStarted, Reached::Copied},
        {Added, IRP_MN_QUERY_REMOVE_DEVICE, ok, kIdle, Reached::Skipped},
        {Added, IRP_MN_CANCEL_REMOVE_DEVICE, ok, kIdle, Reached::Skipped},
        {Added, IRP_MN_QUERY_STOP_DEVICE, ok, kIdle, Reached::Skipped},
        {Added, IRP_MN_CANCEL_STOP_DEVICE, ok, kIdle, Reached::Skipped},
        {Added, IRP_MN_REMOVE_DEVICE, ok, std::nullopt, Reached::Copied},
        {Added, IRP_MN_QUERY_CAPABILITIES, ok, kIdle, Reached::Copied},
        {Added, kOtherMinor, unhandled, kIdle, Reached::Copied},
        // Started.
        {Started, IRP_MN_QUERY_REMOVE_DEVICE, ok, kRemovePending, Reached::Copied},
        {Started, IRP_MN_CANCEL_REMOVE_DEVICE, ok, kStarted, Reached::Copied},
        {Started, IRP_MN_QUERY_STOP_DEVICE, ok, kStopPending, Reached::Copied},
        {Started, IRP_MN_CANCEL_STOP_DEVICE, ok, kStarted, Reached::Copied},
        {Started, IRP_MN_SURPRISE_REMOVAL, ok, removedStarted, Reached::Copied},
        {Started, IRP_MN_QUERY_CAPABILITIES, ok, kStarted, Reached::Copied},
        {Started, kOtherMinor, unhandled, kStarted, Reached::Copied},
        // Stop pending.
        {StopPending, IRP_MN_STOP_DEVICE, ok, kIdle, Reached::Copied},
        {StopPending, IRP_MN_CANCEL_STOP_DEVICE, ok, kStarted, Reached::Copied},
        {StopPending, IRP_MN_SURPRISE_REMOVAL, ok, Flags{true, true, false, true}, Reached::Copied},
        {StopPending, IRP_MN_QUERY_CAPABILITIES, ok, kStopPending, Reached::Copied},
        {StopPending, kOtherMinor, unhandled, kStopPending, Reached::Copied},
        // Stopped: as added, and a start configures again.
        {Stopped, IRP_MN_START_DEVICE, ok, kStarted, Reached::Copied},
        {Stopped, IRP_MN_QUERY_REMOVE_DEVICE, ok, kIdle, Reached::Skipped},
        {Stopped, IRP_MN_CANCEL_REMOVE_DEVICE, ok, kIdle, Reached::Skipped},
        {Stopped, IRP_MN_QUERY_STOP_DEVICE, ok, kIdle, Reached::Skipped},
        {Stopped, IRP_MN_CANCEL_STOP_DEVICE, ok, kIdle, Reached::Skipped},
        {Stopped, IRP_MN_REMOVE_DEVICE, ok, std::nullopt, Reached::Copied},
        {Stopped, IRP_MN_SURPRISE_REMOVAL, ok, Flags{false, false, false, true}, Reached::Copied},
        {Stopped, IRP_MN_QUERY_CAPABILITIES, ok, kIdle, Reached::Copied},
        {Stopped, kOtherMinor, unhandled, kIdle, Reached::Copied},
        // Remove pending.
        {RemovePending, IRP_MN_REMOVE_DEVICE, ok, std::nullopt, Reached::Copied},
        {RemovePending, IRP_MN_CANCEL_REMOVE_DEVICE, ok, kStarted, Reached::Copied},
        {RemovePending, IRP_MN_SURPRISE_REMOVAL, ok, Flags{true, false, true, true},
         Reached::Copied},
        {RemovePending, IRP_MN_QUERY_CAPABILITIES, ok, kRemovePending, Reached::Copied},
        {RemovePending, kOtherMinor, unhandled, kRemovePending, Reached::Copied},
        // Surprise-removed: only the removal is still to come, and queries.
        {SurpriseRemoved, IRP_MN_REMOVE_DEVICE, ok, std::nullopt, Reached::Copied},
        {SurpriseRemoved, IRP_MN_QUERY_CAPABILITIES, ok, removedStarted, Reached::Copied},
        {SurpriseRemoved, kOtherMinor, unhandled, removedStarted, Reached::Copied},
    };

    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(stateName(row.state)) + ", minor 0x" + [](UCHAR m) {
            std::ostringstream o;
            o << std::hex << int(m);
            return o.str();
        }(row.minor));
        sim::DeviceNode& node = reach(row.state);
        const PDEVICE_OBJECT fdo = fdoOf(node);
        ASSERT_NE(fdo, nullptr);
        arrivals_.clear();
        capabilities_ = sim::usb::BusDevice::recordToQuery();

        EXPECT_EQ(deliver(node, row.minor), row.status);
        EXPECT_EQ(arrivals_.reached(row.minor), row.reached);
        if (row.after) {
            EXPECT_EQ(flagsOf(GetExtension(fdo)), *row.after)
                << describe(flagsOf(GetExtension(fdo)));
            const bool open = row.after->started && !row.after->stopPending &&
                              !row.after->removePending && !row.after->removed;
            EXPECT_EQ(IsAcceptingRequests(fdo) != FALSE, open);
        } else if (node.state == sim::DeviceNodeState::Removed) {
            EXPECT_EQ(fdoOf(node), nullptr) << "the FDO is deleted";
        } else {
            // The bus deleted the PDO of the device that was gone, which it does only once
            // nothing is attached above it.
            EXPECT_EQ(node.state, sim::DeviceNodeState::Deleted);
        }
        if (row.minor == IRP_MN_QUERY_CAPABILITIES) {
            EXPECT_EQ(capabilities_.SurpriseRemovalOK, 1u);
        }
        for (const auto& finding : system_.verifier().takeAll())
            ADD_FAILURE() << "verifier [" << sim::ruleName(finding.rule) << "] " << finding.message;
    }
}

} // namespace
} // namespace wdmusb::test
