# SPDX-License-Identifier: MIT
# Cross-builds for 64-bit ARM Linux against Debian's multiarch arm64 packages
# (qtbase5-dev:arm64, liblog4cplus-dev:arm64 ...) installed beside the
# machine's own, and runs what it built under qemu-user so that ctest works.
#
#   cmake -S . -B build-aarch64 -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(ORVA_TARGET_TRIPLET aarch64-linux-gnu)

set(CMAKE_C_COMPILER ${ORVA_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ORVA_TARGET_TRIPLET}-g++)

# Multiarch: the target's libraries and package configurations live in
# /usr/lib/aarch64-linux-gnu, their headers mostly in the shared /usr/include.
# Rooting every search at / and naming the library architecture keeps the
# searches in the target's directories and out of /usr/lib/x86_64-linux-gnu.
set(CMAKE_LIBRARY_ARCHITECTURE ${ORVA_TARGET_TRIPLET})
set(CMAKE_FIND_ROOT_PATH /usr/${ORVA_TARGET_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${ORVA_TARGET_TRIPLET}/pkgconfig:/usr/share/pkgconfig)

# moc, rcc and uic run on the build machine: Debian's arm64 Qt5 package
# configuration already names the host's tools in /usr/lib/qt5/bin, which is
# what the Qt5::moc imported target (and so AUTOMOC) uses.

# The dynamic loader and the libraries come from libc6:arm64 and the other
# :arm64 packages, at the paths the target uses, so qemu needs no prefix of
# its own: -L / says so and keeps it away from any default prefix. Pointing it
# at /usr/aarch64-linux-gnu instead would pair that cross toolchain's own
# loader with libc6:arm64's C library, two different builds, and programs hang.
# Without qemu-user the cross build still works; only ctest cannot run it.
find_program(ORVA_QEMU_AARCH64 qemu-aarch64)
if(ORVA_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ORVA_QEMU_AARCH64};-L;/)
endif()
