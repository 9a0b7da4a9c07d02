// Run-time library: counted strings and memory helpers.
#pragma once

#include <cstring>

#include "nt_types.h"
#include "call_site.h"

void NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
// Frees a string whose buffer the platform allocated (for example a registered interface's name).
void NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString SIM_CALLER_PARAM);

#define RtlCopyMemory(Destination, Source, Length)  memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length)  memmove((Destination), (Source), (Length))
#define RtlZeroMemory(Destination, Length)          memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill)    memset((Destination), (Fill), (Length))
#define RtlEqualMemory(Destination, Source, Length) (!memcmp((Destination), (Source), (Length)))
