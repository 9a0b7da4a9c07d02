# The driver's own source files: the same list feeds the kernel image and the host library.
# Globbed so that each folder can grow without touching a shared list.
file(GLOB WDMUSB_DRIVER_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/driver/*.cpp
  ${CMAKE_SOURCE_DIR}/usb/*.cpp
  ${CMAKE_SOURCE_DIR}/pnp/*.cpp
  ${CMAKE_SOURCE_DIR}/power/*.cpp
  ${CMAKE_SOURCE_DIR}/io/*.cpp)

# Kernel-code rules that the host compiler can enforce too, and the kernel image's aliasing rules
# (optimised host builds would otherwise assume what the kernel image does not).
set(WDMUSB_DRIVER_HOST_FLAGS -fno-exceptions -fno-rtti -fno-strict-aliasing)
