#include "sim/image/loaded_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>

#if defined(__i386__)
#include <sys/mman.h>
#endif

#include "sim/image/crash_report.h"
#include "sim/image/kernel_exports.h"

namespace sim::image {

namespace {

std::mutex gImagesMutex;
std::vector<const LoadedImage*> gImages; // every image loaded; never unloaded

[[maybe_unused]] bool readFile(const std::string& path, std::vector<std::uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

std::string baseName(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

[[maybe_unused]] std::string defaultMapPath(const std::string& path) {
    const std::size_t dot = path.find_last_of('.');
    const std::size_t slash = path.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return path + ".map";
    return path.substr(0, dot) + ".map";
}

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

} // namespace

#if defined(__i386__)

std::unique_ptr<LoadedImage> LoadedImage::load(const std::string& path, std::string& error,
                                               const LoadOptions& options) {
    std::vector<std::uint8_t> file;
    if (!readFile(path, file)) {
        error = path + ": cannot be read";
        return nullptr;
    }
    std::unique_ptr<LoadedImage> image(new LoadedImage());
    image->name_ = baseName(path);
    const auto fail = [&](const std::string& why) {
        error = image->name_ + ": " + why;
        return nullptr;
    };
    std::string why;
    const std::optional<PeFile> pe = parsePe(file, why);
    if (!pe)
        return fail(why);
    if (pe->subsystem != PeFile::kSubsystemNative || (pe->characteristics & PeFile::kDll) != 0)
        return fail("not a driver image (native subsystem, no DLL flag)");
    if (pe->checksum == 0 || pe->checksum != peChecksum(file, pe->checksumOffset))
        return fail("wrong PE checksum " + hex(pe->checksum) + " (the file's is " +
                    hex(peChecksum(file, pe->checksumOffset)) + "): the platform refuses it");

    const std::string mapPath = options.mapPath.empty() ? defaultMapPath(path) : options.mapPath;
    std::ifstream mapFile(mapPath);
    if (mapFile) {
        std::stringstream text;
        text << mapFile.rdbuf();
        image->map_ = parseLinkMap(text.str(), why);
        if (!image->map_)
            return fail(mapPath + ": " + why);
    } else {
        std::fprintf(stderr,
                     "%s: no link map at %s: findings name offsets in the image, not routines, "
                     "and the imports' calling conventions are not checked\n",
                     image->name_.c_str(), mapPath.c_str());
    }
    image->linkBase_ = pe->imageBase;
    image->entryRva_ = pe->entryRva;
    if (!image->map(file, *pe, why) || !image->bindImports(*pe, why) ||
        !image->applyPatches(options.patches, why))
        return fail(why);
    image->protect(*pe);
    reportCrashesInImages();
    std::lock_guard lock(gImagesMutex);
    gImages.push_back(image.get());
    return image;
}

bool LoadedImage::map(const std::vector<std::uint8_t>& file, const PeFile& pe, std::string& error) {
    void* memory =
        mmap(nullptr, pe.sizeOfImage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return error = "no room for " + std::to_string(pe.sizeOfImage) + " bytes", false;
    base_ = reinterpret_cast<std::uintptr_t>(memory);
    size_ = pe.sizeOfImage;
    auto* bytes = static_cast<std::uint8_t*>(memory);
    std::memcpy(bytes, file.data(), std::min<std::size_t>(pe.sizeOfHeaders, file.size()));
    for (const PeSection& s : pe.sections)
        std::memcpy(bytes + s.rva, file.data() + s.rawOffset, std::min(s.rawSize, s.virtualSize));
    // The platform's loader places a driver wherever it has room: every absolute address moves.
    const std::uint32_t delta = static_cast<std::uint32_t>(base_) - pe.imageBase;
    for (const std::uint32_t rva : pe.relocations) {
        if (rva + 4 > size_)
            return error = "a relocation outside the image at " + hex(rva), false;
        std::uint32_t value;
        std::memcpy(&value, bytes + rva, 4);
        value += delta;
        std::memcpy(bytes + rva, &value, 4);
    }
    return true;
}

bool LoadedImage::bindImports(const PeFile& pe, std::string& error) {
    for (const PeImport& import : pe.imports) {
        const KernelExport* routine = findKernelExport(import.module, import.name);
        if (routine == nullptr)
            return error = "imports " + import.module + "!" + import.name +
                           ", which the simulator does not provide",
                   false;
        auto slot = std::make_unique<GateSlot>();
        slot->routine = routine->routine;
        slot->module = routine->module;
        slot->name = routine->name;
        slot->declared = routine->convention;
        slot->declaredPops = routine->calleePops;
        slot->expectedPops = GateSlot::kUnknownPops;
        if (map_) {
            const auto decoration = map_->slots.find(pe.imageBase + import.slotRva);
            if (decoration == map_->slots.end())
                return error = "the link map has no slot for " + import.name, false;
            const SlotDecoration& d = decoration->second;
            const bool sameBytes =
                d.convention == Convention::Cdecl || d.argumentBytes == routine->argumentBytes;
            if (d.convention != routine->convention || !sameBytes)
                return error = "calls " + import.module + "!" + import.name + " as " + d.decorated +
                               " (" + conventionName(d.convention) + ", " +
                               std::to_string(d.argumentBytes) +
                               " bytes of arguments), but the simulator's routine is " +
                               conventionName(routine->convention) + " with " +
                               std::to_string(routine->argumentBytes),
                       false;
            slot->decorated = decoration->second.decorated.c_str();
            slot->expectedPops = d.calleePops();
        }
        void* trampoline = makeTrampoline(slot.get());
        if (trampoline == nullptr)
            return error = "no room for the import gate", false;
        const auto value = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(trampoline));
        std::memcpy(reinterpret_cast<void*>(base_ + import.slotRva), &value, 4);
        importSlots_.emplace_back(import.name, base_ + import.slotRva);
        slots_.push_back(std::move(slot));
    }
    return true;
}

bool LoadedImage::applyPatches(const std::vector<Patch>& patches, std::string& error) {
    for (const Patch& patch : patches) {
        const Routine* target = routine(patch.routine);
        if (target == nullptr)
            return error = "no routine " + patch.routine + " to patch", false;
        if (patch.offset + patch.bytes.size() > target->size)
            return error = "a patch past the end of " + patch.routine, false;
        std::memcpy(reinterpret_cast<void*>(loaded(target->address) + patch.offset),
                    patch.bytes.data(), patch.bytes.size());
    }
    return true;
}

// Each section as the platform maps it: code executable and read-only, data writable only where
// the section says so; the headers read-only; a discardable section (relocations) inaccessible.
void LoadedImage::protect(const PeFile& pe) {
    mprotect(reinterpret_cast<void*>(base_), 0x1000, PROT_READ);
    for (const PeSection& s : pe.sections) {
        int protection = PROT_NONE;
        if ((s.characteristics & PeSection::kDiscardable) == 0) {
            protection |= (s.characteristics & PeSection::kRead) != 0 ? PROT_READ : 0;
            protection |= (s.characteristics & PeSection::kWrite) != 0 ? PROT_WRITE : 0;
            protection |= (s.characteristics & PeSection::kExecute) != 0 ? PROT_EXEC : 0;
        }
        const std::uint32_t bytes = (std::max(s.virtualSize, s.rawSize) + 0xFFF) & ~0xFFFu;
        mprotect(reinterpret_cast<void*>(base_ + s.rva), bytes, protection);
    }
}

LoadedImage::~LoadedImage() {
    std::lock_guard lock(gImagesMutex);
    std::erase(gImages, this);
    if (base_ != 0)
        munmap(reinterpret_cast<void*>(base_), size_);
}

#else

std::unique_ptr<LoadedImage> LoadedImage::load(const std::string& path, std::string& error,
                                               const LoadOptions&) {
    error = baseName(path) + ": a kernel image runs only in the 32-bit build (preset host32)";
    return nullptr;
}

LoadedImage::~LoadedImage() = default;

#endif

PDRIVER_INITIALIZE LoadedImage::entry() const {
    return reinterpret_cast<PDRIVER_INITIALIZE>(base_ + entryRva_);
}

const Routine* LoadedImage::routineAt(std::uintptr_t address, std::uint32_t* offset) const {
    if (!map_ || !contains(address))
        return nullptr;
    const std::uint32_t linked = static_cast<std::uint32_t>(address - base_) + linkBase_;
    const Routine* routine = map_->routineAt(linked);
    if (routine != nullptr && offset != nullptr)
        *offset = linked - routine->address;
    return routine;
}

const Routine* LoadedImage::routine(const std::string& name) const {
    if (!map_)
        return nullptr;
    for (const Routine& r : map_->routines)
        if (r.name == name)
            return &r;
    return nullptr;
}

std::uintptr_t LoadedImage::importSlot(const std::string& name) const {
    for (const auto& [imported, slot] : importSlots_)
        if (imported == name)
            return slot;
    return 0;
}

SimCallSite LoadedImage::siteOf(std::uintptr_t from) const {
    std::uint32_t offset = 0;
    if (const Routine* routine = routineAt(from, &offset))
        return SimCallSite{name_.c_str(), routine->name.c_str(),
                           SimCallSite::kImageOffset | offset};
    return SimCallSite{name_.c_str(), "",
                       SimCallSite::kImageOffset | static_cast<unsigned>(from - base_)};
}

const LoadedImage* imageHolding(std::uintptr_t address) {
    std::lock_guard lock(gImagesMutex);
    for (const LoadedImage* image : gImages)
        if (image->contains(address))
            return image;
    return nullptr;
}

std::string describeAddress(std::uintptr_t address) {
    if (const LoadedImage* image = imageHolding(address)) {
        const SimCallSite site = image->siteOf(address);
        return image->name() + "!" + site.function +
               hex(site.line & ~SimCallSite::kImageOffset).replace(0, 0, "+");
    }
    return hex(static_cast<std::uint32_t>(address));
}

} // namespace sim::image
