// Handles across the device's life: one handle at a time, a handle kept over rebalances, the
// interface copies handles hold, the one transfer at a time, and requests in flight when the
// device stops or goes away.
#include <thread>

#include "driver/counted_block.h"
#include "io/cancel_transfers.h"
#include "sim/power/power_manager.h"
#include "sim/sync/word_watch.h"
#include "tests/driver/client_fixture.h"
#include "tests/support/driver_build.h"
#include "usb/kept_configuration.h"
#include "usb/pipe_marker.h"

namespace wdmusb::test {
namespace {

using ClientLifecycleTest = ClientTest;

TEST_F(ClientLifecycleTest, OneHandleAtATimeOwnsThePipes) {
    startAndOpen();
    EXPECT_EQ(ext()->OpenPipeCount, 2);
    AppHandle second = openDevice(GUID_DEVINTERFACE_WDMUSB);
    EXPECT_FALSE(second.valid());
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NO_SYSTEM_RESOURCES});
    handle_.close();
    EXPECT_EQ(ext()->OpenPipeCount, 0);
    second = openDevice(GUID_DEVINTERFACE_WDMUSB);
    EXPECT_TRUE(second.valid());
}

// The read pipe's marker alone admits an open, so a close frees it last: an open that gets in
// between the close's steps finds both pipes free and binds both, and a removal then aborts both.
TEST_F(ClientLifecycleTest, AnOpenBetweenTheStepsOfACloseBindsBothPipes) {
    startAndOpen();
    const PUSBD_INTERFACE_INFORMATION pipes = ext()->InterfaceInformation;
    AppHandle next;
    sim::WordWatch readPipeFreed(&pipes->Pipes[0].PipeFlags, WDMUSB_PIPE_FREE, [&] {
        std::thread opener([&] { next = openDevice(GUID_DEVINTERFACE_WDMUSB); });
        opener.join();
    });
    handle_.close();
    ASSERT_TRUE(readPipeFreed.fired());
    ASSERT_TRUE(next.valid()) << "error " << GetLastError();
    EXPECT_EQ(ext()->OpenPipeCount, 2);
    EXPECT_TRUE(IsPipeBound(&pipes->Pipes[0]));
    EXPECT_TRUE(IsPipeBound(&pipes->Pipes[1]));

    recorder_.clear();
    EXPECT_EQ(system_.pnp().surpriseRemove(*node_), STATUS_SUCCESS);
    EXPECT_EQ(sent(URB_FUNCTION_ABORT_PIPE).size(), 2u);
    EXPECT_EQ(ext()->OpenPipeCount, 0);
    next.close();
    EXPECT_EQ(node_->state.load(), sim::DeviceNodeState::Deleted);
}

// A second read or write while one is in flight is refused at once; the one in flight goes on.
TEST_F(ClientLifecycleTest, ARequestWhileAnotherIsInFlightFindsTheDeviceBusy) {
    startAndOpen(nullptr, FILE_FLAG_OVERLAPPED);
    std::vector<std::uint8_t> in(8192), out(100, 0x77);
    OVERLAPPED reading{};
    EXPECT_FALSE(ReadFile(handle_.get(), in.data(), 8192, nullptr, &reading));
    ASSERT_TRUE(bus_.controller().waitForInFlight(2, kIn));
    OVERLAPPED writing{};
    EXPECT_FALSE(WriteFile(handle_.get(), out.data(), 100, nullptr, &writing));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_BUSY});
    EXPECT_EQ(bulkUrbs(), 2u);
    const auto data = queuePattern(8192);
    DWORD moved = 0;
    EXPECT_TRUE(GetOverlappedResult(handle_.get(), &reading, &moved, TRUE));
    EXPECT_EQ(moved, 8192u);
    EXPECT_EQ(in, data);
    EXPECT_EQ(write(out.data(), 100).bytes, 100u) << "free again";
}

// Open powers the device up from its idle state and close lets it go back; sleeps and wakes in
// between leave the handle working, its data intact.
TEST_F(ClientLifecycleTest, AHandleOpenAcrossSleepAndWakeCyclesKeepsMovingData) {
    startAndOpen();
    EXPECT_EQ(ext()->CurrentDevicePowerState, PowerDeviceD0);
    std::vector<std::uint8_t> out(5000), in(5000);
    for (int round = 0; round < stressRounds(5) && !HasFailure(); ++round) {
        ASSERT_FALSE(system_.power().setSystemState(PowerSystemSleeping3).vetoed);
        EXPECT_NE(node_->busDevice->devicePowerState(), PowerDeviceD0) << "asleep";
        ASSERT_FALSE(system_.power().setSystemState(PowerSystemWorking).vetoed);
        std::fill(out.begin(), out.end(), static_cast<std::uint8_t>(round + 1));
        EXPECT_EQ(write(out.data(), 5000).bytes, 5000u);
        EXPECT_EQ(read(in.data(), 5000).bytes, 5000u);
        EXPECT_EQ(in, out);
    }
    handle_.close();
    system_.power().waitIdle();
    EXPECT_EQ(node_->busDevice->devicePowerState(), PowerDeviceD2) << "idle again";
}

// A handle opened before a rebalance is bound to pipe handles of the earlier configuration: its
// reads and writes fail and send nothing; a new handle works, and the old one's close still
// clears its markers and gives its copy back, after any number of rebalances.
TEST_F(ClientLifecycleTest, AHandleKeptOverRebalancesFailsItsTransfersAndClosesCleanly) {
    startAndOpen();
    const std::size_t blocks = driverBlocks();
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(system_.pnp().stop(*node_).outcome, sim::StopOutcome::Restarted);
    EXPECT_EQ(driverBlocks(), blocks + 1) << "the old copy, which the handle holds";
    std::uint8_t buffer[16] = {};
    recorder_.clear();
    EXPECT_EQ(read(buffer, 16).error, DWORD{ERROR_INVALID_HANDLE});
    EXPECT_EQ(write(buffer, 16).error, DWORD{ERROR_INVALID_HANDLE});
    EXPECT_EQ(bulkUrbs(), 0u);

    AppHandle fresh = openDevice(GUID_DEVINTERFACE_WDMUSB);
    ASSERT_TRUE(fresh.valid());
    EXPECT_EQ(ext()->OpenPipeCount, 4);
    EXPECT_EQ(write(buffer, 16, fresh.get()).bytes, 16u);
    EXPECT_EQ(read(buffer, 16, fresh.get()).bytes, 16u);
    handle_.close();
    EXPECT_EQ(ext()->OpenPipeCount, 2);
    EXPECT_EQ(driverBlocks(), blocks);
}

// A close racing restarts: whichever lets the copy go last frees it, once.
TEST_F(ClientLifecycleTest, ClosesRacingRestartsFreeEachCopyOnce) {
    startAndOpen();
    // The device stays in D0: a stop of a device idle in D2 cannot unconfigure it.
    ext()->IdleDevicePowerState = PowerDeviceUnspecified;
    handle_.close();
    const std::size_t blocks = driverBlocks();
    std::atomic<bool> stop{false};
    std::thread opener([&] {
        while (!stop.load())
            AppHandle h = openDevice(GUID_DEVINTERFACE_WDMUSB);
    });
    for (int round = 0; round < stressRounds(50) && !HasFailure(); ++round)
        EXPECT_EQ(system_.pnp().stop(*node_).outcome, sim::StopOutcome::Restarted);
    stop.store(true);
    opener.join();
    EXPECT_EQ(ext()->OpenPipeCount, 0);
    EXPECT_EQ(driverBlocks(), blocks);
}

// What a device-control request borrowed stays valid across a stop and the next start, which
// replace it; the last owner frees it.
TEST_F(ClientLifecycleTest, ABorrowedDescriptorOutlivesTheRestartThatReplacesIt) {
    SOURCE_BUILD_ONLY();
    startAndOpen();
    const PUSB_CONFIGURATION_DESCRIPTOR held = BorrowConfigurationDescriptor(fdo());
    ASSERT_NE(held, nullptr);
    const auto before = LoopbackDevice::defaultConfigurationDescriptor();
    ASSERT_EQ(system_.pnp().stop(*node_).outcome, sim::StopOutcome::Restarted);
    EXPECT_NE(ext()->ConfigurationDescriptor, held);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), reinterpret_cast<std::uint8_t*>(held)));
    const std::size_t blocks = driverBlocks();
    ReleaseCountedBlock(held);
    EXPECT_EQ(driverBlocks(), blocks - 1);

    // The same with requests on another thread: every copy whole, nothing freed under them.
    std::atomic<bool> stop{false};
    std::thread asker([&] {
        std::vector<std::uint8_t> out(64);
        while (!stop.load()) {
            const Outcome result =
                control(IOCTL_GET_CONFIGURATION_DESCRIPTOR, nullptr, 0, out.data(), 64);
            if (result.ok) {
                EXPECT_TRUE(std::equal(before.begin(), before.end(), out.begin()));
            }
        }
    });
    for (int round = 0; round < stressRounds(50); ++round)
        ASSERT_EQ(system_.pnp().stop(*node_).outcome, sim::StopOutcome::Restarted);
    stop.store(true);
    asker.join();
}

// A read in flight when the device is surprise-removed ends with success and the bytes moved so
// far; the removal waits for the application's close, which sends it.
TEST_F(ClientLifecycleTest, SurpriseRemovalThenCloseThenRemoval) {
    startAndOpen(nullptr, FILE_FLAG_OVERLAPPED);
    bus_.controller().setMode(kIn, CompletionMode::Held);
    queuePattern(4096);
    std::vector<std::uint8_t> buffer(3 * 4096);
    OVERLAPPED overlapped{};
    EXPECT_FALSE(ReadFile(handle_.get(), buffer.data(), 3 * 4096, nullptr, &overlapped));
    ASSERT_TRUE(bus_.controller().waitForInFlight(3, kIn));
    ASSERT_EQ(bus_.controller().releaseHeld(kIn, 1), 1u);

    ASSERT_EQ(system_.pnp().surpriseRemove(*node_), STATUS_SUCCESS);
    DWORD moved = 0;
    EXPECT_TRUE(GetOverlappedResult(handle_.get(), &overlapped, &moved, TRUE));
    EXPECT_EQ(moved, 4096u);
    EXPECT_EQ(ext()->OpenPipeCount, 0) << "the pipes were aborted";
    EXPECT_EQ(system_.pnp().removeDevice(*node_), STATUS_PENDING);
    EXPECT_NE(fdoOf(*node_), nullptr);
    handle_.close();
    EXPECT_EQ(node_->state, sim::DeviceNodeState::Deleted);
    EXPECT_EQ(driverBlocks(), 0u);
}

// The removal (here sent whatever is open) cancels the chunks in flight and aborts the pipes; a
// chunk the bus neither cancels nor aborts keeps the FDO until it ends: its completion, not the
// removal, gives back the last references (its own and its request's). The first chunk was
// cancelled: the held second chunk's bytes come after that break, so the read fails with a data
// error and counts none.
TEST_F(ClientLifecycleTest, ARemovalWaitsForTheChunksInFlightThroughTheCount) {
    startAndOpen(nullptr, FILE_FLAG_OVERLAPPED);
    node_->busDevice->faults().add(
        UrbFault::on(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).endpoint(kIn).nth(2).refuseCancel());
    node_->busDevice->faults().add(
        UrbFault::on(URB_FUNCTION_ABORT_PIPE).failWith(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID));
    bus_.controller().setMode(kIn, CompletionMode::Held);
    std::vector<std::uint8_t> buffer(4 * 4096);
    OVERLAPPED overlapped{};
    EXPECT_FALSE(ReadFile(handle_.get(), buffer.data(), 4 * 4096, nullptr, &overlapped));
    ASSERT_TRUE(bus_.controller().waitForInFlight(4, kIn));
    PDEVICE_OBJECT fdoBefore = fdo();
    PDEVICE_EXTENSION extension = ext();

    ASSERT_EQ(system_.pnp().queryRemove(*node_), STATUS_SUCCESS);
    std::thread removal([&] { EXPECT_EQ(system_.pnp().removeDevice(*node_), STATUS_SUCCESS); });
    // Once the removal has been through the PDO, what is left of it waits for the chunk: the
    // driver's wait for the count, or a lower filter's for what it passed down.
    while (node_->busDevice->pnpTimesSeen(IRP_MN_REMOVE_DEVICE) == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(ReadShared(extension->Removed));
    EXPECT_EQ(fdoOf(*node_), fdoBefore) << "the removal waits for the held chunk";
    queuePattern(4096);
    bus_.controller().releaseHeld(kIn);
    removal.join();
    DWORD moved = 0;
    EXPECT_FALSE(GetOverlappedResult(handle_.get(), &overlapped, &moved, TRUE));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_CRC});
    EXPECT_EQ(overlapped.InternalHigh, 0u);
    EXPECT_EQ(fdoOf(*node_), nullptr);
}

} // namespace
} // namespace wdmusb::test
