#include "bench/bench_machine.h"

#include <cstring>
#include <string>

#include "driver/dispatch.h"
#include "sim/core/system.h"
#include "sim/memory/pool.h"

namespace wdmusb::bench {

BenchMachine::BenchMachine(DWORD flags, sim::SystemOptions options)
    : machine_(DriverEntry, options) {
    if (machine_.driverEntryStatus() != STATUS_SUCCESS)
        return;
    node_ = &machine_.plugDevice();
    if (node_->startStatus == STATUS_SUCCESS)
        handle_ = test::openDevice(GUID_DEVINTERFACE_WDMUSB, flags);
}

void BenchMachine::finish(benchmark::State& state) {
    handle_.close();
    reportFindings(state, machine_.finish());
}

std::vector<std::uint8_t> pattern(std::size_t bytes, std::uint8_t first) {
    std::vector<std::uint8_t> data(bytes);
    for (std::size_t i = 0; i < bytes; ++i)
        data[i] = static_cast<std::uint8_t>(first + i % 251);
    return data;
}

UserBuffer::UserBuffer(std::size_t bytes) {
    if (void* region = VirtualAlloc(nullptr, bytes, MEM_COMMIT, PAGE_READWRITE))
        bytes_ = {static_cast<std::uint8_t*>(region), bytes};
}

UserBuffer::~UserBuffer() {
    if (ok())
        VirtualFree(bytes_.data(), 0, MEM_RELEASE);
}

RoundTrips::RoundTrips(std::size_t bytes)
    : patterns_{UserBuffer(bytes), UserBuffer(bytes)}, back_(bytes) {
    if (!ok())
        return;
    for (std::uint8_t first = 0; first < 2; ++first) {
        const std::vector<std::uint8_t> bytesOf = pattern(bytes, first);
        std::memcpy(patterns_[first].bytes().data(), bytesOf.data(), bytes);
    }
}

bool RoundTrips::next(HANDLE handle) {
    const std::span<std::uint8_t> data = patterns_[turn_].bytes();
    turn_ ^= 1;
    const auto length = static_cast<DWORD>(data.size());
    DWORD written = 0;
    DWORD read = 0;
    return WriteFile(handle, data.data(), length, &written, nullptr) && written == length &&
           ReadFile(handle, back_.bytes().data(), length, &read, nullptr) && read == length &&
           std::memcmp(back_.bytes().data(), data.data(), length) == 0;
}

sim::SystemOptions verifierArg(std::int64_t on) {
    return sim::SystemOptions{.verifier = on != 0};
}

bool reportFindings(benchmark::State& state, const std::vector<sim::Finding>& findings) {
    if (findings.empty())
        return true;
    std::string text;
    for (const sim::Finding& finding : findings)
        text += std::string(sim::ruleName(finding.rule)) + ": " + finding.message + "\n";
    state.SkipWithError(text.c_str());
    return false;
}

std::size_t poolBytes(std::optional<std::uint32_t> tag) {
    std::size_t bytes = 0;
    for (const sim::PoolBlockInfo& block : sim::current().pool().liveBlocks())
        if (!tag || block.tag == *tag)
            bytes += block.size;
    return bytes;
}

} // namespace wdmusb::bench
