# Cross build for Linux on AArch64 with Debian's cross toolchain
# (crossbuild-essential-arm64) and the arm64 packages of the dependencies,
# installed side by side with the native ones (dpkg multiarch).
#
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#
# Test programs run under qemu-aarch64 (user-mode emulation) through CTest.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(QVFW_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${QVFW_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${QVFW_CROSS_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${QVFW_CROSS_TRIPLE})

# Libraries, headers and package files are looked up only in the AArch64
# places (the cross sysroot and the multiarch directories), programs on the
# host.
set(CMAKE_FIND_ROOT_PATH /usr/${QVFW_CROSS_TRIPLE} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config (which FindOpenSSL asks first) reads the AArch64 .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${QVFW_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Where the emulator finds the AArch64 loader and libraries. The default is
# the multiarch root: its loader, C library, libstdc++, libcrypto and curses
# libraries all come from the arm64 packages of one release. The cross
# sysroot /usr/aarch64-linux-gnu serves for linking only: its loader belongs
# to libc6-arm64-cross, which lags behind the libc6:arm64 that the arm64
# library packages pull in, and that loader with the other C library hangs
# the first fork of a test program.
set(QVFW_EMULATOR_SYSROOT / CACHE PATH "Root of the AArch64 loader and libraries for qemu-aarch64 -L")
find_program(QVFW_QEMU_AARCH64 qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QVFW_QEMU_AARCH64} -L ${QVFW_EMULATOR_SYSROOT})
