#include "sim/image/link_map.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <sstream>

namespace sim::image {

namespace {

// "DispatchRead(_DEVICE_OBJECT*, _IRP*)" -> "DispatchRead"; a C name stays as it is.
std::string routineName(const std::string& symbol) {
    std::string name = symbol;
    int status = -1;
    std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status), std::free);
    if (status == 0 && demangled)
        name = demangled.get();
    // The parameter list begins at the first parenthesis that is not part of "(anonymous
    // namespace)".
    constexpr std::string_view kAnonymous = "(anonymous namespace)";
    std::size_t from = 0;
    while (true) {
        const std::size_t open = name.find('(', from);
        if (open == std::string::npos)
            break;
        if (name.compare(open, kAnonymous.size(), kAnonymous) == 0) {
            from = open + kAnonymous.size();
            continue;
        }
        name.resize(open);
        break;
    }
    return name;
}

bool parseHex(const std::string& token, std::uint32_t& value) {
    if (token.rfind("0x", 0) != 0)
        return false;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(token.c_str() + 2, &end, 16);
    if (end == token.c_str() + 2 || *end != '\0' || parsed > 0xFFFFFFFFull)
        return false;
    value = static_cast<std::uint32_t>(parsed);
    return true;
}

std::vector<std::string> tokens(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

} // namespace

const char* conventionName(Convention convention) {
    switch (convention) {
    case Convention::Stdcall:
        return "stdcall";
    case Convention::Fastcall:
        return "fastcall";
    case Convention::Cdecl:
        return "cdecl";
    }
    return "?";
}

std::uint32_t SlotDecoration::calleePops() const {
    switch (convention) {
    case Convention::Stdcall:
        return argumentBytes;
    case Convention::Fastcall:
        return argumentBytes > 8 ? argumentBytes - 8 : 0;
    case Convention::Cdecl:
        return 0;
    }
    return 0;
}

std::optional<SlotDecoration> parseDecoration(const std::string& decorated) {
    SlotDecoration slot;
    slot.decorated = decorated;
    if (decorated.size() < 2 || (decorated[0] != '_' && decorated[0] != '@'))
        return std::nullopt;
    const std::size_t at = decorated.rfind('@');
    if (at == 0 || at == std::string::npos) {
        if (decorated[0] != '_')
            return std::nullopt;
        slot.convention = Convention::Cdecl;
        return slot;
    }
    char* end = nullptr;
    const unsigned long bytes = std::strtoul(decorated.c_str() + at + 1, &end, 10);
    if (end == decorated.c_str() + at + 1 || *end != '\0')
        return std::nullopt;
    slot.argumentBytes = static_cast<std::uint32_t>(bytes);
    slot.convention = decorated[0] == '@' ? Convention::Fastcall : Convention::Stdcall;
    return slot;
}

const Routine* LinkMap::routineAt(std::uint32_t address) const {
    auto next = std::upper_bound(routines.begin(), routines.end(), address,
                                 [](std::uint32_t a, const Routine& r) { return a < r.address; });
    if (next == routines.begin())
        return nullptr;
    const Routine& routine = *std::prev(next);
    return address < routine.address + routine.size ? &routine : nullptr;
}

std::optional<LinkMap> parseLinkMap(const std::string& text, std::string& error) {
    LinkMap map;
    std::istringstream in(text);
    std::string line;
    std::string pending; // a .text$ section whose address comes on the next line
    bool inText = false;
    std::vector<Routine> symbols; // plain .text sections: named by the symbols inside
    while (std::getline(in, line)) {
        std::vector<std::string> words = tokens(line);
        if (words.empty())
            continue;
        // Output sections start in the first column; .text is the only one with routines.
        if (line[0] != ' ')
            inText = words[0] == ".text";
        if (!pending.empty()) {
            std::uint32_t address = 0;
            std::uint32_t size = 0;
            if (words.size() >= 2 && parseHex(words[0], address) && parseHex(words[1], size) &&
                size != 0)
                map.routines.push_back(Routine{address, size, routineName(pending)});
            pending.clear();
            continue;
        }
        if (inText && line[0] == ' ' && line[1] == '.' && words[0].rfind(".text$", 0) == 0) {
            std::uint32_t address = 0;
            std::uint32_t size = 0;
            if (words.size() >= 3 && parseHex(words[1], address) && parseHex(words[2], size)) {
                if (size != 0)
                    map.routines.push_back(Routine{address, size, routineName(words[0].substr(6))});
            } else if (words.size() == 1) {
                pending = words[0].substr(6);
            }
            continue;
        }
        // Symbol lines: "0xADDRESS   name". Import-table slots are "_imp_<decorated>"; a symbol
        // in .text outside any .text$ section (an import's jump stub) names a routine too.
        std::uint32_t address = 0;
        if (words.size() == 2 && parseHex(words[0], address)) {
            if (words[1].rfind("_imp_", 0) == 0) {
                if (auto slot = parseDecoration(words[1].substr(5)))
                    map.slots.emplace(address, *slot);
            } else if (inText && words[1].find('=') == std::string::npos) {
                symbols.push_back(Routine{address, 0, routineName(words[1])});
            }
        }
    }
    std::sort(map.routines.begin(), map.routines.end(),
              [](const Routine& a, const Routine& b) { return a.address < b.address; });
    // A symbol outside every section routine extends to the next symbol or routine (import jump
    // stubs are 8 bytes each).
    for (Routine& symbol : symbols) {
        if (map.routineAt(symbol.address) != nullptr)
            continue;
        symbol.size = 8;
        map.routines.insert(std::upper_bound(map.routines.begin(), map.routines.end(), symbol,
                                             [](const Routine& a, const Routine& b) {
                                                 return a.address < b.address;
                                             }),
                            symbol);
    }
    if (map.routines.empty())
        return error = "the link map names no routine (is it the map of a kernel image?)",
               std::nullopt;
    return map;
}

} // namespace sim::image
