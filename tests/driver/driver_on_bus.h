// The driver loaded into the simulated system above devices plugged into the simulated USB bus,
// for tests of what it asks of the bus driver. Every URB passes the fixture's recorder.
//
// When the test ends the fixture removes every device the driver still sits on, as the Plug and
// Play manager does (query-remove then removal, or only the removal after a surprise removal), and
// unloads the driver (which reports any FDO left behind); the leak checks then see whether the
// removal released everything.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/dispatch.h"
#include "driver/extension.h"
#include "driver/pool.h"
#include "public/wdmusb.h"
#include "sim/app/process.h"
#include "sim/core/system.h"
#include "sim/image/driver_image.h"
#include "sim/io/io_manager.h"
#include "sim/memory/pool.h"
#include "sim/pnp/filter_driver.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/bus_driver.h"
#include "sim/usb/descriptor_device.h"
#include "sim/usb/loopback_device.h"
#include "sim/usb/urb_recorder.h"
#include "tests/support/completion_mode_name.h"
#include "tests/support/sim_fixture.h"

namespace wdmusb::test {

using sim::usb::CompletionMode;
using sim::usb::LoopbackDevice;
using sim::usb::UrbFault;

class DriverOnBusTest : public SimTest {
protected:
    void SetUp() override {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver_ = system_.io().loadDriver("wdmusb", sim::image::driverEntry(DriverEntry), &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
        bus_.addObserver(&recorder_);
        addFiltersAsked();
    }

    void TearDown() override {
        system_.process().exit(); // as the platform does when the application exits
        for (sim::DeviceNode* node : system_.pnp().nodes())
            takeDown(*node);
        bus_.removeObserver(&recorder_);
        system_.io().unloadDriver(driver_);
        system_.pnp().setFilters({}, {});
        lowerFilter_.reset();
        upperFilter_.reset();
        SimTest::TearDown();
    }

    // WDMUSB_FILTERS names the filters every device's stack gets, "lower", "upper" or both
    // ("lower,upper"): the suites run once more that way (tests/CMakeLists.txt).
    void addFiltersAsked() {
        const char* asked = std::getenv("WDMUSB_FILTERS");
        const std::string filters = asked != nullptr ? asked : "";
        if (filters.find("lower") != std::string::npos)
            lowerFilter_ = std::make_unique<sim::FilterDriver>("lowerfilter");
        if (filters.find("upper") != std::string::npos)
            upperFilter_ = std::make_unique<sim::FilterDriver>("upperfilter");
        std::vector<PDRIVER_OBJECT> lower, upper;
        if (lowerFilter_)
            lower.push_back(lowerFilter_->driverObject());
        if (upperFilter_)
            upper.push_back(upperFilter_->driverObject());
        system_.pnp().setFilters(lower, upper);
    }

    // Plugs a device (the loopback device by default) and adds the driver above its PDO.
    sim::DeviceNode& plug(std::shared_ptr<sim::usb::DeviceModel> model = nullptr) {
        return system_.pnp().plug(bus_, driver_, std::move(model));
    }

    // Plugs a device and sends it IRP_MN_START_DEVICE.
    sim::DeviceNode& plugAndStart(std::shared_ptr<sim::usb::DeviceModel> model = nullptr) {
        sim::DeviceNode& node = plug(std::move(model));
        EXPECT_EQ(node.addStatus, STATUS_SUCCESS);
        system_.pnp().start(node);
        return node;
    }

    // The driver's FDO above a node's PDO, or null when there is none (AddDevice left none, or
    // the removal deleted it). Found among the driver's devices rather than by walking the stack:
    // filters may sit below and above it, and a lower filter removed first is no longer there
    // to walk through.
    PDEVICE_OBJECT fdoOf(const sim::DeviceNode& node) {
        for (PDEVICE_OBJECT d = driver_->DeviceObject; d != nullptr; d = d->NextDevice)
            if (GetExtension(d)->PhysicalDeviceObject == node.pdo)
                return d;
        return nullptr;
    }
    PDEVICE_EXTENSION extOf(const sim::DeviceNode& node) { return GetExtension(fdoOf(node)); }

    // Removes the driver's device from a node the way the Plug and Play manager does.
    void takeDown(sim::DeviceNode& node) {
        if (fdoOf(node) == nullptr)
            return;
        if (node.state == sim::DeviceNodeState::SurpriseRemoved)
            system_.pnp().removeDevice(node);
        else
            EXPECT_EQ(system_.pnp().remove(node).outcome, sim::RemoveOutcome::Removed);
    }

    // The URBs of one function the bus received, as they were submitted.
    std::vector<sim::usb::UrbRecord> sent(USHORT function) const {
        return recorder_.submitted(function);
    }

    // Driver pool blocks alive now.
    std::size_t driverBlocks() { return system_.pool().liveCount(WDMUSB_POOL_TAG); }

    // Starts a node while another thread lets every held transfer go, for CompletionMode::Held.
    NTSTATUS startReleasingHeld(sim::DeviceNode& node) {
        std::atomic<bool> starting{true};
        std::thread releaser([&] {
            while (starting.load())
                if (bus_.controller().waitForInFlight(1, std::nullopt,
                                                      std::chrono::milliseconds(20)))
                    heldReleased_ += bus_.controller().releaseHeld();
        });
        const NTSTATUS status = system_.pnp().start(node);
        starting.store(false);
        releaser.join();
        return status;
    }

    std::unique_ptr<sim::FilterDriver> lowerFilter_; // when WDMUSB_FILTERS asks for them
    std::unique_ptr<sim::FilterDriver> upperFilter_;
    std::atomic<std::size_t> heldReleased_{0}; // by startReleasingHeld
    sim::usb::UrbRecorder recorder_;           // outlives the bus that calls it
    sim::usb::BusDriver bus_;
    PDRIVER_OBJECT driver_ = nullptr;
};

// A configuration descriptor of exactly `totalBytes` (at least 32): the loopback device's, with
// vendor-specific descriptors after its endpoints to make up the length, and wTotalLength saying
// `declaredBytes` (the true length when 0).
inline std::vector<std::uint8_t> configurationOfLength(std::size_t totalBytes,
                                                       std::size_t declaredBytes = 0) {
    constexpr std::uint8_t kVendorSpecificType = 0xFF;
    std::vector<std::uint8_t> bytes = LoopbackDevice::defaultConfigurationDescriptor();
    for (std::size_t remaining = totalBytes - bytes.size(); remaining > 0;) {
        std::size_t length = std::min<std::size_t>(remaining, 255);
        if (remaining - length == 1)
            --length; // a descriptor is at least two bytes: never leave a single one
        bytes.push_back(static_cast<std::uint8_t>(length));
        bytes.push_back(kVendorSpecificType);
        bytes.resize(bytes.size() + length - 2, 0xA5);
        remaining -= length;
    }
    const std::size_t declared = declaredBytes == 0 ? bytes.size() : declaredBytes;
    bytes[2] = static_cast<std::uint8_t>(declared & 0xFF);
    bytes[3] = static_cast<std::uint8_t>(declared >> 8);
    return bytes;
}

// Rounds of a repeated-cycle test: `rounds` by default, WDMUSB_STRESS_ROUNDS when set (for
// longer runs).
inline int stressRounds(int rounds) {
    if (const char* value = std::getenv("WDMUSB_STRESS_ROUNDS")) {
        const int asked = std::atoi(value);
        if (asked > 0)
            return asked;
    }
    return rounds;
}

inline std::shared_ptr<sim::usb::DescriptorDevice>
deviceWithConfiguration(std::vector<std::uint8_t> configuration) {
    return std::make_shared<sim::usb::DescriptorDevice>(LoopbackDevice::defaultDeviceDescriptor(),
                                                        std::move(configuration));
}

} // namespace wdmusb::test
