// memcmp for the kernel image. GCC calls it for GUID comparisons (GUID ==, IsEqualGUID) and
// RtlEqualMemory. Windows 2000's kernel is not known to export it, so the image carries its own
// instead of importing it; memcpy, memset and memmove are kernel exports and are imported.
//
// Built into the kernel platform's static library: the linker takes it only when something
// calls it.
#include <stddef.h>

extern "C" int memcmp(const void* Left, const void* Right, size_t Length) {
    const auto* left = static_cast<const unsigned char*>(Left);
    const auto* right = static_cast<const unsigned char*>(Right);
    for (size_t i = 0; i < Length; ++i) {
        if (left[i] != right[i])
            return left[i] < right[i] ? -1 : 1;
    }
    return 0;
}
