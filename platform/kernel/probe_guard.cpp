// ProbeAndLockPagesGuarded for the kernel image: structured exception handling without __try.
//
// MmProbeAndLockPages reports a bad user buffer by raising an exception (ExRaiseStatus), and GCC
// has no __try/__except. On i386 the exception dispatcher walks a chain of registration records
// that live on the stack; the head of the chain is the first word of the thread's TIB, at fs:[0]
// (in kernel mode FS addresses the processor control region, which begins with the same TIB).
// Each record is {Next, Handler}; the dispatcher calls Handler(ExceptionRecord, EstablisherFrame
// = the record's address, ContextRecord, DispatcherContext) for each record from the head down.
//
// The guard pushes its own record onto that chain for the duration of the one raising call:
//
//   1. It saves a resume point with __builtin_setjmp (frame pointer, stack pointer, resume label).
//   2. It links its record at fs:[0], calls MmProbeAndLockPages, and unlinks the record again.
//   3. If the call raises, the dispatcher calls GuardHandler with the record. The handler records
//      the exception code, has RtlUnwind run the unwind pass of every record above ours (handlers
//      of the routines between us and the raise, and the dispatcher's own) and unlink them, then
//      unlinks our record and __builtin_longjmp's to the resume point, abandoning the frames of the
//      raise. The guard then returns the recorded code as its status.
//
// Nothing here allocates, and the handler runs on the faulting thread's own stack. Unwinding
// passes (our record being unwound by a handler further down the chain) are declined: the guard
// catches every exception of the call, so no unwind can be targeted beyond our record while it
// is linked; declining is also what the platform expects of a frame with nothing to clean up.
#include "platform/platform.h"

// Part of the i386 exception ABI but declared only by the user-mode headers.
extern "C" DECLSPEC_IMPORT VOID NTAPI RtlUnwind(PVOID TargetFrame, PVOID TargetIp,
                                                PEXCEPTION_RECORD ExceptionRecord,
                                                PVOID ReturnValue);

namespace {

// EXCEPTION_RECORD.ExceptionFlags bits that mark an unwinding pass (EXCEPTION_UNWINDING 0x02,
// EXCEPTION_EXIT_UNWIND 0x04, EXCEPTION_TARGET_UNWIND 0x20, EXCEPTION_COLLIDED_UNWIND 0x40).
constexpr ULONG kUnwindingFlags = 0x66;

// The dispatcher's return codes (EXCEPTION_DISPOSITION).
constexpr int kContinueSearch = 1;

struct GuardRecord;
using GuardHandlerRoutine = int(__cdecl*)(PEXCEPTION_RECORD, PVOID, PVOID, PVOID);

// The platform's registration record ({Next, Handler}, offsets 0 and 4) followed by the guard's
// own state, which the handler reaches through EstablisherFrame. The dispatcher rejects records
// that are not 4-byte aligned or not on the current stack: this one is a local of the guard.
struct GuardRecord {
    GuardRecord* Next;
    GuardHandlerRoutine Handler;
    void* ResumePoint[5]; // __builtin_setjmp's buffer
    NTSTATUS Code;        // the exception code, written by the handler before it resumes
};
static_assert(offsetof(GuardRecord, Next) == 0 && offsetof(GuardRecord, Handler) == 4,
              "the dispatcher reads Next and Handler at the start of the record");
static_assert(alignof(GuardRecord) >= 4);

GuardRecord* ReadChainHead() {
    GuardRecord* head;
    __asm__ volatile("movl %%fs:0, %0" : "=r"(head) : : "memory");
    return head;
}

// The "memory" clobber orders the write after the record's fields are stored and before
// anything that follows, so the dispatcher never sees a half-built record.
void WriteChainHead(GuardRecord* head) {
    __asm__ volatile("movl %0, %%fs:0" : : "r"(head) : "memory");
}

// RtlUnwind(TargetFrame, TargetIp = NULL, ExceptionRecord, ReturnValue = 0): calls the unwind
// pass of each record above TargetFrame and unlinks it, stopping at TargetFrame (left linked).
// It returns by restoring a context it captured on entry, in which EBX, ESI and EDI are not
// preserved, so they are saved on the stack around the call here; EBP and ESP come back intact.
// The inputs sit in EAX, EDX and ECX, which the call may trash and the compiler is told about.
void UnwindUpTo(GuardRecord* target, PEXCEPTION_RECORD exception) {
    void* frame = target;
    void* record = exception;
    void* routine = reinterpret_cast<void*>(&RtlUnwind);
    __asm__ volatile("pushl %%ebx\n\t"
                     "pushl %%esi\n\t"
                     "pushl %%edi\n\t"
                     "pushl $0\n\t" // ReturnValue
                     "pushl %1\n\t" // ExceptionRecord
                     "pushl $0\n\t" // TargetIp: return here
                     "pushl %0\n\t" // TargetFrame
                     "call *%2\n\t" // stdcall: pops its four arguments
                     "popl %%edi\n\t"
                     "popl %%esi\n\t"
                     "popl %%ebx"
                     : "+a"(frame), "+d"(record), "+c"(routine)
                     :
                     : "memory", "cc");
}

// Called by the dispatcher for each exception raised while the record is linked; also for unwind
// passes started by others, which it declines. Never returns for a dispatching pass.
int __cdecl GuardHandler(PEXCEPTION_RECORD ExceptionRecord, PVOID EstablisherFrame,
                         PVOID ContextRecord, PVOID DispatcherContext) {
    UNREFERENCED_PARAMETER(ContextRecord);
    UNREFERENCED_PARAMETER(DispatcherContext);
    if ((ExceptionRecord->ExceptionFlags & kUnwindingFlags) != 0)
        return kContinueSearch;

    GuardRecord* record = static_cast<GuardRecord*>(EstablisherFrame);
    record->Code = ExceptionRecord->ExceptionCode;
    UnwindUpTo(record, ExceptionRecord);
    // Our record is now the head of the chain: unlink it before its frame is reused.
    WriteChainHead(record->Next);
    __builtin_longjmp(record->ResumePoint, 1);
}

} // namespace

// noinline keeps the setjmp receiver and the record in this one frame, whatever the caller.
extern "C" __attribute__((noinline)) NTSTATUS NTAPI
ProbeAndLockPagesGuarded(PMDL Mdl, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
    GuardRecord record;
    record.Handler = GuardHandler;
    record.Code = STATUS_SUCCESS;
    if (__builtin_setjmp(record.ResumePoint) == 0) {
        record.Next = ReadChainHead();
        WriteChainHead(&record);
        MmProbeAndLockPages(Mdl, AccessMode, Operation);
        WriteChainHead(record.Next);
        return STATUS_SUCCESS;
    }
    // Resumed by GuardHandler: the record is already unlinked and Code holds the exception code.
    // The read goes through volatile because the store happened behind the compiler's back.
    const NTSTATUS code = *static_cast<volatile NTSTATUS*>(&record.Code);
    // A raise always carries a failure code; never let a probe that did not lock the pages pass
    // for success.
    return NT_SUCCESS(code) ? STATUS_UNSUCCESSFUL : code;
}
