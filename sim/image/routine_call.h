// How the simulator calls a routine the platform calls in a driver: its entry, AddDevice, unload,
// dispatch, completion and cancel routines, and a power request's completion. In the 32-bit build
// the call goes through a gate that prepares the thread for image code (image_exceptions.h) and
// checks that the routine took exactly its arguments off the stack, as every such routine does on
// i386 (stdcall): one that does not was built with another calling convention, and the process
// stops naming it. Elsewhere the call is a plain call.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "platform/host/host_platform.h"

namespace sim {

#if defined(__i386__)
namespace detail {
// Calls `routine` with `count` 32-bit arguments (the first at words[0]); the bytes it took off the
// stack go to *popped. Returns EAX.
extern "C" std::uint32_t wdmusb_call_stdcall(const void* routine, const std::uint32_t* words,
                                             std::uint32_t count, std::uint32_t* popped);
void prepareForRoutine();
[[noreturn]] void wrongConvention(const void* routine, std::uint32_t popped,
                                  std::uint32_t expected);

template <class T> std::uint32_t word(T value) {
    static_assert(sizeof(T) <= 4, "driver routines take 32-bit arguments");
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof value);
    return bits;
}
} // namespace detail

template <class R, class... A, class... B>
R callDriverRoutine(R(NTAPI* routine)(A...), B... arguments) {
    static_assert(sizeof...(A) == sizeof...(B));
    detail::prepareForRoutine();
    const std::uint32_t words[] = {detail::word(static_cast<A>(arguments))..., 0};
    std::uint32_t popped = 0;
    const std::uint32_t result = detail::wdmusb_call_stdcall(reinterpret_cast<const void*>(routine),
                                                             words, sizeof...(A), &popped);
    if (popped != 4 * sizeof...(A))
        detail::wrongConvention(reinterpret_cast<const void*>(routine), popped, 4 * sizeof...(A));
    if constexpr (!std::is_void_v<R>) {
        R value;
        std::memcpy(&value, &result, sizeof value);
        return value;
    }
}
#else
template <class R, class... A, class... B>
R callDriverRoutine(R(NTAPI* routine)(A...), B... arguments) {
    return routine(static_cast<A>(arguments)...);
}
#endif

} // namespace sim
