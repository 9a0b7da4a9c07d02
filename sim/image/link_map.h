// What the linker's map of a kernel image tells that the stripped image does not: where each
// routine begins and ends (every function has a section of its own, .text$<name>), and how the
// image's code calls each import (the decorated name of its import-table slot: _Name@N stdcall,
// @Name@N fastcall, _Name cdecl). Parsing only; every build.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sim::image {

enum class Convention { Stdcall, Fastcall, Cdecl };
const char* conventionName(Convention convention);

struct Routine {
    std::uint32_t address = 0; // at the link-time base
    std::uint32_t size = 0;
    std::string name; // demangled, without its parameter list
};

// How the image's code calls an import, from its slot's decorated name.
struct SlotDecoration {
    std::string decorated; // "@IofCallDriver@8"
    Convention convention = Convention::Cdecl;
    std::uint32_t argumentBytes = 0; // N of @N (0 for cdecl, which has none)

    // Bytes the routine must take off the stack when it returns: stdcall all of them; fastcall
    // those beyond the two 32-bit arguments passed in ECX and EDX; cdecl none.
    std::uint32_t calleePops() const;
};

struct LinkMap {
    std::vector<Routine> routines;                 // by address
    std::map<std::uint32_t, SlotDecoration> slots; // by the slot's address at the link-time base

    // The routine holding `address` (link-time base), if any.
    const Routine* routineAt(std::uint32_t address) const;
};

std::optional<LinkMap> parseLinkMap(const std::string& text, std::string& error);
// "_Name@N", "@Name@N" or "_Name" (the part after "_imp_"); nullopt when it is none of them.
std::optional<SlotDecoration> parseDecoration(const std::string& decorated);

} // namespace sim::image
