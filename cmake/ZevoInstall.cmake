# Install rules shared by the folders (docs/install.md).
#
# Components: libs (the shared libraries with their versioned names), runtime
# (zevohost, the file-access plug-in, their manual pages and completion),
# systemd (the units, systemd/), client (zevofa, its manual page and
# completion), dev (headers, the unversioned library links, pkg-config
# files, the CMake package).
#
# Run paths: with ZEVO_INSTALL_RPATH every installed program, library and
# plug-in finds the project's libraries relative to its own place
# ($ORIGIN/...), so an installed tree works under any prefix; no installed
# file keeps a run path into the build tree.
include(GNUInstallDirs)

option(ZEVO_INSTALL_RPATH "Installed programs, libraries and plug-ins find the project's libraries through \$ORIGIN run paths" ON)
set(ZEVO_INSTALL_PLUGINDIR "${CMAKE_INSTALL_LIBDIR}/zevo/plugins" CACHE STRING
    "Where plug-ins are installed and where zevohost looks for them by default (relative: under the prefix)")

# The path from the install directory iFrom to the install directory iTo,
# both relative to the prefix or absolute; "" when they are the same.
function(zevo_install_relative out iFrom iTo)
  cmake_path(ABSOLUTE_PATH iFrom BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}" NORMALIZE OUTPUT_VARIABLE from)
  cmake_path(ABSOLUTE_PATH iTo BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}" NORMALIZE OUTPUT_VARIABLE to)
  file(RELATIVE_PATH relative "${from}" "${to}")
  string(REGEX REPLACE "/$" "" relative "${relative}")  # "../../" when it only climbs
  set(${out} "${relative}" PARENT_SCOPE)
endfunction()

# The run path of a target installed to iDestination: the library directory
# as seen from there.
function(zevo_install_rpath target iDestination)
  if(NOT ZEVO_INSTALL_RPATH)
    return()
  endif()
  zevo_install_relative(relative "${iDestination}" "${CMAKE_INSTALL_LIBDIR}")
  set(path "$ORIGIN")
  if(relative)
    string(APPEND path "/${relative}")
  endif()
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "${path}")
endfunction()

# A library of the framework or the client: versioned name (VERSION the
# project's, SOVERSION its major number), run path, exported as zevo::<name>.
function(zevo_install_library target name)
  set_target_properties(${target} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
                                             EXPORT_NAME ${name})
  zevo_install_rpath(${target} "${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS ${target} EXPORT zevoTargets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libs NAMELINK_COMPONENT dev
          INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endfunction()

# A program: its run path and its place.
function(zevo_install_program target destination component)
  zevo_install_rpath(${target} "${destination}")
  install(TARGETS ${target} RUNTIME DESTINATION ${destination} COMPONENT ${component})
endfunction()

# A folder of public headers (iDirectory/zevo/...) into include/zevo/...
function(zevo_install_headers iDirectory component)
  install(DIRECTORY ${iDirectory}/zevo DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT ${component}
          FILES_MATCHING PATTERN "*.h")
endfunction()

# The CMake package (find_package(zevo): zevo::plugin, zevo::client and the
# libraries), relocatable: its paths are relative to its own place; and the
# pkg-config files, which name the prefix the install goes to (--prefix
# included): they are written when installing. Called once all targets are
# installed.
function(zevo_install_package)
  include(CMakePackageConfigHelpers)
  set(cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/zevo)
  install(EXPORT zevoTargets NAMESPACE zevo:: DESTINATION ${cmakedir} COMPONENT dev)
  set(ZEVO_PACKAGE_PLUGINDIR ${ZEVO_INSTALL_PLUGINDIR})
  configure_package_config_file(cmake/zevoConfig.cmake.in ${CMAKE_BINARY_DIR}/zevoConfig.cmake
    INSTALL_DESTINATION ${cmakedir} PATH_VARS ZEVO_PACKAGE_PLUGINDIR)
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/zevoConfigVersion.cmake COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/zevoConfig.cmake ${CMAKE_BINARY_DIR}/zevoConfigVersion.cmake
          DESTINATION ${cmakedir} COMPONENT dev)

  # Directories under the prefix are written as ${prefix}/..., so that
  # pkg-config --define-prefix serves a staged or moved tree.
  foreach(dir LIBDIR INCLUDEDIR PLUGINDIR)
    set(path ${CMAKE_INSTALL_${dir}})
    if(dir STREQUAL "PLUGINDIR")
      set(path ${ZEVO_INSTALL_PLUGINDIR})
    endif()
    if(NOT IS_ABSOLUTE "${path}")
      set(path "\${prefix}/${path}")
    endif()
    set(ZEVO_PC_${dir} "${path}")
  endforeach()
  set(ZEVO_PC_PREFIX "@CMAKE_INSTALL_PREFIX@")  # filled in by the install
  foreach(pc zevo-plugin zevoclient)
    configure_file(cmake/${pc}.pc.in ${CMAKE_BINARY_DIR}/pkgconfig/${pc}.pc.in @ONLY)
    install(CODE "configure_file(\"${CMAKE_BINARY_DIR}/pkgconfig/${pc}.pc.in\" \"${CMAKE_BINARY_DIR}/pkgconfig/${pc}.pc\" @ONLY)"
            COMPONENT dev)
    install(FILES ${CMAKE_BINARY_DIR}/pkgconfig/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
  endforeach()
endfunction()
