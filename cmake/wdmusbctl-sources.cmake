# wdmusbctl's sources, the same in its two builds: for the simulator (tools/CMakeLists.txt) and
# for Windows (cmake/wdmusbctl-windows.cmake).
set(WDMUSBCTL_DIR ${CMAKE_SOURCE_DIR}/tools/wdmusbctl)
set(WDMUSBCTL_SOURCES
  ${WDMUSBCTL_DIR}/cli.cpp
  ${WDMUSBCTL_DIR}/commands.cpp
  ${WDMUSBCTL_DIR}/data.cpp
  ${WDMUSBCTL_DIR}/descriptors.cpp
  ${WDMUSBCTL_DIR}/device.cpp
  ${WDMUSBCTL_DIR}/errors.cpp
  ${WDMUSBCTL_DIR}/interrupt.cpp)
set(WDMUSBCTL_MAIN ${WDMUSBCTL_DIR}/main.cpp)
