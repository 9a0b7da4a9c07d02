#include "sim/memory/unicode_strings.h"

#include <algorithm>

#include "sim/core/system.h"
#include "sim/memory/pool.h"

namespace {

// A counted string's lengths are in bytes and held in a USHORT, terminator included.
constexpr std::size_t kMaxCharacters = 0xFFFE / sizeof(WCHAR) - 1;

} // namespace

namespace sim {

void allocatePoolUnicodeString(UNICODE_STRING& out, std::u16string_view text,
                               const SimCallSite& site) {
    const std::size_t characters = std::min(text.size(), kMaxCharacters);
    const std::size_t bytes = (characters + 1) * sizeof(WCHAR);
    auto* buffer = static_cast<PWSTR>(current().pool().allocate(bytes, Pool::kPlatformTag, site));
    std::copy_n(text.data(), characters, buffer);
    buffer[characters] = u'\0';
    out.Buffer = buffer;
    out.Length = static_cast<USHORT>(characters * sizeof(WCHAR));
    out.MaximumLength = static_cast<USHORT>(bytes);
}

} // namespace sim

void NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    std::size_t characters = 0;
    if (SourceString != nullptr)
        characters = std::min(std::char_traits<WCHAR>::length(SourceString), kMaxCharacters);
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    DestinationString->Length = static_cast<USHORT>(characters * sizeof(WCHAR));
    DestinationString->MaximumLength =
        SourceString != nullptr ? static_cast<USHORT>((characters + 1) * sizeof(WCHAR)) : 0;
}

void NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString, SimCallSite Caller) {
    if (UnicodeString->Buffer != nullptr)
        sim::current().pool().free(UnicodeString->Buffer, Caller);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = 0;
}
