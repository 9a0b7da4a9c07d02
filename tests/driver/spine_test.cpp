// The driver's spine: the routines it publishes, the outstanding-request count and its events,
// and system-control requests passed down in every Plug and Play state.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "driver/dispatch.h"
#include "driver/extension.h"
#include "driver/io_reference.h"
#include "sim/sync/dispatcher.h"
#include "tests/driver/fdo_by_hand.h"
#include "tests/support/driver_build.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/test_driver.h"

namespace wdmusb::test {
namespace {

class SpineTest : public SimTest {
protected:
    TestDriver bus_;
    std::vector<SeenIrp> seen_;
};

TEST_F(SpineTest, DriverEntryPublishesItsRoutinesAndLeavesTheRestToThePlatform) {
    SOURCE_BUILD_ONLY();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = system_.io().loadDriver("wdmusb", DriverEntry, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL], &DispatchSystemControl);
    EXPECT_EQ(driver->DriverUnload, &DriverUnload);
    for (UCHAR major : {IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_SHUTDOWN})
        EXPECT_EQ(driver->MajorFunction[major], &sim::IoManager::defaultDispatch)
            << "major " << int(major);
    system_.io().unloadDriver(driver);
}

TEST_F(SpineTest, ReleasesSignalOneAndZeroFromTheReleaseThatMadeThem) {
    SOURCE_BUILD_ONLY();
    PDEVICE_OBJECT pdo = bus_.createDevice(recordAndComplete(seen_, STATUS_SUCCESS));
    FdoByHand fdo(pdo);
    PDEVICE_EXTENSION ext = fdo.ext();
    EXPECT_EQ(ext->OutstandingIoCount, 1);
    EXPECT_EQ(KeReadStateEvent(&ext->NoPendingIoEvent), 0) << "nothing released yet";

    AcquireIoReference(fdo.fdo());
    AcquireIoReference(fdo.fdo());
    EXPECT_EQ(ReleaseIoReference(fdo.fdo()), 2);
    EXPECT_EQ(KeReadStateEvent(&ext->NoPendingIoEvent), 0);
    EXPECT_EQ(ReleaseIoReference(fdo.fdo()), 1);
    EXPECT_EQ(KeReadStateEvent(&ext->NoPendingIoEvent), 1);
    EXPECT_EQ(KeReadStateEvent(&ext->RemoveEvent), 0);
    EXPECT_EQ(ReleaseIoReference(fdo.fdo()), 0);
    EXPECT_EQ(KeReadStateEvent(&ext->RemoveEvent), 1);
}

TEST_F(SpineTest, ConcurrentReferencesSettleAtOneAndTheLastOfThemSetsRemoveEvent) {
    SOURCE_BUILD_ONLY();
    PDEVICE_OBJECT pdo = bus_.createDevice(recordAndComplete(seen_, STATUS_SUCCESS));
    FdoByHand fdo(pdo);
    PDEVICE_EXTENSION ext = fdo.ext();
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                AcquireIoReference(fdo.fdo());
                ReleaseIoReference(fdo.fdo());
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(ext->OutstandingIoCount, 1);
    EXPECT_EQ(KeReadStateEvent(&ext->NoPendingIoEvent), 1);
    EXPECT_EQ(KeReadStateEvent(&ext->RemoveEvent), 0);

    // Three holders finish on their own threads after the base reference is given back: the
    // event comes from whichever of them is last, and the removal side only waits.
    for (int i = 0; i < 3; ++i)
        AcquireIoReference(fdo.fdo());
    EXPECT_EQ(ReleaseIoReference(fdo.fdo()), 3);
    std::atomic<int> zeroes{0};
    threads.clear();
    for (int i = 0; i < 3; ++i)
        threads.emplace_back([&] {
            sim::AtDispatchLevel completion;
            if (ReleaseIoReference(fdo.fdo()) == 0)
                ++zeroes;
        });
    KeWaitForSingleObject(&ext->RemoveEvent, Suspended, KernelMode, FALSE, nullptr);
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(zeroes.load(), 1);
    EXPECT_EQ(ext->OutstandingIoCount, 0);
}

struct PnpState {
    const char* name;
    bool started, stopPending, removePending, removed;
};

TEST_F(SpineTest, SystemControlGoesDownWithSuccessPresetInEveryState) {
    SOURCE_BUILD_ONLY(); // FdoByHand releases the device with the driver's own routine
    const PnpState states[] = {
        {"added", false, false, false, false},
        {"started", true, false, false, false},
        {"stop pending", true, true, false, false},
        {"stopped", false, false, false, false},
        {"remove pending", true, false, true, false},
        {"surprise-removed", true, false, false, true},
    };
    PDEVICE_OBJECT pdo = bus_.createDevice(recordAndComplete(seen_, STATUS_SUCCESS, true));
    FdoByHand fdo(pdo);
    for (const auto& state : states) {
        PDEVICE_EXTENSION ext = fdo.ext();
        WriteShared(ext->Started, state.started);
        WriteShared(ext->StopPending, state.stopPending);
        WriteShared(ext->RemovePending, state.removePending);
        WriteShared(ext->Removed, state.removed);
        seen_.clear();
        NTSTATUS dispatched = STATUS_PENDING;
        const IO_STATUS_BLOCK result = sendAndWait(
            fdo.fdo(), IRP_MJ_SYSTEM_CONTROL, 0x01,
            [](PIRP irp, PIO_STACK_LOCATION next) {
                irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
                irp->IoStatus.Information = 0x1234;
                next->Parameters.Others.Argument1 = reinterpret_cast<PVOID>(0xABCD);
            },
            &dispatched);
        ASSERT_EQ(seen_.size(), 1u) << state.name;
        EXPECT_EQ(seen_[0].major, IRP_MJ_SYSTEM_CONTROL) << state.name;
        EXPECT_EQ(seen_[0].minor, 0x01) << state.name;
        EXPECT_EQ(seen_[0].status, STATUS_SUCCESS) << state.name;
        EXPECT_EQ(seen_[0].information, 0u) << state.name;
        EXPECT_EQ(seen_[0].argument1, reinterpret_cast<PVOID>(0xABCD)) << state.name;
        EXPECT_EQ(seen_[0].control, 0) << "copied without a completion routine: " << state.name;
        EXPECT_EQ(result.Status, STATUS_SUCCESS) << state.name;
        EXPECT_EQ(dispatched, STATUS_SUCCESS) << state.name;
        EXPECT_EQ(ext->OutstandingIoCount, 1) << state.name;
    }
    EXPECT_EQ(KeReadStateEvent(&fdo.ext()->NoPendingIoEvent), 1);
}

TEST_F(SpineTest, TheGateOpensOnlyWhenStartedAndNothingIsPending) {
    SOURCE_BUILD_ONLY(); // FdoByHand releases the device with the driver's own routine
    PDEVICE_OBJECT pdo = bus_.createDevice(recordAndComplete(seen_, STATUS_SUCCESS));
    FdoByHand fdo(pdo);
    PDEVICE_EXTENSION ext = fdo.ext();
    EXPECT_FALSE(IsAcceptingRequests(fdo.fdo()));
    WriteShared(ext->Started, TRUE);
    EXPECT_TRUE(IsAcceptingRequests(fdo.fdo()));
    for (BOOLEAN* flag : {&ext->StopPending, &ext->RemovePending, &ext->Removed}) {
        WriteShared(*flag, TRUE);
        EXPECT_FALSE(IsAcceptingRequests(fdo.fdo()));
        WriteShared(*flag, FALSE);
    }
    EXPECT_TRUE(IsAcceptingRequests(fdo.fdo()));
}

} // namespace
} // namespace wdmusb::test
