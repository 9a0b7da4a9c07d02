# wdmusbctl (simulator build) run as a user runs it, each case checked by expect-run.sh: its exit
# status and what it prints. Each run is a simulated machine of its own with the loopback device.
set(WDMUSBCTL_PROGRAM ${WDMUSB_RUN32} $<TARGET_FILE:wdmusbctl>)

function(wdmusbctl_test name status)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "EXPECT;ARGS")
  add_test(NAME wdmusbctl.${name}
           COMMAND bash ${WDMUSB_EXPECT_RUN} ${status} ${arg_EXPECT} -- ${WDMUSBCTL_PROGRAM}
                   ${arg_ARGS})
endfunction()

# Without opening the device.
wdmusbctl_test(list 0 EXPECT "^0  1209:0001  \\\\\\\\\\?\\\\" ARGS list)
wdmusbctl_test(help 0 EXPECT "list" "info" "loopback" "vendor" "Exit status: 0 done" ARGS --help)
wdmusbctl_test(no_command 2 EXPECT "A command \\(list, info" ARGS)
wdmusbctl_test(bad_number 2 EXPECT "SIZE: Value 0 not in range" ARGS loopback 0)
wdmusbctl_test(bad_direction 2 EXPECT "DIRECTION: .*not in" ARGS vendor sideways 1 0 0 0)
wdmusbctl_test(unknown_command 2 EXPECT "not expected: flash" ARGS flash)
# The vendor request's numbers are checked against their fields' ranges; --data is refused when
# it is longer than the request or the request sends nothing.
wdmusbctl_test(vendor_request_range 2 EXPECT "REQUEST: Value 256 not in range 0 to 255"
  ARGS vendor in 256 0 0 0)
wdmusbctl_test(vendor_value_range 2 EXPECT "VALUE: Value 65536 not in range 0 to 65535"
  ARGS vendor out 1 65536 0 0)
wdmusbctl_test(vendor_data_too_long 2 EXPECT "--data: 3 bytes, more than the request's LENGTH 2"
  ARGS vendor out 1 0 0 2 --data 010203)
wdmusbctl_test(vendor_in_data 2 EXPECT "--data: a vendor IN request sends no data"
  ARGS vendor in 1 0 0 2 --data 0102)
wdmusbctl_test(no_such_device 3 EXPECT "no device 4: there are 1" ARGS --device 4 info)

# On the device.
wdmusbctl_test(info 0
  EXPECT "idVendor +0x1209" "bEndpointAddress +0x81  EP 1 IN" "bEndpointAddress +0x02  EP 2 OUT"
         "wMaxPacketSize +0x0200  1x 512 bytes"
  ARGS info)
wdmusbctl_test(loopback 0 EXPECT "100 round trip\\(s\\) of 65536 bytes verified: .* MB/s"
  ARGS loopback 65536 100)
wdmusbctl_test(loopback_count_option 0 EXPECT "3 round trip\\(s\\) of 100000 bytes verified"
  ARGS loopback 100000 --count 3)
wdmusbctl_test(write 0 EXPECT "wrote 4 bytes" ARGS write --hex de:ad:be:ef)
wdmusbctl_test(vendor_in 0 EXPECT "vendor IN 0x01: 16 bytes" "^00000000  00 00" ARGS vendor in 1 0 0 16)
wdmusbctl_test(vendor_out 0 EXPECT "vendor OUT 0x01: 4 bytes sent" ARGS vendor out 1 0 0 4 --data 01020304)
wdmusbctl_test(vendor_stall 6 EXPECT "sending the vendor request: .*\\(ERROR_GEN_FAILURE, 31\\)"
  ARGS vendor in 0xff 0 0 4)
wdmusbctl_test(vendor_out_of_range 6 EXPECT "sending the vendor request: " ARGS vendor in 1 0 250 16)
# A read at a device with nothing to send: cancelled at its time-out, which the driver ends at
# once (a request the driver kept would be ERROR_IO_INCOMPLETE, two seconds later); the machine's
# end then finds nothing left in flight or leaked (else status 7).
wdmusbctl_test(read_times_out 6
  EXPECT "^wdmusbctl: reading 16 bytes, waited 200 ms: no answer in time: the request was cancelled .*\\(ERROR_SEM_TIMEOUT, 121\\)$"
  ARGS --timeout 200 read 16)
wdmusbctl_test(reset 0 EXPECT "port reset" ARGS reset)
# The file is checked before the read, which would otherwise wait a minute for data first.
wdmusbctl_test(read_out_unwritable 2 EXPECT "cannot write the file \\(nothing was read\\)"
  ARGS --timeout 60000 read 16 --out ${CMAKE_CURRENT_BINARY_DIR}/no-such-folder/bytes)
set_tests_properties(wdmusbctl.read_out_unwritable PROPERTIES TIMEOUT 30)
# Ctrl-C during a read waiting for data cancels it, the driver ends it, and the program says so
# (status 8) and ends on its own (no hang, no kill); the machine's end then finds nothing left in
# flight or leaked (else status 7).
add_test(NAME wdmusbctl.interrupted_read
         COMMAND bash ${WDMUSB_EXPECT_RUN} 8
                 "^wdmusbctl: reading 16 bytes: interrupted \\(Ctrl-C\\): the request was cancelled \\(ERROR_OPERATION_ABORTED, 995\\); the device is ready for the next request$"
                 -- bash ${CMAKE_CURRENT_SOURCE_DIR}/tools/interrupt-after.sh 2 ${WDMUSBCTL_PROGRAM}
                 --timeout 60000 read 16)
set_tests_properties(wdmusbctl.interrupted_read PROPERTIES TIMEOUT 60)

# On a device built from descriptor bytes (--descriptors, simulator build only).
set(WDMUSBCTL_DESCRIPTORS ${CMAKE_CURRENT_SOURCE_DIR}/tools/descriptors)
wdmusbctl_test(descriptors_info 0
  EXPECT "idVendor +0x1234" "idProduct +0x5678" "wMaxPacketSize +0x0040  1x 64 bytes"
  ARGS --descriptors ${WDMUSBCTL_DESCRIPTORS}/full-speed-device.txt info)
wdmusbctl_test(descriptors_loopback 0 EXPECT "3 round trip\\(s\\) of 10000 bytes verified"
  ARGS --descriptors ${WDMUSBCTL_DESCRIPTORS}/full-speed-device.txt loopback 10000 3)
wdmusbctl_test(descriptors_not_started 5
  EXPECT "the device did not start \\(STATUS_DEVICE_DATA_ERROR\\)"
  ARGS --descriptors ${WDMUSBCTL_DESCRIPTORS}/short-configuration.txt info)
wdmusbctl_test(descriptors_not_hex 2 EXPECT "not-hex.txt:2: not hex bytes"
  ARGS --descriptors ${WDMUSBCTL_DESCRIPTORS}/not-hex.txt info)
wdmusbctl_test(descriptors_no_file 2 EXPECT "--descriptors: File does not exist"
  ARGS --descriptors ${WDMUSBCTL_DESCRIPTORS}/none.txt info)
