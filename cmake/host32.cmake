# The 32-bit host build's programs run natively where the machine's kernel runs i386 programs, and
# under qemu's user-mode emulator (qemu-i386, package qemu-user) where it does not (a kernel built
# without, or started with, its 32-bit emulation off). Every test and every test script starts
# them through WDMUSB_RUN32, which is empty in the first case.
set(WDMUSB_RUN32 "")
set(probe ${CMAKE_BINARY_DIR}/CMakeFiles/i386-probe)
try_compile(compiled SOURCE_FROM_CONTENT probe.cpp "int main() { return 0; }"
            COPY_FILE ${probe})
if(NOT compiled)
  message(FATAL_ERROR "The compiler cannot build 32-bit programs: run scripts/setup.sh "
                      "(g++-multilib)")
endif()
execute_process(COMMAND ${probe} RESULT_VARIABLE native OUTPUT_QUIET ERROR_QUIET)
if(NOT native STREQUAL "0")
  find_program(WDMUSB_QEMU_I386 qemu-i386 REQUIRED
               DOC "qemu's user-mode emulator, for a machine that cannot run i386 programs")
  execute_process(COMMAND ${WDMUSB_QEMU_I386} ${probe} RESULT_VARIABLE emulated)
  if(NOT emulated STREQUAL "0")
    message(FATAL_ERROR "i386 programs run neither natively nor under ${WDMUSB_QEMU_I386}")
  endif()
  message(STATUS "This machine does not run i386 programs: tests run them under ${WDMUSB_QEMU_I386}")
  set(WDMUSB_RUN32 ${WDMUSB_QEMU_I386})
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${WDMUSB_RUN32})
