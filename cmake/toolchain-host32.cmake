# The simulator, the tools and the tests as a 32-bit (i386) Linux program, so that the driver's
# records have their i386 sizes and offsets and the kernel image wdmusb.sys can be loaded and run
# inside the simulator (sim/image/). The compiler is the build machine's own, with its multilib
# support (g++-multilib); the test libraries are Debian's i386 packages (scripts/setup.sh).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

# Libraries and package configurations of the i386 architecture, never the build machine's.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")
