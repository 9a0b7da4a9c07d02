#include "tools/wdmusbctl/commands.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "tools/wdmusbctl/data.h"
#include "tools/wdmusbctl/descriptors.h"
#include "tools/wdmusbctl/device.h"
#include "tools/wdmusbctl/errors.h"
#include "tools/wdmusbctl/win32_api.h"

namespace wdmusbctl {

namespace {

// Whether the bytes read can go into the file: opened to append, which neither truncates nor
// replaces it; a file made for the check is removed again at once.
void checkWritable(const std::string& path) {
    std::FILE* existing = std::fopen(path.c_str(), "rb");
    if (existing != nullptr)
        std::fclose(existing);
    std::FILE* probe = std::fopen(path.c_str(), "ab");
    if (probe == nullptr)
        throw Failure("writing " + path + ": cannot write the file (nothing was read)", 0,
                      Exit::BadArgument);
    std::fclose(probe);
    if (existing == nullptr)
        std::remove(path.c_str());
}

void printLines(std::FILE* out, const std::vector<std::string>& lines) {
    for (const std::string& line : lines)
        std::fprintf(out, "%s\n", line.c_str());
}

// Moves the whole buffer in requests of at most what the driver takes, each of which may move
// fewer bytes than asked; a request that moves nothing ends it.
template <typename Byte, typename Request>
void moveAll(std::span<Byte> buffer, Request request, const char* doing) {
    std::size_t done = 0;
    while (done < buffer.size()) {
        const std::size_t piece =
            std::min<std::size_t>(buffer.size() - done, WDMUSB_MAXIMUM_REQUEST_BYTES);
        const std::uint32_t moved = request(buffer.subspan(done, piece));
        if (moved == 0)
            throw Failure(std::string(doing) + ": the device moved nothing after " +
                              std::to_string(done) + " of " + std::to_string(buffer.size()) +
                              " bytes",
                          0, Exit::DeviceError);
        done += moved;
    }
}

void readAll(Device& device, std::span<std::uint8_t> buffer) {
    moveAll(
        buffer, [&](std::span<std::uint8_t> piece) { return device.read(piece); }, "reading");
}

void writeAll(Device& device, std::span<const std::uint8_t> data) {
    moveAll(
        data, [&](std::span<const std::uint8_t> piece) { return device.write(piece); }, "writing");
}

void showProgress(std::FILE* out, std::uint32_t done, std::uint32_t count) {
    constexpr int kWidth = 30;
    const int filled = static_cast<int>(std::uint64_t{done} * kWidth / count);
    std::fprintf(out, "\r[%s%s] %u/%u", std::string(filled, '#').c_str(),
                 std::string(kWidth - filled, '.').c_str(), done, count);
    std::fflush(out);
}

void reportMismatch(std::FILE* out, std::uint32_t round, std::span<const std::uint8_t> written,
                    std::span<const std::uint8_t> read) {
    std::size_t total = 0;
    const std::vector<Mismatch> found = compare(written, read, 8, total);
    std::fprintf(out, "round %u: %zu byte(s) differ\n", round + 1, total);
    for (const Mismatch& m : found)
        std::fprintf(out, "  offset %zu: wrote 0x%02x, read 0x%02x\n", m.offset, m.expected,
                     m.actual);
}

} // namespace

void listDevices(std::FILE* out) {
    const std::vector<std::string> paths = listInterfaces();
    if (paths.empty())
        throw Failure("no device: no interface of the wdmusb class is present", 0, Exit::NoDevice);
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const VendorProduct id = vendorProductFromPath(paths[i]);
        std::fprintf(out, "%zu  %s%s\n", i,
                     id.vendor.empty() ? "" : (id.vendor + ":" + id.product + "  ").c_str(),
                     paths[i].c_str());
    }
}

void showInfo(const Target& target, std::FILE* out) {
    Device device(target.device, target.timeoutMs);
    std::fprintf(out, "Device %u: %s\n", target.device, device.path().c_str());
    const VendorProduct id = vendorProductFromPath(device.path());
    if (!id.vendor.empty())
        std::fprintf(out, "  idVendor           0x%s\n  idProduct          0x%s\n",
                     id.vendor.c_str(), id.product.c_str());
    printLines(out, decodeConfiguration(device.configurationDescriptor()));
}

void readData(const Target& target, std::size_t size, const std::string& file, std::FILE* out) {
    if (!file.empty())
        checkWritable(file); // before anything is read, so that no bytes are read and then lost
    Device device(target.device, target.timeoutMs);
    std::vector<std::uint8_t> data(size);
    readAll(device, data);
    if (file.empty()) {
        printLines(out, hexDump(data));
        return;
    }
    std::ofstream stream(file, std::ios::binary);
    stream.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(size));
    if (!stream)
        throw Failure("writing " + file + ": cannot write the file", 0, Exit::BadArgument);
    std::fprintf(out, "read %zu bytes into %s\n", size, file.c_str());
}

void writeData(const Target& target, const std::vector<std::uint8_t>& data, std::FILE* out) {
    Device device(target.device, target.timeoutMs);
    writeAll(device, data);
    std::fprintf(out, "wrote %zu bytes\n", data.size());
}

void vendorRequest(const Target& target, const VendorArguments& request, std::FILE* out) {
    Device device(target.device, target.timeoutMs);
    if (request.in) {
        const std::vector<std::uint8_t> data =
            device.vendorIn(request.request, request.value, request.index, request.length);
        std::fprintf(out, "vendor IN 0x%02x: %zu bytes\n", request.request, data.size());
        printLines(out, hexDump(data));
        return;
    }
    std::vector<std::uint8_t> data = request.data;
    if (data.size() < request.length) {
        const std::vector<std::uint8_t> fill = pattern(request.length, 0);
        data.insert(data.end(), fill.begin() + static_cast<std::ptrdiff_t>(data.size()),
                    fill.end());
    }
    data.resize(request.length);
    device.vendorOut(request.request, request.value, request.index, data);
    std::fprintf(out, "vendor OUT 0x%02x: %zu bytes sent\n", request.request, data.size());
}

void resetPort(const Target& target, std::FILE* out) {
    Device device(target.device, target.timeoutMs);
    device.reset();
    std::fprintf(out, "port reset\n");
}

bool loopback(const Target& target, std::size_t size, std::uint32_t count, bool progress,
              std::FILE* out) {
    Device device(target.device, target.timeoutMs);
    const auto begin = std::chrono::steady_clock::now();
    std::vector<std::uint8_t> back(size);
    for (std::uint32_t round = 0; round < count; ++round) {
        const std::vector<std::uint8_t> written = pattern(size, round);
        // In pieces the device can hold: each written, then read back.
        for (std::size_t at = 0; at < size; at += WDMUSB_MAXIMUM_REQUEST_BYTES) {
            const std::size_t piece =
                std::min<std::size_t>(size - at, WDMUSB_MAXIMUM_REQUEST_BYTES);
            writeAll(device, std::span(written).subspan(at, piece));
            readAll(device, std::span(back).subspan(at, piece));
        }
        if (!std::equal(written.begin(), written.end(), back.begin())) {
            if (progress)
                std::fprintf(out, "\n");
            reportMismatch(out, round, written, back);
            return false;
        }
        if (progress)
            showProgress(out, round + 1, count);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    const double megabytes = static_cast<double>(size) * count / 1e6;
    if (progress)
        std::fprintf(out, "\n");
    std::fprintf(out,
                 "%u round trip(s) of %zu bytes verified: %.2f MB each way in %.3f s, %.1f MB/s\n",
                 count, size, megabytes, seconds, seconds > 0 ? megabytes / seconds : 0.0);
    return true;
}

} // namespace wdmusbctl
