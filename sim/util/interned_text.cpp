#include "sim/util/interned_text.h"

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

// What each thread saw last, by the caller's pointer. A call site passes the same literal every
// time, so almost every lookup ends here; the comparison keeps a text built at run time, freed,
// and another one later at its address from being taken for the old one.
struct CacheEntry {
    const char* given = nullptr;
    const char* interned = nullptr;
};
constexpr std::size_t kCacheEntries = 256;
thread_local CacheEntry tCache[kCacheEntries];

} // namespace

const char* internText(const char* text) {
    if (text == nullptr)
        text = "?";
    CacheEntry& entry = tCache[(reinterpret_cast<std::uintptr_t>(text) >> 3) % kCacheEntries];
    if (entry.given == text && std::strcmp(entry.interned, text) == 0)
        return entry.interned;
    entry = {text, internSlow(text)};
    return entry.interned;
}

} // namespace sim
