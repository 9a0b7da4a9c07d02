# wdmusb-sim run as a user runs it: every example scenario passes; a wrong expectation fails and
# names its line; a file of mistakes gets one error each and status 2; a step that waits for held
# transfers forever is stopped with a hint and status 3. Each is checked by expect-run.sh.
set(WDMUSB_EXPECT_RUN ${CMAKE_CURRENT_SOURCE_DIR}/tools/expect-run.sh)
set(WDMUSB_SIM_PROGRAM ${WDMUSB_RUN32} $<TARGET_FILE:wdmusb-sim>)

add_test(NAME wdmusb_sim.builtin
         COMMAND bash ${WDMUSB_EXPECT_RUN} 0 "verdict: PASS" --
                 ${WDMUSB_SIM_PROGRAM} --color never)

file(GLOB WDMUSB_EXAMPLE_SCENARIOS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/scenarios/*.scenario)
foreach(scenario ${WDMUSB_EXAMPLE_SCENARIOS})
  get_filename_component(name ${scenario} NAME_WE)
  add_test(NAME wdmusb_sim.example.${name}
           COMMAND bash ${WDMUSB_EXPECT_RUN} 0 "verdict: PASS" --
                   ${WDMUSB_SIM_PROGRAM} --color never ${scenario})
endforeach()

set(WDMUSB_TEST_SCENARIOS ${CMAKE_CURRENT_SOURCE_DIR}/tools/scenarios)
add_test(NAME wdmusb_sim.wrong_expectation
         COMMAND bash ${WDMUSB_EXPECT_RUN} 1 "started, expected stopped \\[line 5\\]"
                 "failed on line\\(s\\) 5" --
                 ${WDMUSB_SIM_PROGRAM} --color never ${WDMUSB_TEST_SCENARIOS}/wrong-expectation.scenario)
add_test(NAME wdmusb_sim.malformed_lines
         COMMAND bash ${WDMUSB_EXPECT_RUN} 2 "malformed.scenario:4:1: expected a command"
                 "malformed.scenario:28:" --
                 ${WDMUSB_SIM_PROGRAM} --check ${WDMUSB_TEST_SCENARIOS}/malformed.scenario)
add_test(NAME wdmusb_sim.held_step_stopped
         COMMAND bash ${WDMUSB_EXPECT_RUN} 3 "waits for 1 transfer\\(s\\) held"
                 "verdict: STOPPED .* at line 5 \\(start\\)" --
                 ${WDMUSB_SIM_PROGRAM} --color never --hang-limit 3
                 ${WDMUSB_TEST_SCENARIOS}/held-forever.scenario)
add_test(NAME wdmusb_sim.repeat_seeds
         COMMAND bash ${WDMUSB_EXPECT_RUN} 0 "round 3/3  seed 12  PASS" --
                 ${WDMUSB_SIM_PROGRAM} --color never --seed 10 --repeat 3
                 ${CMAKE_SOURCE_DIR}/scenarios/low-memory.scenario)
