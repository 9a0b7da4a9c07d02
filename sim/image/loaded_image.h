// A kernel image (wdmusb.sys) loaded into the simulator's process: its sections mapped with their
// protections, its relocations applied, each import bound through the gate (import_gate.h) to the
// simulator's routine of that name, and its routines named from the linker's map beside it.
//
// Loading works only in the 32-bit build (i386 code runs only there); elsewhere load() says so.
// A loaded image stays mapped until the process ends: the driver and device objects of every
// simulated system that ran it point into its code.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/host_platform.h"
#include "sim/image/import_gate.h"
#include "sim/image/link_map.h"
#include "sim/image/pe_file.h"

namespace sim::image {

// One instruction (or a few bytes) of a routine replaced after loading: how a test breaks an
// image on purpose.
struct Patch {
    std::string routine;      // as the link map names it
    std::uint32_t offset = 0; // from the routine's start
    std::vector<std::uint8_t> bytes;
};

struct LoadOptions {
    std::string mapPath; // the linker's map; default: the image's path with .map for .sys
    std::vector<Patch> patches;
};

class LoadedImage {
public:
    // Loads the image at `path`; null with the reason in `error` when it cannot be run: not a
    // native i386 driver image, a wrong checksum, an import the simulator does not provide (named),
    // an import whose calling convention differs from the simulator's routine (named), a patch
    // outside its routine.
    static std::unique_ptr<LoadedImage> load(const std::string& path, std::string& error,
                                             const LoadOptions& options = {});
    ~LoadedImage();
    LoadedImage(const LoadedImage&) = delete;
    LoadedImage& operator=(const LoadedImage&) = delete;

    const std::string& name() const { return name_; } // "wdmusb.sys"
    PDRIVER_INITIALIZE entry() const;
    std::uintptr_t base() const { return base_; }
    std::uint32_t size() const { return size_; }
    bool contains(std::uintptr_t address) const { return address - base_ < size_; }

    // The routine holding `address` and the offset in it; nullptr without a map or outside any.
    const Routine* routineAt(std::uintptr_t address, std::uint32_t* offset) const;
    const Routine* routine(const std::string& name) const;
    // Where the image's import slot of `name` is (in the image), or 0.
    std::uintptr_t importSlot(const std::string& name) const;
    // The address a routine of the image was linked at, moved to where it is loaded.
    std::uintptr_t loaded(std::uint32_t linkAddress) const {
        return linkAddress - linkBase_ + base_;
    }

    // The call site of a routine called from the image (return address `from`): file "wdmusb.sys",
    // the routine's name and SimCallSite::kImageOffset | the offset.
    SimCallSite siteOf(std::uintptr_t from) const;

private:
    LoadedImage() = default;
    bool map(const std::vector<std::uint8_t>& file, const PeFile& pe, std::string& error);
    bool bindImports(const PeFile& pe, std::string& error);
    bool applyPatches(const std::vector<Patch>& patches, std::string& error);
    void protect(const PeFile& pe);

    std::string name_;
    std::uintptr_t base_ = 0;
    std::uint32_t size_ = 0;
    std::uint32_t linkBase_ = 0;
    std::uint32_t entryRva_ = 0;
    std::optional<LinkMap> map_;
    std::vector<std::unique_ptr<GateSlot>> slots_;
    std::vector<std::pair<std::string, std::uintptr_t>> importSlots_;
};

// The images loaded so far, for naming call sites and crashes: "wdmusb.sys!Routine+0x1c", or the
// address in hexadecimal when no image holds it.
const LoadedImage* imageHolding(std::uintptr_t address);
std::string describeAddress(std::uintptr_t address);

} // namespace sim::image
