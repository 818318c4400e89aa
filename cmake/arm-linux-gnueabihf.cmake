# Cross build for 32-bit ARM (hard float) with Debian's cross toolchain:
#
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
#
# Needs g++-arm-linux-gnueabihf, libc6-dev-armhf-cross, qemu-user and (for
# the tests) googletest. ctest runs the ARM programs through qemu-arm, so no
# binfmt registration is needed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(ZEVO_CROSS_TRIPLE arm-linux-gnueabihf)
# Debian's multiarch-cross layout: headers and libraries of the target.
set(ZEVO_CROSS_ROOT /usr/${ZEVO_CROSS_TRIPLE})

set(CMAKE_C_COMPILER ${ZEVO_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ZEVO_CROSS_TRIPLE}-g++)

# The target's binutils, also for scripts that run them on target files
# (tests/fileaccess/check_exports.cmake uses CMAKE_NM).
foreach(tool AR NM OBJCOPY OBJDUMP RANLIB READELF STRIP)
  string(TOLOWER ${tool} name)
  find_program(CMAKE_${tool} NAMES ${ZEVO_CROSS_TRIPLE}-${name} NO_CMAKE_FIND_ROOT_PATH REQUIRED)
endforeach()

# Programs come from the build machine; everything else from the target root
# only, so nothing of the build machine (an x86 GoogleTest) is picked up.
set(CMAKE_FIND_ROOT_PATH ${ZEVO_CROSS_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config looks in the target's root only, never at the build machine's
# libraries: without the target's libsystemd the build goes without it.
set(ENV{PKG_CONFIG_LIBDIR} ${ZEVO_CROSS_ROOT}/lib/pkgconfig)

# ctest (and test discovery) run each target program through qemu-arm and
# the target's dynamic loader, which finds the target's libraries in
# <root>/lib. Not "qemu-arm -L <root>": that makes every absolute path that
# also exists under <root> name the file there instead, "/" included, so a
# program that walks a path from "/" finds <root>/lib, <root>/include...
set(ZEVO_CROSS_LOADER ${ZEVO_CROSS_ROOT}/lib/ld-linux-armhf.so.3)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;${ZEVO_CROSS_LOADER};--library-path;${ZEVO_CROSS_ROOT}/lib)
