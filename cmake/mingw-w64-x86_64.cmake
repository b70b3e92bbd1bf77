# Cross-compiles for 64-bit Windows with mingw-w64 and runs the results under Wine.
#
# The -posix compilers carry the winpthreads threading model that std::thread and friends need.
# Everything is linked statically so the executables start in a bare Wine prefix (or on a Windows
# machine) without libstdc++-6.dll, libgcc_s_seh-1.dll or libwinpthread-1.dll beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELANTIS_MINGW_TRIPLET x86_64-w64-mingw32)

find_program(CMAKE_C_COMPILER NAMES ${VELANTIS_MINGW_TRIPLET}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${VELANTIS_MINGW_TRIPLET}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${VELANTIS_MINGW_TRIPLET}-windres)
find_program(CMAKE_AR NAMES ${VELANTIS_MINGW_TRIPLET}-gcc-ar-posix ${VELANTIS_MINGW_TRIPLET}-ar)
find_program(CMAKE_RANLIB NAMES ${VELANTIS_MINGW_TRIPLET}-gcc-ranlib-posix
                                ${VELANTIS_MINGW_TRIPLET}-ranlib)

set(CMAKE_FIND_ROOT_PATH /usr/${VELANTIS_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

# CTest (and gtest_discover_tests) run every test program through Wine, by way of a small
# wrapper that can give each test process a fresh data folder. Debian installs the 64-bit loader
# as /usr/lib/wine/wine64 behind the `wine` script; other distributions put wine64 on the PATH.
find_program(VELANTIS_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(VELANTIS_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR bash ${CMAKE_CURRENT_LIST_DIR}/../tests/wine/wine-run.sh
                                    ${VELANTIS_WINE})
endif()
