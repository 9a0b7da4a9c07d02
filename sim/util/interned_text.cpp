#include "sim/util/interned_text.h"

#include <link.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>

namespace sim {

namespace {

struct Table {
    std::mutex mutex;                      // guards texts
    std::unordered_set<std::string> texts; // nodes never move: their c_str() stays valid
};

Table& table() {
    static Table* made = new Table(); // never destroyed: interned texts outlive every record
    return *made;
}

const char* internSlow(const char* text) {
    Table& t = table();
    std::lock_guard lock(t.mutex);
    return t.texts.emplace(text).first->c_str();
}

// Whether the text lies in a read-only segment of a loaded program or library, where the literals
// of call sites are: such a text cannot change under the same address.
bool inReadOnlySegment(const char* text) {
    struct Search {
        std::uintptr_t address;
        bool found = false;
    } search{reinterpret_cast<std::uintptr_t>(text)};
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto& s = *static_cast<Search*>(data);
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& segment = info->dlpi_phdr[i];
                const std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
                if (segment.p_type == PT_LOAD && (segment.p_flags & PF_W) == 0 &&
                    s.address >= start && s.address - start < segment.p_memsz) {
                    s.found = true;
                    return 1;
                }
            }
            return 0;
        },
        &search);
    return search.found;
}

// What each thread saw last, by the caller's pointer. A call site passes the same literal every
// time, so almost every lookup ends here. A text that is not a literal (built at run time) is
// compared as well: another text later at its address must not be taken for it.
struct CacheEntry {
    const char* given = nullptr;
    const char* interned = nullptr;
    bool literal = false;
};
constexpr std::size_t kCacheEntries = 1024;
thread_local CacheEntry tCache[kCacheEntries];

} // namespace

const char* internText(const char* text) {
    if (text == nullptr)
        text = "?";
    CacheEntry& entry = tCache[(reinterpret_cast<std::uintptr_t>(text) >> 3) % kCacheEntries];
    if (entry.given == text && (entry.literal || std::strcmp(entry.interned, text) == 0))
        return entry.interned;
    entry = {text, internSlow(text), inReadOnlySegment(text)};
    return entry.interned;
}

} // namespace sim
