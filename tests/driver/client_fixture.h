// The driver used the way an application uses it: the loopback device plugged and started, opened
// through its interface, and read, written and controlled with the user-mode API.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "io/client_dispatch.h"
#include "sim/app/win32.h"
#include "tests/driver/driver_on_bus.h"
#include "tests/support/application.h"

namespace wdmusb::test {

constexpr UCHAR kIn = LoopbackDevice::kInEndpoint;
constexpr UCHAR kOut = LoopbackDevice::kOutEndpoint;

// What a request ended with, as the application sees it.
struct Outcome {
    BOOL ok = FALSE;
    DWORD bytes = 0;
    DWORD error = ERROR_SUCCESS;
};

class ClientTest : public DriverOnBusTest {
protected:
    void TearDown() override {
        handle_.close();
        DriverOnBusTest::TearDown();
    }

    // The loopback device (or `model`), started, and a handle to it.
    void startAndOpen(std::shared_ptr<sim::usb::DeviceModel> model = nullptr, DWORD flags = 0) {
        node_ = &plugAndStart(std::move(model));
        ASSERT_EQ(node_->startStatus, STATUS_SUCCESS);
        // The newest interface: the device just plugged.
        handle_ = openDevice(GUID_DEVINTERFACE_WDMUSB, flags,
                             devicePaths(GUID_DEVINTERFACE_WDMUSB).size() - 1);
        ASSERT_TRUE(handle_.valid()) << "error " << GetLastError();
    }
    PDEVICE_OBJECT fdo() { return fdoOf(*node_); }
    PDEVICE_EXTENSION ext() { return extOf(*node_); }
    LoopbackDevice& loopback() { return node_->busDevice->modelAs<LoopbackDevice>(); }

    static Outcome outcome(BOOL ok, DWORD bytes) {
        return {ok, bytes, ok ? DWORD{ERROR_SUCCESS} : GetLastError()};
    }
    Outcome read(void* buffer, DWORD length, HANDLE handle = nullptr) {
        DWORD bytes = 0;
        const BOOL ok = ReadFile(handle ? handle : handle_.get(), buffer, length, &bytes, nullptr);
        return outcome(ok, bytes);
    }
    Outcome write(const void* buffer, DWORD length, HANDLE handle = nullptr) {
        DWORD bytes = 0;
        const BOOL ok = WriteFile(handle ? handle : handle_.get(), buffer, length, &bytes, nullptr);
        return outcome(ok, bytes);
    }
    Outcome control(DWORD code, void* in, DWORD inLength, void* out, DWORD outLength) {
        DWORD bytes = 0;
        const BOOL ok =
            DeviceIoControl(handle_.get(), code, in, inLength, out, outLength, &bytes, nullptr);
        return outcome(ok, bytes);
    }

    // Bytes 0, 1, 2, ... (mod 251) queued as if written, for reads to find.
    std::vector<std::uint8_t> queuePattern(std::size_t bytes) {
        std::vector<std::uint8_t> data(bytes);
        for (std::size_t i = 0; i < bytes; ++i)
            data[i] = static_cast<std::uint8_t>(i % 251);
        loopback().queueData(data);
        return data;
    }

    // Everything the device holds, taken out of it (not through the driver). Only while no read
    // is at the bus.
    std::vector<std::uint8_t> takeQueued() {
        std::vector<std::uint8_t> taken(loopback().queuedBytes());
        const auto result = loopback().transfer(kIn, taken);
        taken.resize(result.bytes);
        return taken;
    }

    std::size_t bulkUrbs() const { return sent(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).size(); }

    sim::DeviceNode* node_ = nullptr;
    AppHandle handle_;
};

} // namespace wdmusb::test
