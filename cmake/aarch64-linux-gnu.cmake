# Cross-compiles for 64-bit ARM Linux (arm64, aarch64) with Debian's cross compilers
# (g++-aarch64-linux-gnu) and runs the results under qemu-user.
#
# The programs link the C and C++ runtimes of the cross toolchain's sysroot, /usr/aarch64-linux-gnu,
# which are the same versions as Debian's arm64 libc6 and libstdc++6; the header-only libraries
# are the host's own (cmake/HeaderLinks.cmake), GoogleTest is built from /usr/src/googletest.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(VELANTIS_CROSS_TRIPLET aarch64-linux-gnu)
set(VELANTIS_CROSS_SYSROOT /usr/${VELANTIS_CROSS_TRIPLET})

find_program(CMAKE_C_COMPILER NAMES ${VELANTIS_CROSS_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${VELANTIS_CROSS_TRIPLET}-g++ REQUIRED)

# Debian's multiarch library folder: /usr/lib/aarch64-linux-gnu in the packages.
set(CMAKE_LIBRARY_ARCHITECTURE ${VELANTIS_CROSS_TRIPLET})
# The Debian packages' architecture (cmake/Packaging.cmake).
set(VELANTIS_DEBIAN_ARCHITECTURE arm64)

set(CMAKE_FIND_ROOT_PATH ${VELANTIS_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest, gtest_discover_tests and help2man (the manual pages) run the programs under qemu-user,
# which finds the arm64 loader and libraries in the sysroot (-L). No binfmt registration needed.
find_program(VELANTIS_QEMU NAMES qemu-aarch64 qemu-aarch64-static NO_CMAKE_FIND_ROOT_PATH)
if(VELANTIS_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELANTIS_QEMU} -L ${VELANTIS_CROSS_SYSROOT})
endif()
