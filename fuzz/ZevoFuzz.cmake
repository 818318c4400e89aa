# ZEVO_FUZZ: build the libFuzzer targets of fuzz/ (clang only). Every
# library gets coverage instrumentation, and AddressSanitizer with
# UndefinedBehaviorSanitizer unless ZEVO_SANITIZE says otherwise.
# Included from the top-level CMakeLists.txt before its sanitizer flags.
option(ZEVO_FUZZ "Build the libFuzzer targets in fuzz/ (needs clang: CC=clang CXX=clang++)" OFF)
if(ZEVO_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "ZEVO_FUZZ needs clang (CC=clang CXX=clang++), not ${CMAKE_CXX_COMPILER_ID}")
  endif()
  if(NOT ZEVO_SANITIZE)
    set(ZEVO_SANITIZE "address,undefined")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
