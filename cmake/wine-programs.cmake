# The Win32 programs of the Wine run, built with the same mingw-w64 toolchain as the kernel images
# but as ordinary console programs: C runtime and libstdc++ linked in statically, so that Wine
# needs no DLL of the toolchain.
function(wdmusb_win32_program target)
  add_executable(${target} ${ARGN})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(${target} PRIVATE UNICODE _UNICODE _WIN32_WINNT=0x0600)
  target_compile_options(${target} PRIVATE -O2 -Wall -Wextra -Wshadow -Wno-missing-field-initializers -Werror)
  target_link_options(${target} PRIVATE -static)
endfunction()

file(GLOB WDMUSB_WINE_HARNESS_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/wine/harness/*.cpp)
wdmusb_win32_program(wine-harness ${WDMUSB_WINE_HARNESS_SOURCES}
  ${CMAKE_SOURCE_DIR}/public/wdmusb_api.cpp)
target_link_libraries(wine-harness PRIVATE setupapi newdev)
target_link_options(wine-harness PRIVATE -municode) # wmain

# The guarded probe of the kernel image, compiled exactly as for the image, in a Win32 test
# program that runs it under Wine.
add_library(wdmusb_probe_guard_object OBJECT ${CMAKE_SOURCE_DIR}/platform/kernel/probe_guard.cpp)
wdmusb_kernel_compile_settings(wdmusb_probe_guard_object)
wdmusb_win32_program(probe-guard-test ${CMAKE_SOURCE_DIR}/tests/wine/probe_guard/probe_guard_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/wine/probe_guard/probe_stand_in.cpp
  $<TARGET_OBJECTS:wdmusb_probe_guard_object>)

# wdmusb.sys with an import Wine does not export, for the run that must fail to install it.
wdmusb_kernel_image(wdmusb_missing_import ${WDMUSB_DRIVER_SOURCES}
  ${CMAKE_SOURCE_DIR}/tests/wine/missing_import.cpp)
target_link_options(wdmusb_missing_import PRIVATE LINKER:--entry,_DriverEntryWithMissingImport@8)
