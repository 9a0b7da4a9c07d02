set(WDMUSB_SANITIZE "" CACHE STRING "Sanitizer for the host build: address, thread or fuzzer")

if(WDMUSB_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(WDMUSB_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(WDMUSB_SANITIZE STREQUAL "fuzzer")
  # Coverage guides the fuzzer through the driver and the targets (fuzz/CMakeLists.txt): the
  # simulator's own branches would only slow each run. The targets link libFuzzer's main.
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(NOT WDMUSB_SANITIZE STREQUAL "")
  message(FATAL_ERROR "WDMUSB_SANITIZE must be empty, address, thread or fuzzer")
endif()
