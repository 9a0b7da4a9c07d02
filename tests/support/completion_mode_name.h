// The name of a host controller completion mode, for parameterised tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "sim/usb/host_controller.h"

namespace wdmusb::test {

inline std::string
completionModeName(const ::testing::TestParamInfo<sim::usb::CompletionMode>& mode) {
    switch (mode.param) {
    case sim::usb::CompletionMode::Inline:
        return "Inline";
    case sim::usb::CompletionMode::Thread:
        return "Thread";
    case sim::usb::CompletionMode::Held:
        return "Held";
    }
    return "Unknown";
}

} // namespace wdmusb::test
