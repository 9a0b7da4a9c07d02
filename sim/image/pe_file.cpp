#include "sim/image/pe_file.h"

#include <cstring>

namespace sim::image {

namespace {

// Bounds-checked little-endian reads of the file.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool has(std::uint64_t offset, std::uint64_t length) const {
        return offset <= bytes_.size() && length <= bytes_.size() - offset;
    }
    std::uint16_t u16(std::uint32_t offset) const {
        return static_cast<std::uint16_t>(get(offset, 2));
    }
    std::uint32_t u32(std::uint32_t offset) const { return get(offset, 4); }
    // A zero-terminated name of at most `limit` characters; empty when it runs off the file.
    std::string name(std::uint32_t offset, std::size_t limit) const {
        std::string text;
        for (std::size_t i = 0; i < limit && has(offset + i, 1); ++i) {
            if (bytes_[offset + i] == 0)
                return text;
            text.push_back(static_cast<char>(bytes_[offset + i]));
        }
        return {};
    }

private:
    std::uint32_t get(std::uint32_t offset, int length) const {
        std::uint32_t value = 0;
        for (int i = length - 1; i >= 0; --i)
            value = value << 8 | bytes_[offset + static_cast<std::uint32_t>(i)];
        return value;
    }

    std::span<const std::uint8_t> bytes_;
};

// The file offset of [rva, +length), which must lie in one section's raw data (or the headers).
std::optional<std::uint32_t> fileOffset(const PeFile& pe, std::uint32_t rva, std::uint32_t length) {
    if (static_cast<std::uint64_t>(rva) + length <= pe.sizeOfHeaders)
        return rva;
    for (const PeSection& s : pe.sections) {
        if (rva >= s.rva &&
            static_cast<std::uint64_t>(rva) + length <= s.rva + std::uint64_t{s.rawSize})
            return s.rawOffset + (rva - s.rva);
    }
    return std::nullopt;
}

bool readRelocations(const Reader& file, PeFile& pe, std::uint32_t rva, std::uint32_t size,
                     std::string& error) {
    constexpr std::uint16_t kAbsolute = 0;
    constexpr std::uint16_t kHighLow = 3;
    for (std::uint32_t done = 0; done + 8 <= size;) {
        const auto block = fileOffset(pe, rva + done, 8);
        if (!block)
            return error = "a relocation block lies outside the image's sections", false;
        const std::uint32_t page = file.u32(*block);
        const std::uint32_t blockSize = file.u32(*block + 4);
        if (blockSize < 8 || done + blockSize > size || !fileOffset(pe, rva + done, blockSize))
            return error = "a relocation block has a bad size", false;
        for (std::uint32_t at = 8; at + 2 <= blockSize; at += 2) {
            const std::uint16_t entry = file.u16(*block + at);
            const std::uint16_t type = entry >> 12;
            if (type == kAbsolute)
                continue;
            if (type != kHighLow)
                return error = "relocation type " + std::to_string(type) +
                               " (only 32-bit absolute addresses are rebased on i386)",
                       false;
            pe.relocations.push_back(page + (entry & 0x0FFFu));
        }
        done += blockSize;
    }
    return true;
}

bool readImports(const Reader& file, PeFile& pe, std::uint32_t rva, std::string& error) {
    constexpr std::uint32_t kOrdinalFlag = 0x80000000;
    for (std::uint32_t descriptor = rva;; descriptor += 20) {
        const auto at = fileOffset(pe, descriptor, 20);
        if (!at)
            return error = "the import directory runs outside the image's sections", false;
        const std::uint32_t lookup = file.u32(*at);
        const std::uint32_t nameRva = file.u32(*at + 12);
        const std::uint32_t slots = file.u32(*at + 16);
        if (nameRva == 0 && slots == 0)
            return true;
        const auto nameAt = fileOffset(pe, nameRva, 1);
        const std::string module = nameAt ? file.name(*nameAt, 256) : std::string();
        if (module.empty())
            return error = "an import descriptor without a module name", false;
        for (std::uint32_t i = 0;; ++i) {
            const auto entryAt = fileOffset(pe, (lookup != 0 ? lookup : slots) + 4 * i, 4);
            if (!entryAt)
                return error = "the imports of " + module + " run outside the sections", false;
            const std::uint32_t entry = file.u32(*entryAt);
            if (entry == 0)
                break;
            if ((entry & kOrdinalFlag) != 0)
                return error = "an import of " + module + " by ordinal " +
                               std::to_string(entry & 0xFFFF) + ": drivers import by name",
                       false;
            const auto hintAt = fileOffset(pe, entry + 2, 1);
            const std::string name = hintAt ? file.name(*hintAt, 512) : std::string();
            if (name.empty())
                return error = "an import of " + module + " without a name", false;
            pe.imports.push_back(PeImport{module, name, slots + 4 * i});
        }
    }
}

} // namespace

std::optional<PeFile> parsePe(std::span<const std::uint8_t> bytes, std::string& error) {
    const Reader file(bytes);
    if (!file.has(0, 64) || file.u16(0) != 0x5A4D)
        return error = "not an image file (no MZ header)", std::nullopt;
    const std::uint32_t pe = file.u32(0x3C);
    if (!file.has(pe, 24 + 96) || file.u32(pe) != 0x00004550)
        return error = "not a PE image (no PE signature)", std::nullopt;
    if (file.u16(pe + 4) != 0x014C)
        return error = "not an i386 image", std::nullopt;
    const std::uint16_t sectionCount = file.u16(pe + 6);
    const std::uint16_t optionalSize = file.u16(pe + 20);
    const std::uint32_t optional = pe + 24;
    if (file.u16(optional) != 0x010B || optionalSize < 96 + 16 * 8 ||
        !file.has(optional, optionalSize))
        return error = "not a PE32 image (optional header)", std::nullopt;

    PeFile image;
    image.characteristics = file.u16(pe + 22);
    image.entryRva = file.u32(optional + 16);
    image.imageBase = file.u32(optional + 28);
    image.sizeOfImage = file.u32(optional + 56);
    image.sizeOfHeaders = file.u32(optional + 60);
    image.checksumOffset = optional + 64;
    image.checksum = file.u32(optional + 64);
    image.subsystem = file.u16(optional + 68);
    const std::uint32_t directories = optional + 96;
    const std::uint32_t directoryCount = file.u32(optional + 92);
    if (directoryCount < 6)
        return error = "the image has too few data directories", std::nullopt;

    const std::uint32_t table = optional + optionalSize;
    if (!file.has(table, std::uint64_t{sectionCount} * 40))
        return error = "the section table runs off the file", std::nullopt;
    for (std::uint16_t i = 0; i < sectionCount; ++i) {
        const std::uint32_t at = table + 40u * i;
        PeSection s;
        char name[9] = {};
        std::memcpy(name, bytes.data() + at, 8);
        s.name = name;
        s.virtualSize = file.u32(at + 8);
        s.rva = file.u32(at + 12);
        s.rawSize = file.u32(at + 16);
        s.rawOffset = file.u32(at + 20);
        s.characteristics = file.u32(at + 36);
        if (!file.has(s.rawOffset, s.rawSize) ||
            std::uint64_t{s.rva} + std::max(s.virtualSize, s.rawSize) > image.sizeOfImage)
            return error = "section " + s.name + " lies outside the file or the image",
                   std::nullopt;
        image.sections.push_back(s);
    }
    if (image.entryRva == 0 || image.entryRva >= image.sizeOfImage)
        return error = "the image has no entry point", std::nullopt;

    constexpr std::uint32_t kImportDirectory = 1;
    constexpr std::uint32_t kRelocationDirectory = 5;
    const std::uint32_t importRva = file.u32(directories + 8 * kImportDirectory);
    const std::uint32_t relocationRva = file.u32(directories + 8 * kRelocationDirectory);
    const std::uint32_t relocationSize = file.u32(directories + 8 * kRelocationDirectory + 4);
    if (importRva != 0 && !readImports(file, image, importRva, error))
        return std::nullopt;
    if (relocationRva != 0 && !readRelocations(file, image, relocationRva, relocationSize, error))
        return std::nullopt;
    return image;
}

std::uint32_t peChecksum(std::span<const std::uint8_t> bytes, std::uint32_t checksumOffset) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        if (i >= checksumOffset && i < checksumOffset + 4)
            continue;
        const std::uint32_t word = bytes[i] | (i + 1 < bytes.size() ? bytes[i + 1] << 8 : 0);
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + bytes.size());
}

} // namespace sim::image
