# zevo_add_test(NAME SOURCES src... LIBS lib...)
# One GoogleTest executable; its cases are listed for ctest when the tests run
# (so a cross build lists them through the emulator, not at build time).
# In a cross build every case sees ZEVO_EMULATOR, the emulator's command line
# (words separated by spaces), so that the few cases that cannot run under it
# skip themselves and a test that starts another target program can start it
# through the emulator (tests/PEmulation.h).
function(zevo_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  set(properties TIMEOUT 300)
  if(CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR)
    zevo_emulator_command(emulator)
    list(APPEND properties ENVIRONMENT "ZEVO_EMULATOR=${emulator}")
  endif()
  if(ZEVO_SANITIZE MATCHES "thread")
    list(APPEND properties ENVIRONMENT "TSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/tsan.supp")
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES ${properties})
endfunction()

# The emulator of a cross build as one string: its program found on PATH,
# then its arguments, separated by spaces.
function(zevo_emulator_command out)
  set(words ${CMAKE_CROSSCOMPILING_EMULATOR})
  list(POP_FRONT words program)
  find_program(ZEVO_EMULATOR_PROGRAM ${program} NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  list(PREPEND words ${ZEVO_EMULATOR_PROGRAM})
  list(JOIN words " " command)
  set(${out} "${command}" PARENT_SCOPE)
endfunction()

# zevo_add_warnings()
# -Wall -Wextra (with Clang also -Wthread-safety: the lock rules of
# zevo/PThreadSafety.h), and -Werror with ZEVO_WERROR, on every target
# defined in a directory of this source tree: libraries, programs, tests,
# benchmarks, fuzz targets. Third-party code built along (GoogleTest from
# its sources in a cross build) is added from outside the tree or as
# SYSTEM: it keeps its own flags. Called once, after the last
# add_subdirectory.
function(zevo_add_warnings)
  set(flags -Wall -Wextra)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    list(APPEND flags -Wthread-safety)
  endif()
  if(ZEVO_WERROR)
    list(APPEND flags -Werror)
  endif()
  set(dirs ${CMAKE_SOURCE_DIR})
  while(dirs)
    list(POP_FRONT dirs dir)
    cmake_path(IS_PREFIX CMAKE_SOURCE_DIR "${dir}" NORMALIZE inside)
    get_property(system DIRECTORY ${dir} PROPERTY SYSTEM)
    if(NOT inside OR system)
      continue()
    endif()
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    list(APPEND dirs ${subdirs})
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
      get_target_property(type ${target} TYPE)
      if(type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
        target_compile_options(${target} PRIVATE ${flags})
      endif()
    endforeach()
  endwhile()
endfunction()
