# The device: 32-bit ARMv7-A, hard-float ABI, built with Debian's
# arm-linux-gnueabihf cross compiler (g++-arm-linux-gnueabihf). Programs the
# build runs itself (Python, the row generator) are the build host's; the
# project's own executables run under qemu-arm (qemu-user), so `ctest` in
# this build folder runs the whole suite on the ARM executables.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(MACTOSN_TARGET_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${MACTOSN_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${MACTOSN_TARGET_TRIPLE}-g++)
set(CMAKE_C_FLAGS_INIT "-march=armv7-a -mfpu=vfpv3-d16 -mfloat-abi=hard")
set(CMAKE_CXX_FLAGS_INIT "-march=armv7-a -mfpu=vfpv3-d16 -mfloat-abi=hard")
set(CMAKE_ASM_FLAGS_INIT "-march=armv7-a -mfpu=vfpv3-d16 -mfloat-abi=hard")

set(CMAKE_FIND_ROOT_PATH /usr/${MACTOSN_TARGET_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The CPU qemu-arm emulates for the tests (`qemu-arm -cpu help` lists them;
# empty: qemu's default). The device is a generic ARMv7-A that may lack the
# hardware divide instruction, so by default the tests run on a core without
# it (and without NEON); -DMACTOSN_EMULATED_CPU=cortex-a7 runs them on one
# that has it, as the device-static preset does.
set(MACTOSN_EMULATED_CPU "cortex-a9,neon=off" CACHE STRING
    "CPU that qemu-arm emulates when ctest runs the ARM executables")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
if(MACTOSN_EMULATED_CPU)
  list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -cpu "${MACTOSN_EMULATED_CPU}")
endif()
# Dynamic executables find the ARM C library under the cross toolchain's root;
# fully static ones need none, and their tests prove it. The ARM loader also
# reads the host's /etc/ld.so.cache through qemu, and on a host with Debian's
# libc6:armhf (as a Debian cross build needs) that names another version of
# the C library than the loader's, which crashes: the root's /lib goes first.
if(NOT MACTOSN_FULLY_STATIC)
  list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -L /usr/${MACTOSN_TARGET_TRIPLE} -E LD_LIBRARY_PATH=/lib)
endif()
