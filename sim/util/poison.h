// Filling memory that must not be used again, and telling AddressSanitizer about it when present.
#pragma once

#include <cstddef>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace sim {

constexpr unsigned char kFreedPoison = 0xDD;

inline void poisonFreed(void* memory, std::size_t size) {
    std::memset(memory, kFreedPoison, size);
#if defined(__SANITIZE_ADDRESS__)
    ASAN_POISON_MEMORY_REGION(memory, size);
#endif
}

// Memory kept for reuse: any use before it is handed out again is AddressSanitizer's to report.
inline void poisonUnused(void* memory, std::size_t size) {
#if defined(__SANITIZE_ADDRESS__)
    ASAN_POISON_MEMORY_REGION(memory, size);
#else
    (void)memory;
    (void)size;
#endif
}

inline void unpoison(void* memory, std::size_t size) {
#if defined(__SANITIZE_ADDRESS__)
    ASAN_UNPOISON_MEMORY_REGION(memory, size);
#else
    (void)memory;
    (void)size;
#endif
}

} // namespace sim
