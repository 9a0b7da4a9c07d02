# wdmusb-sim run on the kernel image (--image): the built-in scenario and every example scenario
# must pass as they do on the source build.
set(WDMUSB_EXPECT_RUN ${CMAKE_CURRENT_SOURCE_DIR}/tools/expect-run.sh)
set(WDMUSB_SIM_ON_IMAGE ${WDMUSB_RUN32} $<TARGET_FILE:wdmusb-sim> --image ${WDMUSB_DRIVER_IMAGE})

add_test(NAME image.wdmusb_sim.builtin
         COMMAND bash ${WDMUSB_EXPECT_RUN} 0 "verdict: PASS" -- ${WDMUSB_SIM_ON_IMAGE} --color never)
set_tests_properties(image.wdmusb_sim.builtin PROPERTIES LABELS image)

file(GLOB WDMUSB_EXAMPLE_SCENARIOS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/scenarios/*.scenario)
foreach(scenario ${WDMUSB_EXAMPLE_SCENARIOS})
  get_filename_component(name ${scenario} NAME_WE)
  add_test(NAME image.wdmusb_sim.example.${name}
           COMMAND bash ${WDMUSB_EXPECT_RUN} 0 "verdict: PASS" --
                   ${WDMUSB_SIM_ON_IMAGE} --color never ${scenario})
  set_tests_properties(image.wdmusb_sim.example.${name} PROPERTIES LABELS image)
endforeach()
