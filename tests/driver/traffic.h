// Application traffic that runs while a test moves the device through Plug and Play and power
// cycles: two threads moving a verified byte stream through the loopback device (a writer, and a
// reader that asks only for bytes the writer was told went out, so that it never waits on an
// empty device) and a third sending control codes, all on one overlapped handle.
//
// Requests may fail or end short while a cycle runs (the driver refuses, cuts transfers short,
// or is busy with the other thread's transfer); what reported success must be right: the stream
// read back is the stream written, byte for byte, and a control code that succeeded returned the
// right bytes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "public/wdmusb.h"
#include "sim/app/win32.h"
#include "sim/usb/loopback_device.h"

namespace wdmusb::test {

class Traffic {
public:
    // How far the writer may run ahead of the reader: well inside the device's queue, so that a
    // write never waits for room while the reader is refused as busy.
    static constexpr std::uint64_t kAheadBytes = 65536;

    // The byte at offset `at` of the stream: a lost, doubled or misplaced chunk shows.
    static std::uint8_t streamByte(std::uint64_t at) {
        return static_cast<std::uint8_t>((at * 0x9E3779B97F4A7C15ull) >> 56);
    }

    // Reads ask for at most `maxRead` bytes (several chunks by default).
    explicit Traffic(HANDLE handle, DWORD maxRead = 16384) : handle_(handle), maxRead_(maxRead) {
        vendorBuffer_ =
            static_cast<std::uint8_t*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
        threads_.emplace_back([this] { writeLoop(); });
        threads_.emplace_back([this] { readLoop(); });
        threads_.emplace_back([this] { controlLoop(); });
    }
    ~Traffic() { stop(false); }
    Traffic(const Traffic&) = delete;
    Traffic& operator=(const Traffic&) = delete;

    // Waits until `bytes` more have gone out (and come back) than when called; false when that
    // takes longer than the limit (the device stopped working).
    bool progress(std::uint64_t bytes, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const std::uint64_t target = read_.load() + bytes;
        return waitFor([&] { return read_.load() >= target; }, limit);
    }

    // Stops the writer and the control thread; with `drain`, the reader first reads back every
    // byte the writer was told went out. False when those bytes did not all come back: they
    // were lost (the reader is then let go with filler bytes from `refill`).
    bool stop(bool drain, const std::function<void()>& refill = {}) {
        if (threads_.empty())
            return true;
        stopWriting_ = true;
        threads_[0].join();
        stopReading_ = !drain;
        const bool drained = finishReading(threads_[1], drain, refill);
        threads_[2].join();
        threads_.clear();
        VirtualFree(vendorBuffer_, 0, MEM_RELEASE);
        return drained;
    }

    // After stop(false): reads back what is left of the stream through `handle`, for a device
    // that kept its bytes while the handle they were written through was given up.
    bool drainThrough(HANDLE handle, const std::function<void()>& refill) {
        handle_ = handle;
        stopReading_ = false;
        readerDone_ = false;
        std::thread reader([this] { readLoop(); });
        return finishReading(reader, true, refill);
    }

    std::uint64_t written() const { return written_.load(); }
    std::uint64_t read() const { return read_.load(); }
    std::uint64_t controlsDone() const { return controlsDone_.load(); }
    // What went wrong in a request that reported success; empty when nothing did.
    std::string problems() const {
        std::string found;
        if (corrupt_ != 0)
            found += std::to_string(corrupt_.load()) + " byte(s) read back wrong, first at " +
                     std::to_string(firstCorrupt_.load()) + "; ";
        if (badControls_ != 0)
            found += std::to_string(badControls_.load()) + " control code(s) returned wrong data; ";
        return found;
    }

private:
    bool finishReading(std::thread& reader, bool drain, const std::function<void()>& refill) {
        drainFrom_ = written_.load();
        draining_ = true;
        bool drained = true;
        if (drain && !waitFor([&] { return readerDone_.load(); }, std::chrono::seconds(10))) {
            drained = false;
            while (refill && !readerDone_.load()) {
                stopReading_ = true;
                refill();
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        reader.join();
        return drained && (!drain || read_.load() == written_.load());
    }

    template <typename Done> static bool waitFor(Done done, std::chrono::milliseconds limit) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    // One overlapped request, waited for; the bytes it moved, or -1 when it failed. Each has an
    // event of its own: the handle, signalled by every request's end, would lose one end to the
    // next request's start on another thread.
    template <typename Start> long long request(Start start) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
        DWORD moved = 0;
        BOOL ok = start(&overlapped, &moved);
        if (!ok && GetLastError() == ERROR_IO_PENDING)
            ok = GetOverlappedResult(handle_, &overlapped, &moved, TRUE);
        CloseHandle(overlapped.hEvent);
        if (!ok) // busy with the other thread's transfer, or refused by a cycle: later
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        return ok ? static_cast<long long>(moved) : -1;
    }

    void writeLoop() {
        std::vector<std::uint8_t> block;
        for (std::uint32_t n = 1; !stopWriting_; ++n) {
            const std::uint64_t at = written_.load();
            if (at - read_.load() > kAheadBytes) { // a full device would refuse the reader as busy
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
            block.resize(1 + (n * 7919u) % 12288u); // 1 byte to three chunks
            for (std::size_t i = 0; i < block.size(); ++i)
                block[i] = streamByte(at + i);
            const long long moved = request([&](LPOVERLAPPED ov, DWORD* bytes) {
                return WriteFile(handle_, block.data(), static_cast<DWORD>(block.size()), bytes,
                                 ov);
            });
            if (moved > 0)
                written_ += static_cast<std::uint64_t>(moved);
        }
    }

    void readLoop() {
        std::vector<std::uint8_t> block(maxRead_);
        for (;;) {
            const std::uint64_t at = read_.load();
            const std::uint64_t target = draining_ ? drainFrom_.load() : written_.load();
            if (stopReading_ || (draining_ && at >= target))
                break;
            const auto want =
                static_cast<DWORD>(std::min<std::uint64_t>(target - at, block.size()));
            if (want == 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
            const long long moved = request([&](LPOVERLAPPED ov, DWORD* bytes) {
                return ReadFile(handle_, block.data(), want, bytes, ov);
            });
            for (long long i = 0; i < moved; ++i)
                if (block[static_cast<std::size_t>(i)] !=
                        streamByte(at + static_cast<std::uint64_t>(i)) &&
                    corrupt_++ == 0)
                    firstCorrupt_ = at + static_cast<std::uint64_t>(i);
            if (moved > 0)
                read_ += static_cast<std::uint64_t>(moved);
        }
        readerDone_ = true;
    }

    // The configuration descriptor, and four bytes of the device's memory written and read back.
    void controlLoop() {
        const std::vector<std::uint8_t> configuration =
            sim::usb::LoopbackDevice::defaultConfigurationDescriptor();
        std::uint8_t descriptor[64];
        std::uint32_t landed =
            0; // what the memory holds: the last value written, or the one before
        std::uint32_t tried = 0;
        // Until a write or a read has gone through, the memory holds what an earlier run left.
        bool known = false;
        for (std::uint32_t n = 1; !stopWriting_; ++n) {
            const long long got = request([&](LPOVERLAPPED ov, DWORD* bytes) {
                return DeviceIoControl(handle_, IOCTL_GET_CONFIGURATION_DESCRIPTOR, nullptr, 0,
                                       descriptor, sizeof descriptor, bytes, ov);
            });
            if (got >= 0 && (static_cast<std::size_t>(got) != configuration.size() ||
                             !std::equal(configuration.begin(), configuration.end(), descriptor)))
                ++badControls_;
            const bool out = n % 2 == 1;
            if (out)
                std::memcpy(vendorBuffer_, &n, sizeof n);
            VENDOR_REQUEST vendor{
                static_cast<UCHAR>(out ? 0x40 : 0xC0),
                1,
                0,
                0x10,
                4,
                static_cast<ULONG>(reinterpret_cast<std::uintptr_t>(vendorBuffer_))};
            const long long done = request([&](LPOVERLAPPED ov, DWORD* bytes) {
                return DeviceIoControl(handle_, IOCTL_VENDOR_REQUEST, &vendor, sizeof vendor,
                                       nullptr, 0, bytes, ov);
            });
            if (out) {
                landed = done >= 0 ? n : landed;
                known = known || done >= 0;
                tried = n;
            } else if (done >= 0) {
                std::uint32_t back = 0;
                std::memcpy(&back, vendorBuffer_, sizeof back);
                if (known && back != landed && back != tried)
                    ++badControls_;
                landed = back;
                known = true;
            }
            controlsDone_ += got >= 0 ? 1 : 0;
        }
    }

    HANDLE handle_;
    DWORD maxRead_;
    std::uint8_t* vendorBuffer_ = nullptr;
    std::vector<std::thread> threads_;
    std::atomic<bool> stopWriting_{false}, stopReading_{false}, draining_{false},
        readerDone_{false};
    std::atomic<std::uint64_t> written_{0}, read_{0}, drainFrom_{0};
    std::atomic<std::uint64_t> corrupt_{0}, firstCorrupt_{0}, badControls_{0}, controlsDone_{0};
};

} // namespace wdmusb::test
