# What a host needs besides the libraries: the version header, httpmedia.pc,
# the CMake package, the manual page of httpmedia-cat, and the libavformat
# example's source. The Debian package is built from debian/ by
# dpkg-buildpackage (scripts/package.sh) and installs these same files.
# Included at the end of the top-level CMakeLists.txt, once every target exists.

# The version header, from project(VERSION). httpmedia.h includes it, so every
# target that sees the header directory, privately or through a link, must see
# the generated one too; the targets are looked up rather than named so that
# the rule holds whichever target publishes include/.
# Installed, it lies beside httpmedia.h; in the build, its directory is added
# to the include path.
set(HTTPMEDIA_GENERATED_INCLUDE_DIR ${PROJECT_BINARY_DIR}/include/httpmedia)
configure_file(${PROJECT_SOURCE_DIR}/cmake/httpmedia_version.h.in
  ${HTTPMEDIA_GENERATED_INCLUDE_DIR}/httpmedia_version.h @ONLY)
function(httpmedia_add_generated_includes directory)
  get_property(targets DIRECTORY ${directory} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(private ${target} INCLUDE_DIRECTORIES)
    get_target_property(public ${target} INTERFACE_INCLUDE_DIRECTORIES)
    if(private AND "${PROJECT_SOURCE_DIR}/include" IN_LIST private)
      target_include_directories(${target} PRIVATE ${HTTPMEDIA_GENERATED_INCLUDE_DIR})
    endif()
    if(public AND "${PROJECT_SOURCE_DIR}/include" IN_LIST public)
      target_include_directories(${target} INTERFACE ${HTTPMEDIA_GENERATED_INCLUDE_DIR})
    endif()
  endforeach()
  get_property(subdirectories DIRECTORY ${directory} PROPERTY SUBDIRECTORIES)
  foreach(subdirectory IN LISTS subdirectories)
    httpmedia_add_generated_includes(${subdirectory})
  endforeach()
endfunction()
httpmedia_add_generated_includes(${PROJECT_SOURCE_DIR})
install(FILES ${HTTPMEDIA_GENERATED_INCLUDE_DIR}/httpmedia_version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/httpmedia)

# The rest describes a Linux installation.
if(WIN32)
  return()
endif()

# Hosts load the plug-in at run time, so both descriptions give its installed
# path, in its private directory, rather than a library to link. Both are
# relocatable: they find the prefix from where they lie, so
# `cmake --install --prefix DIR` and the Debian package (under /usr) get the
# same files.
set(HTTPMEDIA_PLUGIN_NAME ${CMAKE_SHARED_LIBRARY_PREFIX}httpmedia${CMAKE_SHARED_LIBRARY_SUFFIX})
set(HTTPMEDIA_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
set(HTTPMEDIA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/httpmedia)

file(RELATIVE_PATH HTTPMEDIA_PC_PREFIX
  ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/+$" "" HTTPMEDIA_PC_PREFIX "${HTTPMEDIA_PC_PREFIX}")
file(RELATIVE_PATH HTTPMEDIA_PC_INCLUDEDIR ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_INCLUDEDIR})
file(RELATIVE_PATH HTTPMEDIA_PC_LIBDIR ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_LIBDIR})
configure_file(${PROJECT_SOURCE_DIR}/cmake/httpmedia.pc.in ${PROJECT_BINARY_DIR}/httpmedia.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/httpmedia.pc DESTINATION ${HTTPMEDIA_PKGCONFIG_DIR})

include(CMakePackageConfigHelpers)
set(HTTPMEDIA_PLUGIN_PATH ${HTTPMEDIA_INSTALL_PLUGINDIR}/${HTTPMEDIA_PLUGIN_NAME})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/httpmediaConfig.cmake.in
  ${PROJECT_BINARY_DIR}/httpmediaConfig.cmake
  INSTALL_DESTINATION ${HTTPMEDIA_CMAKE_DIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR HTTPMEDIA_PLUGIN_PATH)
# Within one major version the four functions and the header stay compatible.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/httpmediaConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/httpmediaConfig.cmake
  ${PROJECT_BINARY_DIR}/httpmediaConfigVersion.cmake
  DESTINATION ${HTTPMEDIA_CMAKE_DIR})

# The manual page of httpmedia-cat, with the version in its footer, and
# compressed as Debian keeps manual pages where gzip is at hand.
if(TARGET httpmedia_cat)
  set(manual_source ${PROJECT_SOURCE_DIR}/doc/httpmedia-cat.1)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${manual_source})
  file(READ ${manual_source} manual)
  string(REGEX REPLACE "(\n?\\.TH [^ ]+ [^ ]+ [^ ]+) httpmedia "
    "\\1 \"httpmedia ${PROJECT_VERSION}\" " manual "${manual}")
  set(manual_page ${PROJECT_BINARY_DIR}/doc/httpmedia-cat.1)
  file(CONFIGURE OUTPUT ${manual_page} CONTENT "${manual}" @ONLY)
  find_program(HTTPMEDIA_GZIP gzip)
  if(HTTPMEDIA_GZIP)
    add_custom_command(OUTPUT ${manual_page}.gz
      COMMAND ${HTTPMEDIA_GZIP} -9 -n -c ${manual_page} > ${manual_page}.gz
      DEPENDS ${manual_page} VERBATIM)
    add_custom_target(httpmedia_manual ALL DEPENDS ${manual_page}.gz)
    set(manual_page ${manual_page}.gz)
  endif()
  install(FILES ${manual_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# The libavformat example, as source: a player author's starting point, built
# by the line in its header against the installed files.
install(FILES ${PROJECT_SOURCE_DIR}/examples/avio_demux.c
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
