// An FDO of the driver above a test device, made by the driver's own AddDevice, for tests of the
// driver's spine that must not depend on the Plug and Play manager. The test device answers the
// capability query AddDevice sends like any other IRP it gets.
#pragma once

#include <gtest/gtest.h>

#include "driver/dispatch.h"
#include "driver/extension.h"
#include "pnp/add_device.h"
#include "pnp/release_resources.h"
#include "sim/core/system.h"
#include "sim/image/driver_image.h"
#include "sim/image/routine_call.h"
#include "tests/support/test_driver.h"

namespace wdmusb::test {

class FdoByHand {
public:
    explicit FdoByHand(PDEVICE_OBJECT lower) : lower_(lower) {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver_ =
            sim::current().io().loadDriver("wdmusb", sim::image::driverEntry(DriverEntry), &status);
        EXPECT_EQ(sim::callDriverRoutine(driver_->DriverExtension->AddDevice, driver_, lower),
                  STATUS_SUCCESS);
        fdo_ = lower->AttachedDevice;
    }

    // What removal does after the last reference is gone.
    ~FdoByHand() {
        ReleaseDeviceResources(fdo_);
        IoDetachDevice(lower_);
        IoDeleteDevice(fdo_);
    }

    FdoByHand(const FdoByHand&) = delete;
    FdoByHand& operator=(const FdoByHand&) = delete;

    PDEVICE_OBJECT fdo() const { return fdo_; }
    PDEVICE_EXTENSION ext() const { return GetExtension(fdo_); }
    PDRIVER_OBJECT driver() const { return driver_; }

private:
    PDEVICE_OBJECT lower_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
};

} // namespace wdmusb::test
