// A table of codes and their names, searched both ways: the shape behind the readable names of
// statuses, URB functions and IRP codes.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim {

template <class Code, std::size_t Count> struct CodeTable {
    std::array<std::pair<Code, std::string_view>, Count> entries;

    std::optional<std::string_view> name(Code code) const {
        for (const auto& [known, name] : entries)
            if (known == code)
                return name;
        return std::nullopt;
    }
    std::optional<Code> code(std::string_view name) const {
        for (const auto& [code, known] : entries)
            if (known == name)
                return code;
        return std::nullopt;
    }
    std::vector<std::string_view> names() const {
        std::vector<std::string_view> all;
        for (const auto& entry : entries)
            all.push_back(entry.second);
        return all;
    }
};

template <class Code, class... Entries> constexpr auto makeCodeTable(Entries... entries) {
    return CodeTable<Code, sizeof...(Entries)>{{std::pair<Code, std::string_view>(entries)...}};
}

// "0xC0000001": a code without a name, as hex of `digits` digits after a prefix.
inline std::string hexCode(std::uint32_t value, int digits = 8, const char* prefix = "0x") {
    char text[48];
    std::snprintf(text, sizeof text, "%s%0*X", prefix, digits, static_cast<unsigned>(value));
    return text;
}

} // namespace sim

// One table entry named after its macro: NAMED_CODE(STATUS_SUCCESS).
#define NAMED_CODE(code) std::pair<long long, std::string_view>(code, #code)
