# Cross build for the camera's 32-bit ARM Linux. By default it uses Debian's
# arm-linux-gnueabihf cross compilers and runs target programs (tests, test discovery) under
# qemu-user with the cross C library as its root; a vendor's own toolchain (uClibc, for
# instance) is chosen with the MIRVO_CROSS_* variables below, given with -D or in the
# environment.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

# A setting from -D (cache), else the environment, else the Debian default.
macro(mirvo_cross_setting name default doc)
  if(NOT DEFINED ${name})
    if(DEFINED ENV{${name}})
      set(${name} "$ENV{${name}}")
    else()
      set(${name} "${default}")
    endif()
  endif()
  set(${name} "${${name}}" CACHE STRING "${doc}")
endmacro()

mirvo_cross_setting(MIRVO_CROSS_TRIPLE arm-linux-gnueabihf
  "Prefix of the cross tools (arm-linux-gnueabihf makes arm-linux-gnueabihf-gcc)")
mirvo_cross_setting(MIRVO_CROSS_BIN ""
  "Directory holding the cross tools; empty: look them up on PATH")
mirvo_cross_setting(MIRVO_SYSROOT /usr/${MIRVO_CROSS_TRIPLE}
  "Root of the target's C library: searched for libraries and packages, and given to qemu -L")
mirvo_cross_setting(MIRVO_CROSS_EMULATOR qemu-arm
  "User-mode emulator that runs target programs on the build machine")

# try_compile projects read this file again; they must see the same choices.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES
  MIRVO_CROSS_TRIPLE MIRVO_CROSS_BIN MIRVO_SYSROOT MIRVO_CROSS_EMULATOR)

if(MIRVO_CROSS_BIN)
  set(tool_prefix "${MIRVO_CROSS_BIN}/${MIRVO_CROSS_TRIPLE}-")
else()
  set(tool_prefix "${MIRVO_CROSS_TRIPLE}-")
endif()
set(CMAKE_C_COMPILER "${tool_prefix}gcc")
set(CMAKE_CXX_COMPILER "${tool_prefix}g++")

# qemu-user runs the ARM test programs; -L makes the target's dynamic loader and C library
# come from the sysroot, while paths not found there (our build tree, /tmp, host tools
# started with exec) fall through to the host.
set(CMAKE_CROSSCOMPILING_EMULATOR "${MIRVO_CROSS_EMULATOR};-L;${MIRVO_SYSROOT}")

# Libraries, headers and packages come from the sysroot only, never from the host; programs
# (compilers, pkg-config, ffprobe) from the host.
set(CMAKE_FIND_ROOT_PATH "${MIRVO_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Header-only packages hold no machine code, so the host's copies serve the target too.
# Each is linked into a small root of its own in the build tree (its CMake package and its
# header folder, nothing else), so that allowing it does not put the host's /usr/include,
# with the host C library's headers, on the target's include path.
# Entries: package name:header folder under /usr/include.
set(mirvo_host_header_packages "nlohmann_json:nlohmann")
set(mirvo_header_root "${CMAKE_BINARY_DIR}/host-header-packages")
foreach(entry IN LISTS mirvo_host_header_packages)
  string(REPLACE ":" ";" entry "${entry}")
  list(GET entry 0 package)
  list(GET entry 1 header_dir)
  foreach(config_dir /usr/share/cmake/${package} /usr/lib/cmake/${package})
    if(EXISTS "${config_dir}" AND EXISTS "/usr/include/${header_dir}")
      file(MAKE_DIRECTORY "${mirvo_header_root}/usr/share/cmake" "${mirvo_header_root}/usr/include")
      file(CREATE_LINK "${config_dir}" "${mirvo_header_root}/usr/share/cmake/${package}" SYMBOLIC)
      file(CREATE_LINK "/usr/include/${header_dir}" "${mirvo_header_root}/usr/include/${header_dir}"
        SYMBOLIC)
      break()
    endif()
  endforeach()
endforeach()
list(APPEND CMAKE_FIND_ROOT_PATH "${mirvo_header_root}")

# zlib (for the tests, which check our CRC-32 against it) when the sysroot has none of its
# own: the target's Debian package, unpacked into the build tree by
# scripts/fetch-target-libs.sh (`make cross-test` runs it). Nothing on the camera needs it.
set(mirvo_target_libs "${CMAKE_BINARY_DIR}/target-libs")
if(NOT EXISTS "${MIRVO_SYSROOT}/include/zlib.h"
   AND EXISTS "${mirvo_target_libs}/usr/lib/${MIRVO_CROSS_TRIPLE}/libz.a")
  set(ZLIB_INCLUDE_DIR "${mirvo_target_libs}/usr/include" CACHE PATH "zlib headers for the target")
  set(ZLIB_LIBRARY "${mirvo_target_libs}/usr/lib/${MIRVO_CROSS_TRIPLE}/libz.a"
    CACHE FILEPATH "zlib for the target")
endif()
