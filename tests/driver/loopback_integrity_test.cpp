// Data integrity through the whole stack: blocks of random size written to the loopback device
// and read back, checked byte for byte, in each completion mode, from one application thread or
// from two (a writer and a reader sharing an overlapped handle, each retrying what the device
// refuses as busy while the other's request is in flight).
//
// WDMUSB_LOOPBACK_MIB sets the megabytes each run moves (64 by default; 8 under a sanitizer, 4 on
// the kernel image).
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <thread>

#include "sim/image/driver_image.h"
#include "tests/driver/client_fixture.h"

namespace wdmusb::test {
namespace {

struct Run {
    CompletionMode mode;
    int threads;
};

std::string runName(const ::testing::TestParamInfo<Run>& info) {
    return completionModeName({info.param.mode, info.index}) +
           (info.param.threads == 1 ? "OneThread" : "TwoThreads");
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kDefaultMib = 8; // the sanitizers' runs check accesses, not volume
#else
constexpr std::size_t kDefaultMib = 64;
#endif

std::size_t bytesToMove() {
    // On the kernel image (under qemu-i386 where the machine does not run i386 programs) CI moves
    // 4 MiB per run.
    std::size_t mib = sim::image::drivingImage() ? 4 : kDefaultMib;
    if (const char* value = std::getenv("WDMUSB_LOOPBACK_MIB"))
        mib = std::max(1, std::atoi(value));
    return mib << 20;
}

class LoopbackIntegrityTest : public ClientTest, public ::testing::WithParamInterface<Run> {
protected:
    void SetUp() override {
        ClientTest::SetUp();
        seed_ = std::random_device{}();
        std::printf("loopback seed %u\n", seed_);
        RecordProperty("seed", std::to_string(seed_));
        startAndOpen(nullptr, GetParam().threads == 2 ? FILE_FLAG_OVERLAPPED : 0);
        bus_.controller().setMode(GetParam().mode);
        if (GetParam().mode == CompletionMode::Held)
            releaser_ = std::thread([this] {
                while (!stop_.load())
                    if (bus_.controller().waitForInFlight(1, std::nullopt,
                                                          std::chrono::milliseconds(5)))
                        bus_.controller().releaseHeld();
            });
    }
    void TearDown() override {
        stop_.store(true);
        if (releaser_.joinable())
            releaser_.join();
        ClientTest::TearDown();
    }

    // One request, retried while the device is busy with the other thread's; returns the bytes.
    DWORD request(bool reading, std::uint8_t* buffer, DWORD length) {
        for (;;) {
            OVERLAPPED overlapped{};
            LPOVERLAPPED ov = GetParam().threads == 2 ? &overlapped : nullptr;
            DWORD moved = 0;
            BOOL ok = reading ? ReadFile(handle_.get(), buffer, length, &moved, ov)
                              : WriteFile(handle_.get(), buffer, length, &moved, ov);
            if (!ok && GetLastError() == ERROR_IO_PENDING)
                ok = GetOverlappedResult(handle_.get(), &overlapped, &moved, TRUE);
            if (ok)
                return moved;
            EXPECT_EQ(GetLastError(), DWORD{ERROR_BUSY});
            if (GetLastError() != ERROR_BUSY)
                return 0;
            ++busy_;
            std::this_thread::yield();
        }
    }

    unsigned seed_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> busy_{0};
    std::thread releaser_;
};

// Block sizes 1..65536; each block is written, then read back whole (the device gives back what
// was written, in order) and compared with what went out. With two threads the writer may run a
// few blocks ahead of the reader, well inside the device's queue.
TEST_P(LoopbackIntegrityTest, WhatIsWrittenComesBackIntact) {
    std::mt19937_64 random(seed_);
    std::uniform_int_distribution<DWORD> size(1, 65536);
    std::size_t left = bytesToMove();
    const auto nextBlock = [&] {
        std::vector<std::uint8_t> block(std::min<std::size_t>(size(random), left));
        for (std::size_t i = 0; i < block.size(); i += 8) {
            const std::uint64_t word = random();
            std::memcpy(block.data() + i, &word, std::min<std::size_t>(8, block.size() - i));
        }
        left -= block.size();
        return block;
    };
    const auto readBack = [&](const std::vector<std::uint8_t>& expected) {
        std::vector<std::uint8_t> back(expected.size());
        ASSERT_EQ(request(true, back.data(), static_cast<DWORD>(back.size())), back.size());
        ASSERT_EQ(std::memcmp(back.data(), expected.data(), back.size()), 0)
            << "a block of " << back.size() << " bytes came back changed";
    };

    if (GetParam().threads == 1) {
        while (left > 0 && !HasFatalFailure()) {
            auto block = nextBlock();
            ASSERT_EQ(request(false, block.data(), static_cast<DWORD>(block.size())), block.size());
            readBack(block);
        }
    } else {
        constexpr std::size_t kAhead = 4;
        std::deque<std::vector<std::uint8_t>> written;
        std::mutex mutex;
        std::condition_variable changed;
        bool done = false;
        std::thread writer([&] {
            while (left > 0) {
                auto block = nextBlock();
                {
                    std::unique_lock lock(mutex);
                    changed.wait(lock, [&] { return written.size() < kAhead; });
                }
                EXPECT_EQ(request(false, block.data(), static_cast<DWORD>(block.size())),
                          block.size());
                std::lock_guard lock(mutex);
                written.push_back(std::move(block));
                changed.notify_all();
            }
            std::lock_guard lock(mutex);
            done = true;
            changed.notify_all();
        });
        for (;;) {
            std::vector<std::uint8_t> expected;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return done || !written.empty(); });
                if (written.empty())
                    break;
                expected = std::move(written.front());
                written.pop_front();
                changed.notify_all();
            }
            readBack(expected);
        }
        writer.join();
    }
    EXPECT_EQ(loopback().queuedBytes(), 0u);
    RecordProperty("busy_retries", std::to_string(busy_.load()));
}

INSTANTIATE_TEST_SUITE_P(
    Modes, LoopbackIntegrityTest,
    ::testing::Values(Run{CompletionMode::Inline, 1}, Run{CompletionMode::Thread, 1},
                      Run{CompletionMode::Held, 1}, Run{CompletionMode::Inline, 2},
                      Run{CompletionMode::Thread, 2}, Run{CompletionMode::Held, 2}),
    runName);

} // namespace
} // namespace wdmusb::test
