// The marker of a pipe bound to an open handle: the PipeFlags word of the pipe's record in an
// interface copy, 1 while a handle holds the pipe, 0 when it is free.
//
// Binding (open), unbinding (close) and the unbinding of AbortOpenPipes can run at the same time
// on several processors. Each changes a marker only by an interlocked compare-exchange and acts on
// OpenPipeCount only when its own exchange changed the marker, so no two opens bind the same pipe
// and no marker is counted off twice. Any IRQL.
#pragma once

#include "platform/platform.h"
#include "driver/shared_flag.h"

constexpr LONG WDMUSB_PIPE_FREE = 0;
constexpr LONG WDMUSB_PIPE_BOUND = 1;

inline LONG volatile* PipeMarker(PUSBD_PIPE_INFORMATION Pipe) {
    return reinterpret_cast<LONG volatile*>(&Pipe->PipeFlags);
}

// Marks a free pipe bound; FALSE when it was already bound.
inline BOOLEAN TryBindPipe(PUSBD_PIPE_INFORMATION Pipe) {
    return InterlockedCompareExchange(PipeMarker(Pipe), WDMUSB_PIPE_BOUND, WDMUSB_PIPE_FREE) ==
           WDMUSB_PIPE_FREE;
}

// Marks a bound pipe free; FALSE when it was already free (someone else unbound it).
inline BOOLEAN TryUnbindPipe(PUSBD_PIPE_INFORMATION Pipe) {
    return InterlockedCompareExchange(PipeMarker(Pipe), WDMUSB_PIPE_FREE, WDMUSB_PIPE_BOUND) ==
           WDMUSB_PIPE_BOUND;
}

inline BOOLEAN IsPipeBound(PUSBD_PIPE_INFORMATION Pipe) {
    return ReadShared(Pipe->PipeFlags) != static_cast<ULONG>(WDMUSB_PIPE_FREE);
}
