// Which build of the driver a test runs (sim/image/driver_image.h): the driver suites run on the
// source build, and in the 32-bit build once more on the kernel image (WDMUSB_DRIVER_IMAGE).
#pragma once

#include <gtest/gtest.h>

#include "sim/image/driver_image.h"

// For a test that calls the driver's own routines directly rather than through the platform (or
// compares their addresses): the image exports none, so the test runs on the source build only.
#define SOURCE_BUILD_ONLY()                                                                        \
    if (sim::image::drivingImage())                                                                \
    GTEST_SKIP() << "calls the driver's own routines, which the kernel image does not export"
