// A stand-in driver that uses what driver code may make the compiler or the platform layer pull
// in: 64-bit division and remainder (signed and unsigned, apart and together), GUID comparison
// (memcmp), structure copies and fills (memcpy, memset) and the guarded probe. Linked exactly as
// wdmusb.sys is and checked by the same script, it shows that such code links without libgcc and
// imports only routines on the allowlist, before any driver file needs it.
#include "platform/platform.h"

namespace {

struct Totals {
    ULONGLONG Bytes;
    LONGLONG Delta;
    ULONG Words[16];
};

// volatile keeps the compiler from folding the arithmetic away.
volatile ULONGLONG gUnsigned = 123456789012345ULL;
volatile LONGLONG gSigned = -98765432109876LL;

} // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    const ULONGLONG u = gUnsigned;
    const LONGLONG s = gSigned;
    const ULONGLONG divisor = RegistryPath->Length + 1u;
    const LONGLONG signedDivisor = -static_cast<LONGLONG>(divisor);

    Totals totals;
    RtlZeroMemory(&totals, sizeof(totals));
    totals.Bytes = u / divisor + u % divisor;
    totals.Delta = s / signedDivisor + s % signedDivisor;
    const ULONGLONG quotient = u / (divisor + 1);
    const ULONGLONG remainder = u % (divisor + 1);
    const LONGLONG signedQuotient = s / (signedDivisor - 1);
    const LONGLONG signedRemainder = s % (signedDivisor - 1);
    totals.Words[0] = static_cast<ULONG>(quotient + remainder);
    totals.Words[1] = static_cast<ULONG>(signedQuotient + signedRemainder);

    Totals copy;
    RtlCopyMemory(&copy, &totals, sizeof(copy));

    static const GUID kFirst = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    const GUID* other = reinterpret_cast<const GUID*>(RegistryPath->Buffer);
    const bool same = (*other == kFirst);

    const NTSTATUS probed = ProbeAndLockPagesGuarded(
        reinterpret_cast<PMDL>(DriverObject->DriverSection), UserMode, IoWriteAccess);

    return (same || copy.Words[0] == 0) ? probed : STATUS_SUCCESS;
}
