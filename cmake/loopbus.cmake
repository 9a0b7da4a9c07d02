# loopbus.sys: the USB bus driver our Wine run installs below wdmusb.sys, with the loopback device
# on its port (loopbus/). Built like wdmusb.sys, from its own sources and the loopback logic the
# simulator shares, with its INF beside it.
file(GLOB WDMUSB_LOOPBUS_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/loopbus/*.cpp)
wdmusb_kernel_image(loopbus ${WDMUSB_LOOPBUS_SOURCES} ${CMAKE_SOURCE_DIR}/loopback/loopback_logic.cpp)

set(WDMUSB_LOOPBUS_INF ${CMAKE_CURRENT_BINARY_DIR}/loopbus.inf)
add_custom_command(OUTPUT ${WDMUSB_LOOPBUS_INF}
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/loopbus/loopbus.inf ${WDMUSB_LOOPBUS_INF}
  DEPENDS ${CMAKE_SOURCE_DIR}/loopbus/loopbus.inf
  COMMENT "Copying loopbus.inf next to loopbus.sys")
add_custom_target(loopbus_inf ALL DEPENDS ${WDMUSB_LOOPBUS_INF})
