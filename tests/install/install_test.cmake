# cmake -P: installs the build under a prefix it was not configured for
# (DESTDIR and --prefix), builds examples/plugin and examples/client against
# that tree (find_package, and pkg-config in one line each), installs the
# example plug-in into the tree's plug-in directory, and runs the installed
# zevohost, which loads both plug-ins from there, with the examples' programs
# as its peers. No installed program, library or plug-in may keep a run path
# other than an $ORIGIN-relative one.
#
# -D: SOURCE_DIR BUILD_DIR WORK CXX CXX_FLAGS READELF PKG_CONFIG (may be
# empty: the pkg-config lines are skipped) LIBDIR SBINDIR VERSION MAJOR

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what} failed (${result}):\n${out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/etc ${WORK}/data)
file(REAL_PATH ${WORK} WORK)  # the policy refuses paths through links
set(prefix ${WORK}/root/opt/zevo)
run("cmake --install" ${CMAKE_COMMAND} -E env DESTDIR=${WORK}/root ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix /opt/zevo)

# Versioned names and run paths of every installed ELF file.
foreach(lib zevol.portinglayer zevol.core zevol.logger zevol.protocol zevoclient)
  run("readelf ${lib}" ${READELF} -d ${prefix}/${LIBDIR}/lib${lib}.so.${VERSION})
  if(NOT out MATCHES "soname: \\[lib${lib}\\.so\\.${MAJOR}\\]" OR NOT EXISTS ${prefix}/${LIBDIR}/lib${lib}.so.${MAJOR})
    message(FATAL_ERROR "lib${lib}.so.${VERSION} does not carry the name lib${lib}.so.${MAJOR}:\n${out}")
  endif()
endforeach()
file(GLOB_RECURSE files LIST_DIRECTORIES false ${WORK}/root/*)
set(elves 0)
foreach(file IN LISTS files)
  file(READ ${file} magic LIMIT 4 HEX)
  if(IS_SYMLINK ${file} OR NOT magic STREQUAL "7f454c46")
    continue()
  endif()
  math(EXPR elves "${elves} + 1")
  run("readelf ${file}" ${READELF} -d ${file})
  string(REGEX MATCHALL "(RUNPATH|RPATH)[^\n]*\\[[^]]*\\]" paths "${out}")
  foreach(path IN LISTS paths)
    string(REGEX REPLACE ".*\\[(.*)\\]" "\\1" path "${path}")
    string(REPLACE ":" ";" path "${path}")
    foreach(entry IN LISTS path)
      if(NOT entry MATCHES "^\\$ORIGIN(/|$)")
        message(FATAL_ERROR "${file} has the run path ${entry}")
      endif()
    endforeach()
  endforeach()
endforeach()
if(elves LESS 8)  # zevohost, zevofa, five libraries, the file-access plug-in
  message(FATAL_ERROR "only ${elves} ELF files installed under ${WORK}/root")
endif()

# The examples, out of tree, with the build's compiler and flags.
set(configure -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}")
foreach(example plugin client)
  run("configuring examples/${example}" ${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/${example} -B ${WORK}/${example} ${configure})
  run("building examples/${example}" ${CMAKE_COMMAND} --build ${WORK}/${example} --parallel 2)
endforeach()
run("installing the example plug-in" ${CMAKE_COMMAND} --install ${WORK}/plugin)
if(PKG_CONFIG)
  set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
  # One line each, as a user would write them, the two at once (no
  # semicolons: run() takes a list). The files name /opt/zevo: the staged
  # tree is found with --define-prefix.
  run("pkg-config builds" sh -c [=[
      set -e
      pc="$1 --define-prefix" cxx=$2 flags=$3 examples=$4 work=$5
      $cxx $flags -std=c++17 "$examples/client/zevo-stat.cpp" $($pc --cflags --libs zevoclient) -Wl,-rpath,$($pc --variable=libdir zevoclient) -o "$work/zevo-stat-pc" &
      client=$!
      $cxx $flags -std=c++17 -shared -fPIC "$examples/plugin/PHelloPlugin.cpp" $($pc --cflags --libs zevo-plugin) -Wl,--no-undefined -o "$work/libzevop.hello-pc.so"
      wait $client
    ]=] sh ${PKG_CONFIG} ${CXX} "${CXX_FLAGS}" ${SOURCE_DIR}/examples ${WORK})
else()
  file(COPY_FILE ${WORK}/client/zevo-stat ${WORK}/zevo-stat-pc)
  message(STATUS "no pkg-config: its builds are skipped")
endif()

# The installed host, with a configuration that names no plug-in, and its peers.
set(socket ${WORK}/s)
file(WRITE ${WORK}/etc/zevohost.conf "listen = unix:${socket}\n")
file(WRITE ${WORK}/etc/zevop.fileaccess.conf
     "fileaccess.read =\nfileaccess.write =\nfileaccess.read.recursive = ${WORK}/data\nfileaccess.write.recursive =\n")
file(WRITE ${WORK}/data/five "12345")
execute_process(COMMAND sh -c [=[
    "$1/$2/zevohost" --config-dir "$3/etc" 2>"$3/host.log" & host=$!
    n=0; until [ -S "$3/s" ] || [ $n -ge 200 ]; do sleep 0.05; n=$((n + 1)); done
    "$3/client/zevo-stat" "unix:$3/s" "$3/data/five" && "$3/zevo-stat-pc" "unix:$3/s" "$3/data/none" &&
      "$3/plugin/zevo-hello" "unix:$3/s" installed && "$1/bin/zevofa" --version
    status=$?
    kill $host && wait $host || status=1
    exit $status]=] sh ${prefix} ${SBINDIR} ${WORK}
  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
file(READ ${WORK}/host.log log)
set(expected "${WORK}/data/five: file, 5 bytes\n${WORK}/data/none: does not exist\nHello, installed!\nzevofa ${VERSION}\n")
if(NOT result EQUAL 0 OR NOT out STREQUAL expected)
  message(FATAL_ERROR "the installed host and the examples (${result}):\n${out}\nexpected:\n${expected}\nhost:\n${log}")
endif()
