# Cross build for 32-bit ARM (hard float) with Debian's cross toolchain:
#
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
#
# Needs g++-arm-linux-gnueabihf, libc6-dev-armhf-cross, qemu-user, (for the
# tests) googletest, the target's libssl-dev:armhf, and for the systemd
# support pkg-config and the target's libsystemd-dev:armhf (Debian
# multiarch: dpkg --add-architecture armhf).
# ctest runs the ARM programs through qemu-arm, so no binfmt registration is
# needed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(ZEVO_CROSS_TRIPLE arm-linux-gnueabihf)
# Debian's multiarch-cross layout: the target's C and C++ runtime, headers
# and libraries (libc6-dev-armhf-cross and the cross compiler).
set(ZEVO_CROSS_ROOT /usr/${ZEVO_CROSS_TRIPLE})
# Debian's multiarch directories: the target's other libraries, installed as
# packages of the target's architecture (libsystemd-dev:armhf,
# libssl-dev:armhf). The cross compiler searches them by itself; headers are
# in /usr/include, and those that differ by architecture (OpenSSL's
# configuration) in /usr/include/<triple>, which the cross compiler does not
# search: every compilation gets it, after the compiler's own directories.
set(ZEVO_MULTIARCH_DIRS /usr/lib/${ZEVO_CROSS_TRIPLE} /lib/${ZEVO_CROSS_TRIPLE})
set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES /usr/include/${ZEVO_CROSS_TRIPLE})
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES /usr/include/${ZEVO_CROSS_TRIPLE})

# GCC's notes that parameter passing changed in GCC 7.1 concern code mixed
# with objects of older compilers, which no build here links.
set(CMAKE_C_FLAGS_INIT -Wno-psabi)
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
set(CMAKE_C_COMPILER ${ZEVO_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ZEVO_CROSS_TRIPLE}-g++)

# The target's binutils, also for scripts that run them on target files
# (tests/fileaccess/check_exports.cmake uses CMAKE_NM).
foreach(tool AR NM OBJCOPY OBJDUMP RANLIB READELF STRIP)
  string(TOLOWER ${tool} name)
  find_program(CMAKE_${tool} NAMES ${ZEVO_CROSS_TRIPLE}-${name} NO_CMAKE_FIND_ROOT_PATH REQUIRED)
endforeach()

# Programs come from the build machine; everything else from the target's
# root and multiarch directories only, so nothing of the build machine (an
# x86 GoogleTest) is picked up. The multiarch directories are roots of
# their own so that a library pkg-config names there (-L/usr/lib/<triple>)
# is found where it is.
set(CMAKE_FIND_ROOT_PATH ${ZEVO_CROSS_ROOT} ${ZEVO_MULTIARCH_DIRS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config reads the target's .pc files and the architecture-independent
# ones (systemd.pc), never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${ZEVO_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig)
# FindOpenSSL takes the target's libraries from the multiarch directory (its
# pkg-config hints) but looks for openssl/ssl.h under the roots only: the
# headers are the shared ones of /usr/include.
set(OPENSSL_INCLUDE_DIR /usr/include CACHE PATH "OpenSSL headers (libssl-dev:armhf)")
# nlohmann's JSON library is headers only, of architecture "all": its CMake
# package is the build machine's /usr/share/cmake, outside the roots.
set(nlohmann_json_DIR /usr/share/cmake/nlohmann_json)

# ctest (and test discovery) run each target program through qemu-arm and
# the target's dynamic loader, which takes the target's libraries from
# <root>/lib first (the C and C++ runtime that belong to that loader), then
# from the multiarch directories. Not "qemu-arm -L <root>": that makes every
# absolute path that also exists under <root> name the file there instead,
# "/" included, so a program that walks a path from "/" finds <root>/lib,
# <root>/include...
set(ZEVO_CROSS_LOADER ${ZEVO_CROSS_ROOT}/lib/ld-linux-armhf.so.3)
list(JOIN ZEVO_MULTIARCH_DIRS ":" zevo_multiarch_path)
set(CMAKE_CROSSCOMPILING_EMULATOR
    qemu-arm;${ZEVO_CROSS_LOADER};--library-path;${ZEVO_CROSS_ROOT}/lib:${zevo_multiarch_path})
