// The parts of a PE32 image file (i386) that loading a kernel driver needs: the headers, the
// sections, the base relocations and the import table. Parsing only: nothing is mapped or run, so
// this builds and is tested in every build.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim::image {

struct PeSection {
    std::string name;
    std::uint32_t rva = 0;
    std::uint32_t virtualSize = 0;
    std::uint32_t rawOffset = 0;
    std::uint32_t rawSize = 0;
    std::uint32_t characteristics = 0;

    static constexpr std::uint32_t kDiscardable = 0x02000000;
    static constexpr std::uint32_t kExecute = 0x20000000;
    static constexpr std::uint32_t kRead = 0x40000000;
    static constexpr std::uint32_t kWrite = 0x80000000;
};

// One imported routine and the slot of the import address table the image calls it through.
struct PeImport {
    std::string module; // as the image names it: "ntoskrnl.exe", "HAL.dll", "USBD.SYS"
    std::string name;   // the name it is imported by
    std::uint32_t slotRva = 0;
};

struct PeFile {
    std::uint32_t imageBase = 0;
    std::uint32_t sizeOfImage = 0;
    std::uint32_t sizeOfHeaders = 0;
    std::uint32_t entryRva = 0;
    std::uint32_t checksum = 0;       // as written in the optional header
    std::uint32_t checksumOffset = 0; // where, in the file
    std::uint16_t subsystem = 0;
    std::uint16_t characteristics = 0;
    std::vector<PeSection> sections;
    std::vector<std::uint32_t> relocations; // RVAs of 32-bit absolute addresses to rebase
    std::vector<PeImport> imports;

    static constexpr std::uint16_t kSubsystemNative = 1;
    static constexpr std::uint16_t kDll = 0x2000;
};

// Parses an i386 PE32 image; nullopt with the reason in `error` when it is not one, or a table of
// it is damaged (every offset and size is checked against the file).
std::optional<PeFile> parsePe(std::span<const std::uint8_t> bytes, std::string& error);

// The checksum the platform's loader computes: 16-bit words summed with carries folded, the
// checksum field counted as zero, plus the file's length.
std::uint32_t peChecksum(std::span<const std::uint8_t> bytes, std::uint32_t checksumOffset);

} // namespace sim::image
