# The Wine run (label "wine"): the kernel images and the Win32 programs of this build on Wine's
# implementation of the platform, each test in a prefix of its own under wine/ in the build
# folder. scripts/setup.sh installs Wine.
find_program(WDMUSB_WINE wine NO_CMAKE_FIND_ROOT_PATH)
set(WDMUSB_WINE_TESTS ${CMAKE_SOURCE_DIR}/tests/wine)
set(WDMUSB_WINE_WORK ${CMAKE_CURRENT_BINARY_DIR}/wine)

if(NOT WDMUSB_WINE)
  add_test(NAME wine.installed COMMAND ${CMAKE_COMMAND} -E echo
           "FAIL: Wine is not installed: run scripts/setup.sh")
  set_tests_properties(wine.installed PROPERTIES LABELS wine WILL_FAIL ON)
  return()
endif()

find_path(WDMUSB_WINE_DLL_DIR ntoskrnl.exe NO_CMAKE_FIND_ROOT_PATH
  PATHS /usr/lib/i386-linux-gnu/wine/i386-windows /usr/lib/wine/i386-windows
  DOC "Wine's i386 PE modules")

# Every test that starts Wine is skipped, saying why, on a machine that cannot run 32-bit
# programs (tests/wine/needs-i386.sh); the checks of the images alone run everywhere.
function(wdmusb_wine_test name)
  if(name MATCHES "^imports")
    add_test(NAME wine.${name} COMMAND ${WDMUSB_BASH} ${ARGN})
  else()
    add_test(NAME wine.${name}
             COMMAND ${WDMUSB_BASH} ${WDMUSB_WINE_TESTS}/needs-i386.sh ${WDMUSB_BASH} ${ARGN})
  endif()
  set_tests_properties(wine.${name} PROPERTIES LABELS wine TIMEOUT 300 SKIP_RETURN_CODE 77)
endfunction()

# Wine loads an image even when it lacks one of its imports, and exports some routines only as
# stubs that abort when called: the tables say whether it does. The stubs the test bus replaces by
# its own (loopbus/supplied_routines.cpp) pass.
set(WDMUSB_WINE_SUPPLIED --supplied IoBuildPartialMdl --supplied PoRequestPowerIrp)
wdmusb_wine_test(imports ${WDMUSB_WINE_TESTS}/check-wine-imports.sh ${WDMUSB_OBJDUMP}
  ${WDMUSB_WINE_DLL_DIR} ${WDMUSB_WINE_SUPPLIED} $<TARGET_FILE:wdmusb> $<TARGET_FILE:loopbus>)
wdmusb_wine_test(imports_checker ${WDMUSB_WINE_TESTS}/expect-failure.sh -
  "wdmusb_missing_import.sys imports what Wine does not export: ntoskrnl.exe!ExAcquireSpinLockExclusive$"
  ${WDMUSB_BASH} ${WDMUSB_WINE_TESTS}/check-wine-imports.sh ${WDMUSB_OBJDUMP} ${WDMUSB_WINE_DLL_DIR}
  ${WDMUSB_WINE_SUPPLIED} $<TARGET_FILE:wdmusb_missing_import>)
# A stub not replaced counts as missing: the image imports PoRequestPowerIrp.
wdmusb_wine_test(imports_stub ${WDMUSB_WINE_TESTS}/expect-failure.sh -
  "wdmusb.sys imports what Wine does not export: .*ntoskrnl.exe!PoRequestPowerIrp \\(a stub\\)"
  ${WDMUSB_BASH} ${WDMUSB_WINE_TESTS}/check-wine-imports.sh ${WDMUSB_OBJDUMP} ${WDMUSB_WINE_DLL_DIR}
  $<TARGET_FILE:wdmusb>)

# The guarded probe's exception frame, run on Wine's exception dispatcher and RtlUnwind.
wdmusb_wine_test(probe_guard ${WDMUSB_WINE_TESTS}/run-probe-guard.sh
  $<TARGET_FILE:probe-guard-test> ${WDMUSB_WINE_WORK}/probe-guard)

# The bus and the driver installed from their INFs by scripts/try-wine.sh, the commands it prints
# run, the device driven by wdmusbctl.exe, unplugged under a read. Until the driver dispatches IRP_MJ_CREATE the run leaves
# out the steps with wdmusbctl.exe, and the run that must fail in them is disabled.
file(STRINGS ${CMAKE_SOURCE_DIR}/driver/entry.cpp WDMUSB_WINE_DRIVER_OPENS REGEX "IRP_MJ_CREATE")
if(WDMUSB_WINE_DRIVER_OPENS)
  set(WDMUSB_WINE_DRIVER_IO 1)
else()
  set(WDMUSB_WINE_DRIVER_IO 0)
endif()
# Until the driver gives reads and writes a cancel routine, the step of a read cancelled at its
# time-out is left out.
set(WDMUSB_WINE_DRIVER_CANCEL 0)
file(GLOB WDMUSB_WINE_IO_SOURCES ${CMAKE_SOURCE_DIR}/io/*.cpp)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${WDMUSB_WINE_IO_SOURCES})
foreach(source ${WDMUSB_WINE_IO_SOURCES})
  file(STRINGS ${source} cancels REGEX "IoSetCancelRoutine")
  if(cancels)
    set(WDMUSB_WINE_DRIVER_CANCEL 1)
  endif()
endforeach()
wdmusb_wine_test(run ${WDMUSB_WINE_TESTS}/run-wine.sh ${CMAKE_CURRENT_BINARY_DIR}
  ${WDMUSB_WINE_WORK}/run)
set_tests_properties(wine.run PROPERTIES ENVIRONMENT
  "WDMUSB_WINE_DRIVER_IO=${WDMUSB_WINE_DRIVER_IO};WDMUSB_WINE_DRIVER_CANCEL=${WDMUSB_WINE_DRIVER_CANCEL}")

# The same with the bus inverting byte 1000 of the first IN transfer of the loopback: wdmusbctl
# must find it and the loopback step fail.
wdmusb_wine_test(corrupt_byte ${WDMUSB_WINE_TESTS}/expect-failure.sh loopback
  "offset 1000: wrote 0x[0-9a-f]{2}, read 0x[0-9a-f]{2}"
  ${WDMUSB_BASH} ${WDMUSB_WINE_TESTS}/run-wine.sh ${CMAKE_CURRENT_BINARY_DIR}
  ${WDMUSB_WINE_WORK}/corrupt-byte)
set_tests_properties(wine.corrupt_byte PROPERTIES
  ENVIRONMENT "WDMUSB_WINE_LOOPBACK_FAULT=corrupt in 1000;WDMUSB_WINE_LOOPBACK_ROUNDS=2")
if(NOT WDMUSB_WINE_DRIVER_OPENS)
  set_tests_properties(wine.corrupt_byte PROPERTIES DISABLED ON)
endif()

# The same with an image that imports a routine Wine lacks: the installation step must fail and
# name it.
wdmusb_wine_test(missing_import ${WDMUSB_WINE_TESTS}/expect-failure.sh install_driver
  "imports what Wine does not export: ntoskrnl.exe.ExAcquireSpinLockExclusive"
  ${WDMUSB_BASH} ${WDMUSB_WINE_TESTS}/run-wine.sh ${CMAKE_CURRENT_BINARY_DIR}
  ${WDMUSB_WINE_WORK}/missing-import $<TARGET_FILE:wdmusb_missing_import>)
