// The kernel build's images, for the tests of the loader: WDMUSB_KERNEL_IMAGE_DIR is the kernel
// preset's build folder (configure the host32 preset after building the kernel preset).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace wdmusb::test {

inline std::string kernelBuildFile(const std::string& name) {
#if defined(WDMUSB_KERNEL_IMAGE_DIR)
    return std::string(WDMUSB_KERNEL_IMAGE_DIR) + "/" + name;
#else
    return name;
#endif
}

inline std::vector<std::uint8_t> fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string fileText(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

} // namespace wdmusb::test

// Skips the test when the kernel build has not made `name`.
#define REQUIRE_KERNEL_BUILD_FILE(name)                                                            \
    if (!std::ifstream(wdmusb::test::kernelBuildFile(name)))                                       \
    GTEST_SKIP() << wdmusb::test::kernelBuildFile(name) << " not built (kernel preset)"
