# Cross build for the board, 32-bit ARM hard-float (Debian armhf), with
# Debian's arm-linux-gnueabihf compilers against a Debian 12 armhf sysroot
# that scripts/cross-armhf makes. Programs the build runs itself (test
# discovery, ctest) go through qemu user emulation, since the build machine
# may have no binfmt_misc to run ARM binaries directly.
#   HALYX_ARMHF_SYSROOT   the sysroot (default: sysroot-armhf in the source tree)

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

if(NOT HALYX_ARMHF_SYSROOT)
  get_filename_component(HALYX_ARMHF_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../sysroot-armhf" ABSOLUTE)
endif()
set(HALYX_ARMHF_SYSROOT "${HALYX_ARMHF_SYSROOT}" CACHE PATH "Debian armhf sysroot")
# try_compile projects read this file again without the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES HALYX_ARMHF_SYSROOT)
if(NOT EXISTS "${HALYX_ARMHF_SYSROOT}/usr/include/arm-linux-gnueabihf")
  message(FATAL_ERROR "no armhf sysroot at ${HALYX_ARMHF_SYSROOT}: scripts/cross-armhf makes it")
endif()

set(CMAKE_SYSROOT "${HALYX_ARMHF_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH "${HALYX_ARMHF_SYSROOT}")
# Host programs, target headers, libraries and CMake packages (GTest's
# config lives under usr/lib/arm-linux-gnueabihf/cmake in the sysroot).
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The host's pkg-config, reading only the sysroot's .pc files and prefixing
# their paths with it; the sysroot's own *_config helpers are ARM binaries.
set(ENV{PKG_CONFIG_LIBDIR}
    "${HALYX_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf/pkgconfig:${HALYX_ARMHF_SYSROOT}/usr/lib/pkgconfig:${HALYX_ARMHF_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${HALYX_ARMHF_SYSROOT}")
unset(ENV{PKG_CONFIG_PATH})

find_program(HALYX_QEMU_ARM qemu-arm-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${HALYX_QEMU_ARM};-L;${HALYX_ARMHF_SYSROOT}")
