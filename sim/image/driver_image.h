// Which build of the driver a test, a tool or a scenario runs: the host build of its source, or
// the kernel image wdmusb.sys loaded into the simulator. One switch for the whole process: the
// environment variable WDMUSB_DRIVER_IMAGE (the image's path), or wdmusb-sim's --image.
#pragma once

#include <string>

#include "platform/host/host_platform.h"

namespace sim::image {

class LoadedImage;

// Runs the image at `path` instead of the source build from now on (loaded at the first use).
void selectDriverImage(const std::string& path);
// Whether an image was chosen (by selectDriverImage or WDMUSB_DRIVER_IMAGE).
bool drivingImage();
// The chosen image, loaded; the process stops with the loader's reason when it cannot be loaded.
const LoadedImage& driverImage();

// The entry routine to load: `sourceEntry` (the host build's DriverEntry), or the chosen image's.
PDRIVER_INITIALIZE driverEntry(PDRIVER_INITIALIZE sourceEntry);

} // namespace sim::image
