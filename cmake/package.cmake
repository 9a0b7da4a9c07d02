# The simulator as a library for users' own tests: the driver, the simulated system and the
# application library, exported from this build folder as the CMake package "wdmusb". A user's
# project finds it with
#
#   find_package(wdmusb CONFIG REQUIRED)   # cmake -Dwdmusb_DIR=<this build folder> ...
#   target_link_libraries(my_test PRIVATE wdmusb::simulator)
#
# and builds its tests against the driver's own source on the simulated machine
# (docs/simulator.md, "Your own tests"). The headers stay in the source tree this folder was
# built from; build with the same compiler.
add_library(wdmusb_simulator INTERFACE)
target_link_libraries(wdmusb_simulator INTERFACE wdmusb_driver wdmusb_api wdmusb_sim)
target_compile_features(wdmusb_simulator INTERFACE cxx_std_20)

set_target_properties(wdmusb_simulator PROPERTIES EXPORT_NAME simulator)
set_target_properties(wdmusb_driver PROPERTIES EXPORT_NAME driver)
set_target_properties(wdmusb_api PROPERTIES EXPORT_NAME api)
set_target_properties(wdmusb_sim PROPERTIES EXPORT_NAME sim)
export(TARGETS wdmusb_simulator wdmusb_driver wdmusb_api wdmusb_sim NAMESPACE wdmusb::
       FILE ${CMAKE_BINARY_DIR}/wdmusb-targets.cmake)
file(WRITE ${CMAKE_BINARY_DIR}/wdmusb-config.cmake
  "# The wdmusb package of the build folder ${CMAKE_BINARY_DIR} (cmake/package.cmake).\n"
  "include(CMakeFindDependencyMacro)\n"
  "find_dependency(Threads)\n"
  "include(\${CMAKE_CURRENT_LIST_DIR}/wdmusb-targets.cmake)\n")
