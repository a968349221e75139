# Cross build for the camera: AArch64 Linux with Debian's cross compiler
# (g++-aarch64-linux-gnu) and its target libraries in /usr/aarch64-linux-gnu.
#
# Test programs are built for the target and run on the build machine under
# qemu's user-mode emulation: CTest, and gtest_discover_tests (which lists a
# test binary's cases when the tests run, not when they build), prefix every
# target program with CMAKE_CROSSCOMPILING_EMULATOR.
#
#   cmake --preset aarch64        (or -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64.cmake)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(UDPTRANS_CROSS_TRIPLE aarch64-linux-gnu CACHE STRING "GNU triple of the cross compiler")
set(UDPTRANS_CROSS_SYSROOT /usr/${UDPTRANS_CROSS_TRIPLE} CACHE PATH
    "Target libraries: the dynamic loader and libc/libstdc++ the emulator loads")

set(CMAKE_C_COMPILER ${UDPTRANS_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${UDPTRANS_CROSS_TRIPLE}-g++)

# Look for libraries and headers only among the target's, programs only on
# the build machine. Debian's cross packages are not a sysroot (no
# CMAKE_SYSROOT): the compiler already knows its own include and library paths.
# Package configs are looked for in both places, so that a project built with
# this file finds an unpacked arm64 tree of ours through CMAKE_PREFIX_PATH.
set(CMAKE_FIND_ROOT_PATH ${UDPTRANS_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# -L tells qemu where the target's dynamic loader and libraries live. The
# build tree's own libraries (libalgo.so, libudptrans.so) are found through
# the programs' RPATH, as on the device.
find_program(UDPTRANS_QEMU_AARCH64 NAMES qemu-aarch64 qemu-aarch64-static)
if(UDPTRANS_QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${UDPTRANS_QEMU_AARCH64} -L ${UDPTRANS_CROSS_SYSROOT})
endif()
