option(WDMUSB_WERROR "Treat warnings as errors" OFF)

function(wdmusb_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wnon-virtual-dtor
    -Wcast-align -Wunused -Woverloaded-virtual -Wnull-dereference -Wimplicit-fallthrough
    -Wno-missing-field-initializers)
  if(WDMUSB_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
