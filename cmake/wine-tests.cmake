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

function(wdmusb_wine_test name)
  add_test(NAME wine.${name} COMMAND ${WDMUSB_BASH} ${ARGN})
  set_tests_properties(wine.${name} PROPERTIES LABELS wine TIMEOUT 300)
endfunction()

# Wine loads an image even when it lacks one of its imports: the tables say whether it does.
wdmusb_wine_test(imports ${WDMUSB_WINE_TESTS}/check-wine-imports.sh ${WDMUSB_OBJDUMP}
  ${WDMUSB_WINE_DLL_DIR} $<TARGET_FILE:wdmusb> $<TARGET_FILE:loopbus>)
wdmusb_wine_test(imports_checker ${WDMUSB_WINE_TESTS}/expect-failure.sh -
  "wdmusb_missing_import.sys imports what Wine does not export: ntoskrnl.exe!ExAcquireSpinLockExclusive$"
  ${WDMUSB_BASH} ${WDMUSB_WINE_TESTS}/check-wine-imports.sh ${WDMUSB_OBJDUMP} ${WDMUSB_WINE_DLL_DIR}
  $<TARGET_FILE:wdmusb_missing_import>)

# The guarded probe's exception frame, run on Wine's exception dispatcher and RtlUnwind.
wdmusb_wine_test(probe_guard ${WDMUSB_WINE_TESTS}/run-probe-guard.sh
  $<TARGET_FILE:probe-guard-test> ${WDMUSB_WINE_WORK}/probe-guard)

# The bus and the driver installed from their INFs, the device found, started, unplugged.
wdmusb_wine_test(run ${WDMUSB_WINE_TESTS}/run-wine.sh ${CMAKE_CURRENT_BINARY_DIR}
  ${WDMUSB_WINE_WORK}/run)

# The same with an image that imports a routine Wine lacks: the installation step must fail and
# name it.
wdmusb_wine_test(missing_import ${WDMUSB_WINE_TESTS}/expect-failure.sh install_driver
  "imports what Wine does not export: ntoskrnl.exe.ExAcquireSpinLockExclusive"
  ${WDMUSB_BASH} ${WDMUSB_WINE_TESTS}/run-wine.sh ${CMAKE_CURRENT_BINARY_DIR}
  ${WDMUSB_WINE_WORK}/missing-import $<TARGET_FILE:wdmusb_missing_import>)
