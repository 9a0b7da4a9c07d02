#include "fuzz/support/app_buffer.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <utility>
#include <vector>

#include "fuzz/support/fuzz_machine.h"

namespace wdmusb::fuzz {

namespace {

constexpr std::size_t kPageBytes = 4096;
// Below the lowest address the application's space ever maps, and the start of the kernel's range.
constexpr std::uintptr_t kUnmappedAddress = 0x1000;
constexpr std::uintptr_t kKernelAddress = 0x80000000U;

void* addressAt(std::uintptr_t address) {
    return reinterpret_cast<void*>(address); // NOLINT(performance-no-int-to-ptr)
}

// Regions of the application's space kept from one buffer to the next, by size: mapping host
// memory for every buffer and unmapping it again was most of an input's time. A region given back
// is made inaccessible (PAGE_NOACCESS), as good as freed to the driver and to the application
// (a stale address in a later request still fails); one handed out again is writable and zeroed,
// as VirtualAlloc gives it.
class RegionCache {
public:
    void* take(std::size_t mapped) {
        std::vector<void*>& kept = kept_[mapped];
        if (kept.empty())
            return VirtualAlloc(nullptr, mapped, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        void* region = kept.back();
        kept.pop_back();
        DWORD old = 0;
        VirtualProtect(region, mapped, PAGE_READWRITE, &old);
        std::memset(region, 0, mapped);
        return region;
    }
    void give(void* region, std::size_t mapped) {
        std::vector<void*>& kept = kept_[mapped];
        DWORD old = 0;
        if (kept.size() >= kKeptPerSize || !VirtualProtect(region, mapped, PAGE_NOACCESS, &old)) {
            VirtualFree(region, 0, MEM_RELEASE);
            return;
        }
        kept.push_back(region);
    }

private:
    static constexpr std::size_t kKeptPerSize = 8;
    std::unordered_map<std::size_t, std::vector<void*>> kept_;
};

RegionCache& regions() {
    static RegionCache* made = new RegionCache(); // the machine, and its regions, last as long
    return *made;
}

} // namespace

AppBuffer::AppBuffer(BufferKind kind, std::size_t length)
    : kind_(static_cast<BufferKind>(static_cast<std::uint8_t>(kind) %
                                    static_cast<std::uint8_t>(BufferKind::Count))),
      length_(length) {
    switch (kind_) {
    case BufferKind::Host:
        host_.resize(length);
        pointer_ = host_.data();
        break;
    case BufferKind::Region:
    case BufferKind::ReadOnly:
        mapped_ = (std::max<std::size_t>(length, 1) + kPageBytes - 1) / kPageBytes * kPageBytes;
        pointer_ = regions().take(mapped_);
        if (pointer_ == nullptr)
            FuzzMachine::fail("VirtualAlloc failed");
        if (kind_ == BufferKind::ReadOnly) {
            DWORD old = 0;
            VirtualProtect(pointer_, mapped_, PAGE_READONLY, &old);
        }
        break;
    case BufferKind::Unmapped:
        pointer_ = addressAt(kUnmappedAddress);
        break;
    case BufferKind::Kernel:
        pointer_ = addressAt(kKernelAddress + kPageBytes);
        break;
    default:
        pointer_ = nullptr;
        break;
    }
}

AppBuffer::~AppBuffer() {
    release();
}

AppBuffer::AppBuffer(AppBuffer&& other) noexcept
    : kind_(std::exchange(other.kind_, BufferKind::Null)), length_(other.length_),
      mapped_(std::exchange(other.mapped_, 0)), host_(std::move(other.host_)),
      pointer_(std::exchange(other.pointer_, nullptr)) {
    if (kind_ == BufferKind::Host)
        pointer_ = host_.data();
}

AppBuffer& AppBuffer::operator=(AppBuffer&& other) noexcept {
    if (this != &other) {
        release();
        kind_ = std::exchange(other.kind_, BufferKind::Null);
        length_ = other.length_;
        mapped_ = std::exchange(other.mapped_, 0);
        host_ = std::move(other.host_);
        pointer_ =
            kind_ == BufferKind::Host ? host_.data() : std::exchange(other.pointer_, nullptr);
    }
    return *this;
}

void AppBuffer::release() {
    if (mapped_ > 0)
        regions().give(pointer_, mapped_);
    mapped_ = 0;
    pointer_ = nullptr;
}

ULONG AppBuffer::address32(std::uint32_t offset, ULONG raw) const {
    if (kind_ == BufferKind::Host)
        return raw;
    if (pointer_ == nullptr)
        return 0;
    return static_cast<ULONG>(reinterpret_cast<std::uintptr_t>(pointer_) + offset);
}

void AppBuffer::store(std::span<const std::uint8_t> bytes) {
    const std::size_t n = std::min(bytes.size(), length_);
    if (n == 0)
        return;
    if (kind_ == BufferKind::Host) {
        std::memcpy(host_.data(), bytes.data(), n);
    } else if (kind_ == BufferKind::Region || kind_ == BufferKind::ReadOnly) {
        DWORD old = 0;
        VirtualProtect(pointer_, mapped_, PAGE_READWRITE, &old);
        std::memcpy(pointer_, bytes.data(), n);
        if (kind_ == BufferKind::ReadOnly)
            VirtualProtect(pointer_, mapped_, PAGE_READONLY, &old);
    }
}

void AppBuffer::fillPattern(std::uint32_t seed) {
    if (!writableByApplication())
        return;
    auto* bytes = static_cast<std::uint8_t*>(pointer_);
    for (std::size_t i = 0; i < mapped_; ++i)
        bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + 1);
}

bool AppBuffer::usable(ULONG address, std::size_t length) const {
    return kind_ == BufferKind::Region && mapped(address, length);
}

bool AppBuffer::mapped(ULONG address, std::size_t length) const {
    if (kind_ != BufferKind::Region && kind_ != BufferKind::ReadOnly)
        return false;
    const auto base = reinterpret_cast<std::uintptr_t>(pointer_);
    return address >= base && address + length <= base + mapped_;
}

std::span<const std::uint8_t> AppBuffer::bytes(ULONG address, std::size_t length) const {
    if (!usable(address, length))
        FuzzMachine::fail("reading outside the application's region");
    const auto base = reinterpret_cast<std::uintptr_t>(pointer_);
    return {static_cast<const std::uint8_t*>(pointer_) + (address - base), length};
}

std::span<const std::uint8_t> AppBuffer::returned(std::size_t n) const {
    if (n == 0)
        return {};
    if (n > length_ || (kind_ != BufferKind::Host && kind_ != BufferKind::Region))
        FuzzMachine::fail("bytes returned into a buffer the application could not pass for output");
    return {static_cast<const std::uint8_t*>(pointer_), n};
}

} // namespace wdmusb::fuzz
