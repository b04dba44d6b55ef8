# 32-bit ARM with uClibc-ng, the camera's own C library: Debian's arm-linux-gnueabihf cross
# compilers with the sysroot that scripts/uclibc-sysroot.sh builds (MIRVO_SYSROOT, by
# default build-uclibc/sysroot). The compilers' own glibc headers and libraries are kept out:
# headers come from the sysroot, from gcc and from libstdc++ (headers only, with
# uclibc_libstdcxx.h), and programs link the sysroot's start files and C library with gcc's
# libgcc and nothing else. Programs run under qemu-arm with the sysroot as their root.
if(NOT DEFINED MIRVO_SYSROOT AND NOT DEFINED ENV{MIRVO_SYSROOT})
  get_filename_component(MIRVO_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../../build-uclibc/sysroot"
    ABSOLUTE)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/arm-linux-gnueabihf.cmake)

if(NOT EXISTS "${MIRVO_SYSROOT}/usr/lib/libc.a")
  message(FATAL_ERROR "no uClibc sysroot at ${MIRVO_SYSROOT}: run scripts/uclibc-sysroot.sh build-uclibc")
endif()

# gcc's own folders: its headers (stddef.h, stdarg.h, arm_neon.h) and libgcc with the
# start files crtbegin*.o and crtend*.o.
execute_process(COMMAND ${CMAKE_C_COMPILER} -print-libgcc-file-name
  OUTPUT_VARIABLE mirvo_libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(mirvo_gcc_dir "${mirvo_libgcc}" DIRECTORY)
execute_process(COMMAND ${CMAKE_C_COMPILER} -dumpversion
  OUTPUT_VARIABLE mirvo_gcc_major OUTPUT_STRIP_TRAILING_WHITESPACE)
set(mirvo_cxx_headers /usr/${MIRVO_CROSS_TRIPLE}/include/c++/${mirvo_gcc_major})

set(mirvo_c_includes "-nostdinc -isystem ${MIRVO_SYSROOT}/usr/include -isystem ${mirvo_gcc_dir}/include")
set(CMAKE_C_FLAGS_INIT "${mirvo_c_includes}")
set(CMAKE_CXX_FLAGS_INIT "-nostdinc++ -isystem ${mirvo_cxx_headers} -isystem ${mirvo_cxx_headers}/${MIRVO_CROSS_TRIPLE} ${mirvo_c_includes} -include ${CMAKE_CURRENT_LIST_DIR}/uclibc_libstdcxx.h")

# Linking: no default libraries (they would be glibc's), the sysroot's start files first
# (-B), its C library, and libgcc linked in whole so that nothing needs glibc's libgcc_s.so.
# Executables are not position-independent: uClibc's loader runs them at a fixed address.
set(mirvo_link "--sysroot=${MIRVO_SYSROOT} -B${MIRVO_SYSROOT}/usr/lib -nodefaultlibs -L${MIRVO_SYSROOT}/usr/lib")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${mirvo_link} -no-pie -Wl,-dynamic-linker=/lib/ld-uClibc.so.0")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${mirvo_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${mirvo_link}")
set(mirvo_standard_libraries "-lc ${mirvo_gcc_dir}/libgcc.a ${mirvo_gcc_dir}/libgcc_eh.a -lc")
set(CMAKE_C_STANDARD_LIBRARIES "${mirvo_standard_libraries}" CACHE STRING "" FORCE)
set(CMAKE_CXX_STANDARD_LIBRARIES "${mirvo_standard_libraries}" CACHE STRING "" FORCE)
