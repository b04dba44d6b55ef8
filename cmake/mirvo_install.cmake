# What `cmake --install` puts in place: the programs (mirvo, mirvoctl, mirvo-avi, whichever
# of them this tree builds), the AVI library static and shared with avi/avi.h, a CMake
# package (find_package(mirvo_avi)) and a pkg-config file (mirvo-avi). Included from the
# top-level CMakeLists.txt after every subdirectory, so it sees all their targets.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The stand-in device library belongs on a PC only: on the camera the vendor's
# libqelmain.so is already there and must not be shadowed.
if(CMAKE_CROSSCOMPILING)
  set(standin_default OFF)
else()
  set(standin_default ON)
endif()
option(MIRVO_INSTALL_STANDIN "Install the stand-in libqelmain.so beside mirvo" ${standin_default})

# ---- the AVI library ----

# The shared library is made from the static library's objects (built position-independent),
# so the module is compiled once. Only the public names are exported.
add_library(mirvo_avi_shared SHARED $<TARGET_OBJECTS:mirvo_avi>)
set(avi_exports_map ${CMAKE_CURRENT_LIST_DIR}/avi_exports.map)
target_link_options(mirvo_avi_shared PRIVATE -Wl,--version-script=${avi_exports_map})
set_target_properties(mirvo_avi_shared PROPERTIES
  OUTPUT_NAME mirvo_avi
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR}
  LINKER_LANGUAGE CXX
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

# Found by the file names they are built under, whatever their targets are called.
set(installed_programs mirvo mirvoctl mirvo-avi)
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
      # Beside an installed stand-in library: bin/../lib.
      set_target_properties(${target} PROPERTIES
        INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
      install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    elseif(type STREQUAL "SHARED_LIBRARY" AND name STREQUAL "qelmain" AND MIRVO_INSTALL_STANDIN)
      install(TARGETS ${target} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
    endif()
  endforeach()
endforeach()
