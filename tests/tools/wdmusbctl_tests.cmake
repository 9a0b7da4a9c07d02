# wdmusbctl (simulator build) run as a user runs it, each case checked by expect-run.sh: its exit
# status and what it prints. Each run is a simulated machine of its own with the loopback device.
#
# The cases that open the device need the driver's open, read, write and control codes: until the
# driver dispatches IRP_MJ_CREATE they are disabled (label needs-driver-io) and show as "Not Run".
set(WDMUSBCTL_PROGRAM $<TARGET_FILE:wdmusbctl>)
file(STRINGS ${CMAKE_SOURCE_DIR}/driver/entry.cpp WDMUSB_DRIVER_OPENS REGEX "IRP_MJ_CREATE")

function(wdmusbctl_test name status needsDriverIo)
  cmake_parse_arguments(PARSE_ARGV 3 arg "" "" "EXPECT;ARGS")
  add_test(NAME wdmusbctl.${name}
           COMMAND bash ${WDMUSB_EXPECT_RUN} ${status} ${arg_EXPECT} -- ${WDMUSBCTL_PROGRAM}
                   ${arg_ARGS})
  if(needsDriverIo)
    set_tests_properties(wdmusbctl.${name} PROPERTIES LABELS needs-driver-io)
    if(NOT WDMUSB_DRIVER_OPENS)
      set_tests_properties(wdmusbctl.${name} PROPERTIES DISABLED ON)
    endif()
  endif()
endfunction()

# Without opening the device.
wdmusbctl_test(list 0 OFF EXPECT "^0  1209:0001  \\\\\\\\\\?\\\\" ARGS list)
wdmusbctl_test(help 0 OFF EXPECT "list" "info" "loopback" "vendor" "Exit status: 0 done" ARGS --help)
wdmusbctl_test(no_command 2 OFF EXPECT "A command \\(list, info" ARGS)
wdmusbctl_test(bad_number 2 OFF EXPECT "SIZE: Value 0 not in range" ARGS loopback 0)
wdmusbctl_test(bad_direction 2 OFF EXPECT "DIRECTION: .*not in" ARGS vendor sideways 1 0 0 0)
wdmusbctl_test(unknown_command 2 OFF EXPECT "not expected: flash" ARGS flash)
wdmusbctl_test(no_such_device 3 OFF EXPECT "no device 4: there are 1" ARGS --device 4 info)

# On the device.
wdmusbctl_test(info 0 ON
  EXPECT "idVendor +0x1209" "bEndpointAddress +0x81  EP 1 IN" "bEndpointAddress +0x02  EP 2 OUT"
         "wMaxPacketSize +0x0200  1x 512 bytes"
  ARGS info)
wdmusbctl_test(loopback 0 ON EXPECT "100 round trip\\(s\\) of 65536 bytes verified: .* MB/s"
  ARGS loopback 65536 100)
wdmusbctl_test(loopback_count_option 0 ON EXPECT "3 round trip\\(s\\) of 100000 bytes verified"
  ARGS loopback 100000 --count 3)
wdmusbctl_test(write 0 ON EXPECT "wrote 4 bytes" ARGS write --hex de:ad:be:ef)
wdmusbctl_test(vendor_in 0 ON EXPECT "vendor IN 0x01: 16 bytes" "^00000000  00 00" ARGS vendor in 1 0 0 16)
wdmusbctl_test(vendor_out 0 ON EXPECT "vendor OUT 0x01: 4 bytes sent" ARGS vendor out 1 0 0 4 --data 01020304)
wdmusbctl_test(vendor_stall 6 ON EXPECT "sending the vendor request: .*\\(ERROR_GEN_FAILURE, 31\\)"
  ARGS vendor in 0xff 0 0 4)
wdmusbctl_test(vendor_out_of_range 6 ON EXPECT "sending the vendor request: " ARGS vendor in 1 0 250 16)
wdmusbctl_test(read_times_out 6 ON EXPECT "reading 16 bytes: no answer within 200 ms"
  ARGS --timeout 200 read 16)
wdmusbctl_test(reset 0 ON EXPECT "port reset" ARGS reset)
