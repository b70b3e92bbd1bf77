# Cross-compiles for 64-bit ARM Linux (arm64, aarch64) with Debian's cross compilers
# (g++-aarch64-linux-gnu) and runs the results under qemu-user.
#
# The programs are linked against the C and C++ runtimes of the cross toolchain's sysroot,
# /usr/aarch64-linux-gnu (the same upstream versions as Debian's arm64 libc6 and libstdc++6); the
# header-only libraries are the host's own (cmake/HeaderLinks.cmake), GoogleTest is built from
# /usr/src/googletest.
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

# CTest, gtest_discover_tests and help2man (the manual pages) run the programs under qemu-user;
# no binfmt registration is needed. With Debian's arm64 C and C++ runtimes installed by multiarch
# (libc6:arm64, libstdc++6:arm64, libgcc-s1:arm64, which the arm64 leg installs for
# dpkg-shlibdeps too) they run on those, as on an arm64 Debian machine. Otherwise qemu takes the
# loader and libraries from the sysroot (-L). Never a mix: the loader of one and the libc.so.6 of
# the other (which the loader finds through the machine's ld.so.cache, where multiarch lists it)
# hang in the first pthread_create when their versions differ.
find_program(VELANTIS_QEMU NAMES qemu-aarch64 qemu-aarch64-static NO_CMAKE_FIND_ROOT_PATH)
if(VELANTIS_QEMU)
  if(EXISTS /lib/ld-linux-aarch64.so.1)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${VELANTIS_QEMU})
  else()
    set(CMAKE_CROSSCOMPILING_EMULATOR ${VELANTIS_QEMU} -L ${VELANTIS_CROSS_SYSROOT})
  endif()
endif()
