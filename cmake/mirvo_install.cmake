# What `cmake --install` puts in place: the programs mirvo and mirvo-avi (whichever of them
# this tree builds), the AVI library static and shared with avi/avi.h, a CMake package
# (find_package(mirvo_avi)) and a pkg-config file (mirvo-avi). The stand-in device library
# and mirvoctl install only when asked for, as the component `standin`. Included from the
# top-level CMakeLists.txt after every subdirectory, so it sees all their targets.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# ---- the AVI library ----

# The shared library is made from the static library's objects (built position-independent),
# so the module is compiled once. Only the public names are exported. It is linked as C: the
# module needs no C++ runtime, so the library needs nothing but the C library.
add_library(mirvo_avi_shared SHARED $<TARGET_OBJECTS:mirvo_avi>)
set(avi_exports_map ${CMAKE_CURRENT_LIST_DIR}/avi_exports.map)
# CMake still names the C++ compiler's own libraries on the link line because the objects
# are C++; --as-needed drops them, since nothing in them is used, also with toolchains that
# do not drop unused libraries by default.
target_link_options(mirvo_avi_shared PRIVATE -Wl,--version-script=${avi_exports_map}
  -Wl,--as-needed)
set_target_properties(mirvo_avi_shared PROPERTIES
  OUTPUT_NAME mirvo_avi
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR}
  LINKER_LANGUAGE C
  LINK_DEPENDS ${avi_exports_map}
  EXPORT_NAME mirvo_avi)
get_target_property(avi_include_dirs mirvo_avi INTERFACE_INCLUDE_DIRECTORIES)
target_include_directories(mirvo_avi_shared INTERFACE ${avi_include_dirs})
set_target_properties(mirvo_avi PROPERTIES EXPORT_NAME mirvo_avi_static)

install(TARGETS mirvo_avi mirvo_avi_shared EXPORT mirvo_avi_targets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/avi/avi.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/avi)

set(avi_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/mirvo_avi)
install(EXPORT mirvo_avi_targets NAMESPACE mirvo_avi:: FILE mirvo_aviTargets.cmake
  DESTINATION ${avi_package_dir})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/mirvo_aviConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package/mirvo_aviConfig.cmake INSTALL_DESTINATION ${avi_package_dir})
# 0.x releases may change the interface between minor versions.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/mirvo_aviConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/mirvo_aviConfig.cmake
  ${CMAKE_BINARY_DIR}/package/mirvo_aviConfigVersion.cmake DESTINATION ${avi_package_dir})

# The .pc file finds the prefix from its own place, so an install with --prefix (or a copy
# of the tree into a camera's staging root) stays right.
file(RELATIVE_PATH pc_prefix_from_pcfiledir
  /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/mirvo_avi.pc.in ${CMAKE_BINARY_DIR}/package/mirvo-avi.pc
  @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/mirvo-avi.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# ---- the programs ----

# Found by the file names they are built under, whatever their targets are called. They get
# no run path: mirvo must find the device's own libqelmain.so where the system keeps it,
# and nothing else they need is ours.
set(installed_programs mirvo mirvo-avi)
# The stand-in for the device library and the program that plays the device's main process:
# for a PC only, installed with `cmake --install BUILD --component standin`. The library
# goes to a directory of its own, never beside the system's libraries where the device's
# libqelmain.so lives; mirvo runs on it with LD_LIBRARY_PATH=PREFIX/lib/mirvo-standin.
set(standin_programs mirvoctl)
set(standin_libdir ${CMAKE_INSTALL_LIBDIR}/mirvo-standin)
# A program's manual page and bash completion, where it has them (docs/).
function(mirvo_install_docs name)
  if(EXISTS ${PROJECT_SOURCE_DIR}/docs/man/${name}.1)
    install(FILES ${PROJECT_SOURCE_DIR}/docs/man/${name}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 ${ARGN})
  endif()
  if(EXISTS ${PROJECT_SOURCE_DIR}/docs/completion/${name})
    install(FILES ${PROJECT_SOURCE_DIR}/docs/completion/${name}
      DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions ${ARGN})
  endif()
endfunction()

get_property(built_dirs DIRECTORY ${PROJECT_SOURCE_DIR} PROPERTY SUBDIRECTORIES)
foreach(dir recorder device tools)
  if(NOT ${PROJECT_SOURCE_DIR}/${dir} IN_LIST built_dirs)
    continue()
  endif()
  get_property(dir_targets DIRECTORY ${PROJECT_SOURCE_DIR}/${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS dir_targets)
    get_target_property(type ${target} TYPE)
    get_target_property(name ${target} OUTPUT_NAME)
    if(NOT name)
      set(name ${target})
    endif()
    if(type STREQUAL "EXECUTABLE" AND name IN_LIST installed_programs)
      install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
      mirvo_install_docs(${name})
    elseif(type STREQUAL "EXECUTABLE" AND name IN_LIST standin_programs)
      install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT standin EXCLUDE_FROM_ALL)
      mirvo_install_docs(${name} COMPONENT standin EXCLUDE_FROM_ALL)
    elseif(type STREQUAL "SHARED_LIBRARY" AND name STREQUAL "qelmain")
      install(TARGETS ${target} LIBRARY DESTINATION ${standin_libdir}
        COMPONENT standin EXCLUDE_FROM_ALL)
    endif()
  endforeach()
endforeach()
