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
wdmusbctl_test(read_times_out 6 EXPECT "reading 16 bytes: no answer within 200 ms; CancelIo does not end it"
  ARGS --timeout 200 read 16)
wdmusbctl_test(reset 0 EXPECT "port reset" ARGS reset)

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
