// 64-bit division and remainder for the kernel image. i386 has no instruction for them, so GCC
// calls libgcc's helpers (__udivdi3 and friends). The image does not link libgcc (it would bring
// unwind tables and a C runtime's assumptions); these forward to the kernel's own helpers
// (_aulldiv, _aullrem, _alldiv, _allrem: stdcall, exported by every i386 kernel). A division by
// zero faults as it would in native code.
//
// Built into the kernel platform's static library: the linker takes this object, and the image
// imports the kernel helpers, only when driver code divides 64-bit values.
#include "platform/platform.h"

extern "C" {

DECLSPEC_IMPORT ULONGLONG NTAPI _aulldiv(ULONGLONG Dividend, ULONGLONG Divisor);
DECLSPEC_IMPORT ULONGLONG NTAPI _aullrem(ULONGLONG Dividend, ULONGLONG Divisor);
DECLSPEC_IMPORT LONGLONG NTAPI _alldiv(LONGLONG Dividend, LONGLONG Divisor);
DECLSPEC_IMPORT LONGLONG NTAPI _allrem(LONGLONG Dividend, LONGLONG Divisor);

unsigned long long __udivdi3(unsigned long long Dividend, unsigned long long Divisor) {
    return _aulldiv(Dividend, Divisor);
}

unsigned long long __umoddi3(unsigned long long Dividend, unsigned long long Divisor) {
    return _aullrem(Dividend, Divisor);
}

long long __divdi3(long long Dividend, long long Divisor) {
    return _alldiv(Dividend, Divisor);
}

long long __moddi3(long long Dividend, long long Divisor) {
    return _allrem(Dividend, Divisor);
}

// Quotient and remainder together, which GCC emits when both are used. The remainder follows
// from the quotient by a multiplication and a subtraction, both inline on i386; for the signed
// case they are done in unsigned arithmetic, where wrapping is defined and gives the same bits.
unsigned long long __udivmoddi4(unsigned long long Dividend, unsigned long long Divisor,
                                unsigned long long* Remainder) {
    const unsigned long long quotient = _aulldiv(Dividend, Divisor);
    if (Remainder != nullptr)
        *Remainder = Dividend - quotient * Divisor;
    return quotient;
}

long long __divmoddi4(long long Dividend, long long Divisor, long long* Remainder) {
    const long long quotient = _alldiv(Dividend, Divisor);
    if (Remainder != nullptr) {
        *Remainder = static_cast<long long>(static_cast<unsigned long long>(Dividend) -
                                            static_cast<unsigned long long>(quotient) *
                                                static_cast<unsigned long long>(Divisor));
    }
    return quotient;
}

} // extern "C"
