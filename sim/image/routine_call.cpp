#include "sim/image/routine_call.h"

#if defined(__i386__)

#include <cstdio>
#include <cstdlib>

#include "sim/image/image_exceptions.h"
#include "sim/image/loaded_image.h"

namespace sim::detail {

// The stack is aligned to 16 bytes at the call, as code built by the host compiler expects (the
// image's own code needs only 4).
__asm__(".text\n"
        ".globl wdmusb_call_stdcall\n"
        "wdmusb_call_stdcall:\n"
        "    pushl %ebp\n"
        "    movl %esp, %ebp\n"
        "    pushl %ebx\n"
        "    pushl %esi\n"
        "    pushl %edi\n"
        "    movl 12(%ebp), %esi\n" // words
        "    movl 16(%ebp), %ecx\n" // count
        "    leal (,%ecx,4), %eax\n"
        "    movl %esp, %edx\n"
        "    subl %eax, %edx\n"
        "    andl $15, %edx\n"
        "    subl %edx, %esp\n"
        "1:  testl %ecx, %ecx\n"
        "    jz 2f\n"
        "    decl %ecx\n"
        "    pushl (%esi,%ecx,4)\n"
        "    jmp 1b\n"
        "2:  movl %esp, %ebx\n" // callee-saved: the routine gives it back
        "    call *8(%ebp)\n"
        "    movl %esp, %ecx\n"
        "    subl %ebx, %ecx\n"
        "    movl 20(%ebp), %edx\n"
        "    movl %ecx, (%edx)\n"
        "    leal -12(%ebp), %esp\n"
        "    popl %edi\n"
        "    popl %esi\n"
        "    popl %ebx\n"
        "    popl %ebp\n"
        "    ret\n");

void prepareForRoutine() {
    image::prepareThreadForImage();
}

void wrongConvention(const void* routine, std::uint32_t popped, std::uint32_t expected) {
    std::fprintf(stderr,
                 "driver routine %s took %u bytes of arguments off the stack, not %u: it was not "
                 "built as the platform calls it (stdcall)\n",
                 image::describeAddress(reinterpret_cast<std::uintptr_t>(routine)).c_str(),
                 static_cast<unsigned>(popped), static_cast<unsigned>(expected));
    std::abort();
}

} // namespace sim::detail

#endif
