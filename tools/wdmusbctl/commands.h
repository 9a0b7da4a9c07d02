// wdmusbctl's commands, each on the device chosen on the command line. They print to `out` and
// throw a Failure when something fails.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace wdmusbctl {

struct Target {
    unsigned device = 0;            // the number in `list`
    std::uint32_t timeoutMs = 5000; // for each request
};

void listDevices(std::FILE* out);
void showInfo(const Target& target, std::FILE* out);
// Reads `size` bytes; into `file` when given, else shown as a hex dump.
void readData(const Target& target, std::size_t size, const std::string& file, std::FILE* out);
// Writes `data`.
void writeData(const Target& target, const std::vector<std::uint8_t>& data, std::FILE* out);
struct VendorArguments {
    bool in = true;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;
    std::vector<std::uint8_t> data; // OUT: sent, padded with the pattern up to length
};
void vendorRequest(const Target& target, const VendorArguments& request, std::FILE* out);
void resetPort(const Target& target, std::FILE* out);
// `count` round trips of `size` bytes, each verified; false on the first mismatch (reported).
// A progress bar when `progress`.
bool loopback(const Target& target, std::size_t size, std::uint32_t count, bool progress,
              std::FILE* out);

} // namespace wdmusbctl
