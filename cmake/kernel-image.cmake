# The kernel image wdmusb.sys for 32-bit Windows (Windows 2000 and later), cross-compiled with
# mingw-w64 (cmake/toolchain-i686-w64-mingw32.cmake sets WDMUSB_KERNEL_BUILD). It is built from
# the same driver sources as the host library, against the platform's real headers, and checked
# by CTest: PE format, imports against an allowlist of Windows 2000 routines, sections, checksum,
# and the installation file.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU" OR NOT CMAKE_SYSTEM_NAME STREQUAL "Windows")
  message(FATAL_ERROR "The kernel image needs the i686-w64-mingw32 toolchain: "
                      "configure with --preset kernel")
endif()

set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS ON)
# Nothing of the Windows user-mode defaults: no kernel32 & co., no -O3 of the Release type.
set(CMAKE_CXX_STANDARD_LIBRARIES "")
set(CMAKE_CXX_FLAGS_RELEASE "-DNDEBUG")
# The plain link line: no import library and no image version from target properties (the
# flags below say it all).
set(CMAKE_CXX_LINK_EXECUTABLE
  "<CMAKE_CXX_COMPILER> <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")

enable_testing()

find_path(WDMUSB_DDK_INCLUDE_DIR wdm.h PATH_SUFFIXES ddk REQUIRED
  DOC "mingw-w64's ddk header folder (wdm.h, usbdlib.h)")
find_program(WDMUSB_OBJDUMP NAMES ${CMAKE_OBJDUMP} i686-w64-mingw32-objdump REQUIRED)
find_program(WDMUSB_DLLTOOL NAMES i686-w64-mingw32-dlltool REQUIRED)
find_program(WDMUSB_BASH bash REQUIRED)

# --- Compile flags -----------------------------------------------------------------------------
# Freestanding kernel code: no exceptions, unwind tables, stack probes or floating point (an
# accidental float becomes a compile error through -mgeneral-regs-only).
set(WDMUSB_KERNEL_COMPILE_OPTIONS
  -march=i586 -O2 -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics -fcheck-new
  -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-stack-protector -fno-stack-check
  -mno-stack-arg-probe -mgeneral-regs-only -fno-strict-aliasing -ffunction-sections
  -fdata-sections -fno-ident
  -Wall -Wextra -Wpedantic -Wshadow -Wcast-align -Wunused -Woverloaded-virtual
  -Wnull-dereference -Wimplicit-fallthrough -Wno-missing-field-initializers
  -Wframe-larger-than=1024 -Werror)

set(WDMUSB_KERNEL_DEFINITIONS
  WDMUSB_KERNEL_BUILD
  # Windows 2000: the headers then leave out (or refuse) what later versions added.
  _WIN32_WINNT=0x0500
  # With _WIN32_WINNT 0x0500, wdm.h compares NTDDI_VERSION against NTDDI_WINVISTA without
  # defining it.
  NTDDI_WINVISTA=0x06000000
  # In C++, wdm.h's inline InterlockedBitTestAndSet/Reset clash with intrin.h's.
  __INTRINSIC_DEFINED_InterlockedBitTestAndSet
  __INTRINSIC_DEFINED_InterlockedBitTestAndReset)

function(wdmusb_kernel_compile_settings target)
  target_compile_options(${target} PRIVATE ${WDMUSB_KERNEL_COMPILE_OPTIONS})
  target_compile_definitions(${target} PRIVATE ${WDMUSB_KERNEL_DEFINITIONS})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  # As system headers: their own warnings are not ours to fix.
  target_include_directories(${target} SYSTEM PRIVATE ${WDMUSB_DDK_INCLUDE_DIR})
endfunction()

# --- The kernel platform -------------------------------------------------------------------------
# The guarded probe, the compiler's runtime helpers and the layout checks. A static library: the
# linker takes an object only when something in the image calls into it, so an unused helper
# adds neither code nor imports. It comes before the import libraries, so its memcmp wins.
file(GLOB WDMUSB_KERNEL_PLATFORM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/kernel/*.cpp)
add_library(wdmusb_kernel_platform STATIC ${WDMUSB_KERNEL_PLATFORM_SOURCES})
wdmusb_kernel_compile_settings(wdmusb_kernel_platform)

# The USB driver interface's import library, made from our own list (see usbd-imports.def).
set(WDMUSB_USBD_DEF ${CMAKE_SOURCE_DIR}/platform/kernel/usbd-imports.def)
set(WDMUSB_USBD_IMPORTS ${CMAKE_CURRENT_BINARY_DIR}/libwdmusb_usbd.a)
add_custom_command(OUTPUT ${WDMUSB_USBD_IMPORTS}
  COMMAND ${WDMUSB_DLLTOOL} --kill-at --input-def ${WDMUSB_USBD_DEF}
          --output-lib ${WDMUSB_USBD_IMPORTS}
  DEPENDS ${WDMUSB_USBD_DEF}
  COMMENT "Making the USBD.SYS import library")
add_custom_target(wdmusb_usbd_imports DEPENDS ${WDMUSB_USBD_IMPORTS})

# --- The images' time stamp ------------------------------------------------------------------------
# The PE header's TimeDateStamp is how a crash dump is matched with the image and its symbols. It is
# the time of the commit built (SOURCE_DATE_EPOCH when set), so that the same commit always gives
# the same image. A new commit re-runs the configuration through git's log of HEAD.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(WDMUSB_IMAGE_TIMESTAMP $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(COMMAND git -C ${CMAKE_SOURCE_DIR} log -1 --format=%ct
    OUTPUT_VARIABLE WDMUSB_IMAGE_TIMESTAMP OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  execute_process(COMMAND git -C ${CMAKE_SOURCE_DIR} rev-parse --path-format=absolute
                          --git-path logs/HEAD
    OUTPUT_VARIABLE WDMUSB_GIT_HEAD_LOG OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(WDMUSB_GIT_HEAD_LOG AND EXISTS ${WDMUSB_GIT_HEAD_LOG})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${WDMUSB_GIT_HEAD_LOG})
  endif()
endif()
if(NOT WDMUSB_IMAGE_TIMESTAMP MATCHES "^[1-9][0-9]*$")
  message(FATAL_ERROR "No time for the images' TimeDateStamp: build from a git checkout or set "
                      "SOURCE_DATE_EPOCH")
endif()

# --- Images --------------------------------------------------------------------------------------
# A native image entered at DriverEntry, with relocations (the loader places drivers anywhere),
# no C runtime and no import that resolves through a runtime pseudo-relocation. ld writes the PE
# checksum itself; -s keeps it (and the image) free of symbols. Not -shared: that would make it
# a DLL with an export section. The map file lets the checks find DriverEntry and the archives
# that contributed.
function(wdmusb_kernel_image target)
  add_executable(${target} ${ARGN})
  wdmusb_kernel_compile_settings(${target})
  set_target_properties(${target} PROPERTIES SUFFIX .sys)
  target_link_options(${target} PRIVATE
    -nostdlib -nostartfiles -s
    LINKER:--entry,_DriverEntry@8
    LINKER:--subsystem,native:5.00
    LINKER:--major-os-version,5,--minor-os-version,0
    LINKER:--major-image-version,5,--minor-image-version,0
    LINKER:--image-base,0x10000
    LINKER:--section-alignment,0x1000,--file-alignment,0x200
    LINKER:--enable-reloc-section
    LINKER:--wdmdriver
    LINKER:--disable-auto-import,--disable-runtime-pseudo-reloc,--disable-stdcall-fixup
    LINKER:--gc-sections
    LINKER:--insert-timestamp
    LINKER:-Map,$<TARGET_FILE_DIR:${target}>/${target}.map)
  # ld takes the stamp from SOURCE_DATE_EPOCH (and writes the checksum over it).
  set_target_properties(${target} PROPERTIES RULE_LAUNCH_LINK
    "${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${WDMUSB_IMAGE_TIMESTAMP}")
  target_link_libraries(${target} PRIVATE wdmusb_kernel_platform ${WDMUSB_USBD_IMPORTS} ntoskrnl hal)
  add_dependencies(${target} wdmusb_usbd_imports)
endfunction()

wdmusb_kernel_image(wdmusb ${WDMUSB_DRIVER_SOURCES})

# Links what driver code may pull in (64-bit division, memcmp, the guarded probe) the same way,
# so the checks below show it stays within the allowlist before a driver file relies on it.
wdmusb_kernel_image(wdmusb_link_probe ${CMAKE_SOURCE_DIR}/tests/kernel/link_probe.cpp)

# Every name the host declarations offer driver code must exist in this build as well, and every
# routine among them must be on the allowlist: an image that uses them all.
wdmusb_kernel_image(wdmusb_platform_names ${CMAKE_SOURCE_DIR}/tests/kernel/platform_names.cpp)

# --- Installation file -------------------------------------------------------------------------
set(WDMUSB_INF_SOURCE ${CMAKE_SOURCE_DIR}/install/wdmusb.inf)
set(WDMUSB_INF ${CMAKE_CURRENT_BINARY_DIR}/wdmusb.inf)
add_custom_command(OUTPUT ${WDMUSB_INF}
  COMMAND ${CMAKE_COMMAND} -E copy ${WDMUSB_INF_SOURCE} ${WDMUSB_INF}
  DEPENDS ${WDMUSB_INF_SOURCE}
  COMMENT "Copying wdmusb.inf next to wdmusb.sys")
add_custom_target(wdmusb_inf ALL DEPENDS ${WDMUSB_INF})

# --- Checks of the result ----------------------------------------------------------------------
set(WDMUSB_ALLOWED_IMPORTS ${CMAKE_SOURCE_DIR}/tests/kernel/allowed-imports.txt)
add_test(NAME kernel.image
  COMMAND ${WDMUSB_BASH} ${CMAKE_SOURCE_DIR}/tests/kernel/check-image.sh
          $<TARGET_FILE:wdmusb> ${WDMUSB_ALLOWED_IMPORTS} ${WDMUSB_OBJDUMP}
          ${CMAKE_CURRENT_BINARY_DIR}/wdmusb.map)
set_tests_properties(kernel.image PROPERTIES
  ENVIRONMENT WDMUSB_IMAGE_TIMESTAMP=${WDMUSB_IMAGE_TIMESTAMP})
add_test(NAME kernel.link_probe
  COMMAND ${WDMUSB_BASH} ${CMAKE_SOURCE_DIR}/tests/kernel/check-image.sh
          $<TARGET_FILE:wdmusb_link_probe> ${WDMUSB_ALLOWED_IMPORTS} ${WDMUSB_OBJDUMP}
          ${CMAKE_CURRENT_BINARY_DIR}/wdmusb_link_probe.map)
add_test(NAME kernel.platform_names
  COMMAND ${WDMUSB_BASH} ${CMAKE_SOURCE_DIR}/tests/kernel/check-image.sh
          $<TARGET_FILE:wdmusb_platform_names> ${WDMUSB_ALLOWED_IMPORTS} ${WDMUSB_OBJDUMP}
          ${CMAKE_CURRENT_BINARY_DIR}/wdmusb_platform_names.map)
add_test(NAME kernel.platform_names_complete
  COMMAND ${WDMUSB_BASH} ${CMAKE_SOURCE_DIR}/tests/kernel/check-platform-names.sh
          ${CMAKE_SOURCE_DIR}/platform/host ${CMAKE_SOURCE_DIR}/tests/kernel/platform_names.cpp
          ${CMAKE_SOURCE_DIR}/tests/kernel/host-only-names.txt)
add_test(NAME kernel.inf
  COMMAND ${WDMUSB_BASH} ${CMAKE_SOURCE_DIR}/tests/kernel/check-inf.sh ${WDMUSB_INF})
# An IRP one field short in the platform's header stops the build at the layout checks.
list(TRANSFORM WDMUSB_KERNEL_DEFINITIONS PREPEND -D OUTPUT_VARIABLE WDMUSB_KERNEL_DEFINE_FLAGS)
add_test(NAME kernel.layout_short
  COMMAND ${WDMUSB_BASH} ${CMAKE_SOURCE_DIR}/tests/kernel/check-layout-short.sh kernel
          ${CMAKE_SOURCE_DIR} ${WDMUSB_DDK_INCLUDE_DIR} ${CMAKE_CXX_COMPILER}
          ${WDMUSB_KERNEL_DEFINE_FLAGS} -march=i586 -ffreestanding -fno-exceptions)

# The checkers must catch what they are for: each runs against images and INFs made broken.
add_test(NAME kernel.checkers
  COMMAND ${WDMUSB_BASH} ${CMAKE_SOURCE_DIR}/tests/kernel/check-checkers.sh
          ${CMAKE_SOURCE_DIR}/tests/kernel $<TARGET_FILE:wdmusb> ${WDMUSB_INF}
          ${WDMUSB_OBJDUMP} ${CMAKE_CURRENT_BINARY_DIR}/wdmusb.map)

# --- The application tool and the package ----------------------------------------------------
include(cmake/wdmusbctl-windows.cmake)

# --- Under Wine --------------------------------------------------------------------------------
include(cmake/loopbus.cmake)
include(cmake/wine-programs.cmake)
include(cmake/wine-tests.cmake)
