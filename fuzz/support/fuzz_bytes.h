// The fuzzer's bytes read as a little script: numbers taken in order, zero once the input is used
// up, so that every input, however short, is a complete run.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace wdmusb::fuzz {

class FuzzBytes {
public:
    FuzzBytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return offset_ >= size_; }
    std::size_t remaining() const { return empty() ? 0 : size_ - offset_; }

    template <class T> T take() {
        T value{};
        const std::size_t n = std::min(sizeof value, remaining());
        if (n > 0)
            std::memcpy(&value, data_ + offset_, n);
        offset_ += sizeof value;
        return value;
    }
    std::uint8_t byte() { return take<std::uint8_t>(); }
    // A number in [0, bound); 0 when bound is 0.
    std::uint32_t below(std::uint32_t bound) {
        const auto value = take<std::uint16_t>();
        return bound == 0 ? 0 : value % bound;
    }
    // Fills out with the next bytes; zeros past the end of the input.
    void fill(std::span<std::uint8_t> out) {
        std::fill(out.begin(), out.end(), std::uint8_t{0});
        const std::size_t n = std::min(out.size(), remaining());
        if (n > 0)
            std::memcpy(out.data(), data_ + offset_, n);
        offset_ += out.size();
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
};

} // namespace wdmusb::fuzz
