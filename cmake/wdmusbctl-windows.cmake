# wdmusbctl.exe: the application tool for Windows, a 32-bit console program built by the same
# mingw-w64 toolchain as wdmusb.sys from the same sources as the simulator build, against the
# platform's user-mode headers (windows.h, setupapi.h, winioctl.h). The C runtime and libstdc++ are
# linked in statically, so that the program needs nothing beside it but the system's DLLs.
include(${CMAKE_SOURCE_DIR}/cmake/wdmusbctl-sources.cmake)

# CLI11 is header-only: its folder from the build machine, on its own (never the machine's whole
# include folder, whose C library headers are not the target's).
find_path(WDMUSB_CLI11_INCLUDE_DIR CLI/CLI.hpp NO_CMAKE_FIND_ROOT_PATH REQUIRED
  DOC "The build machine's CLI11 headers (libcli11-dev)")
set(WDMUSB_CLI11_LINK_DIR ${CMAKE_CURRENT_BINARY_DIR}/cli11-include)
file(MAKE_DIRECTORY ${WDMUSB_CLI11_LINK_DIR})
file(CREATE_LINK ${WDMUSB_CLI11_INCLUDE_DIR}/CLI ${WDMUSB_CLI11_LINK_DIR}/CLI SYMBOLIC)

add_executable(wdmusbctl ${WDMUSBCTL_MAIN} ${WDMUSBCTL_SOURCES}
  ${CMAKE_SOURCE_DIR}/public/wdmusb_api.cpp)
target_include_directories(wdmusbctl PRIVATE ${CMAKE_SOURCE_DIR})
target_include_directories(wdmusbctl SYSTEM PRIVATE ${WDMUSB_CLI11_LINK_DIR})
# ANSI names (CreateFileA ...), as the simulator's API offers them; Windows 2000's API.
target_compile_definitions(wdmusbctl PRIVATE _WIN32_WINNT=0x0500 WIN32_LEAN_AND_MEAN)
target_compile_options(wdmusbctl PRIVATE -O2 -Wall -Wextra -Wpedantic -Wshadow -Wcast-align
  -Wunused -Woverloaded-virtual -Wnull-dereference -Wimplicit-fallthrough
  -Wno-missing-field-initializers -Werror)
target_link_options(wdmusbctl PRIVATE -static -s)
target_link_libraries(wdmusbctl PRIVATE setupapi kernel32)

# The application library's example (docs/application-library.md): a C program, linked as the
# tool is.
enable_language(C)
add_executable(hello_device ${CMAKE_SOURCE_DIR}/examples/hello_device.c
  ${CMAKE_SOURCE_DIR}/public/wdmusb_api.cpp)
target_include_directories(hello_device PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(hello_device PRIVATE _WIN32_WINNT=0x0500 WIN32_LEAN_AND_MEAN)
target_compile_options(hello_device PRIVATE -O2 -Wall -Wextra -Werror)
target_link_options(hello_device PRIVATE -static -s)
target_link_libraries(hello_device PRIVATE setupapi kernel32)

# The driver package: what an installation on Windows needs, in one folder.
set(WDMUSB_PACKAGE_DIR ${CMAKE_CURRENT_BINARY_DIR}/package)
add_custom_target(package ALL
  COMMAND ${CMAKE_COMMAND} -E make_directory ${WDMUSB_PACKAGE_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:wdmusb> ${WDMUSB_INF} $<TARGET_FILE:wdmusbctl>
          ${WDMUSB_PACKAGE_DIR}
  DEPENDS wdmusb wdmusb_inf wdmusbctl
  COMMENT "Packaging wdmusb.sys, wdmusb.inf and wdmusbctl.exe into package/")

add_test(NAME kernel.wdmusbctl
  COMMAND ${WDMUSB_BASH} ${CMAKE_SOURCE_DIR}/tests/kernel/check-wdmusbctl.sh
          ${WDMUSB_PACKAGE_DIR} ${WDMUSB_OBJDUMP})
