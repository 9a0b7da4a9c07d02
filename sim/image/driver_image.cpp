#include "sim/image/driver_image.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/image/loaded_image.h"

namespace sim::image {

namespace {

std::mutex gMutex;
std::string gChosen;
bool gChosenRead = false;
std::unique_ptr<LoadedImage> gImage;
// Images chosen before the current one stay mapped: driver objects may still point into them.
std::vector<std::unique_ptr<LoadedImage>> gRetired;

const std::string& chosen() {
    if (!gChosenRead) {
        gChosenRead = true;
        if (const char* path = std::getenv("WDMUSB_DRIVER_IMAGE"); path != nullptr)
            gChosen = path;
    }
    return gChosen;
}

} // namespace

void selectDriverImage(const std::string& path) {
    std::lock_guard lock(gMutex);
    gChosenRead = true;
    gChosen = path;
    if (gImage)
        gRetired.push_back(std::move(gImage));
}

bool drivingImage() {
    std::lock_guard lock(gMutex);
    return !chosen().empty();
}

const LoadedImage& driverImage() {
    std::lock_guard lock(gMutex);
    if (!gImage) {
        std::string error;
        gImage = LoadedImage::load(chosen(), error);
        if (!gImage) {
            std::fprintf(stderr, "driver image: %s\n", error.c_str());
            std::exit(4);
        }
    }
    return *gImage;
}

PDRIVER_INITIALIZE driverEntry(PDRIVER_INITIALIZE sourceEntry) {
    return drivingImage() ? driverImage().entry() : sourceEntry;
}

} // namespace sim::image
