// A buffer as an application may hand one to the system: its own memory, a region of its address
// space (writable or read-only), an address nothing is mapped at, a kernel-range address, or null.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "sim/app/win32.h"

namespace wdmusb::fuzz {

enum class BufferKind : std::uint8_t { Host, Region, ReadOnly, Unmapped, Kernel, Null, Count };

class AppBuffer {
public:
    // Any byte picks a kind (taken modulo the kinds).
    AppBuffer(BufferKind kind, std::size_t length);
    ~AppBuffer();
    AppBuffer(AppBuffer&& other) noexcept;
    AppBuffer& operator=(AppBuffer&& other) noexcept;
    AppBuffer(const AppBuffer&) = delete;
    AppBuffer& operator=(const AppBuffer&) = delete;

    BufferKind kind() const { return kind_; }
    // What the application passes: a pointer (ordinary memory or a 32-bit address).
    void* pointer() const { return pointer_; }
    // The 32-bit address a record names, offset bytes into the buffer; for ordinary memory,
    // which has no such address, `raw` as the fuzzer gave it.
    ULONG address32(std::uint32_t offset, ULONG raw) const;

    // Writes the application's bytes (a read-only region is made writable for that and then
    // read-only again); nothing for buffers the application has no bytes in.
    void store(std::span<const std::uint8_t> bytes);
    // Fills a writable region with a pattern that starts at `seed`.
    void fillPattern(std::uint32_t seed);
    bool writableByApplication() const { return kind_ == BufferKind::Region; }

    // True when [address, +length) lies in this writable region: where a successful transfer may
    // have moved data.
    bool usable(ULONG address, std::size_t length) const;
    // True when [address, +length) lies in this region, writable or read-only.
    bool mapped(ULONG address, std::size_t length) const;
    std::span<const std::uint8_t> bytes(ULONG address, std::size_t length) const;
    // The first n bytes of an output buffer, as the application reads them; a buffer it cannot
    // read back after a success is a fault (the system wrote where it must not).
    std::span<const std::uint8_t> returned(std::size_t n) const;

private:
    void release();

    BufferKind kind_ = BufferKind::Null;
    std::size_t length_ = 0;
    std::size_t mapped_ = 0; // a region's whole pages
    std::vector<std::uint8_t> host_;
    void* pointer_ = nullptr;
};

} // namespace wdmusb::fuzz
