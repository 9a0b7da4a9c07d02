# Cross toolchain for the kernel image: 32-bit Windows (i386) with mingw-w64's GCC and binutils.
# Setting WDMUSB_KERNEL_BUILD makes the top-level CMakeLists.txt build wdmusb.sys and nothing else
# (no simulator, no tests of the host build).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 5.0)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(WDMUSB_KERNEL_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER ${WDMUSB_KERNEL_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${WDMUSB_KERNEL_TRIPLET}-g++)
set(CMAKE_RC_COMPILER ${WDMUSB_KERNEL_TRIPLET}-windres)
set(CMAKE_OBJDUMP ${WDMUSB_KERNEL_TRIPLET}-objdump)

# Only the target's headers and import libraries, never the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${WDMUSB_KERNEL_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A driver links no C runtime: the compiler check must not try to link an executable with one.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(WDMUSB_KERNEL_BUILD ON CACHE BOOL "Build the kernel image wdmusb.sys instead of the host build")
