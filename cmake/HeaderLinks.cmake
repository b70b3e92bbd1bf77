# Header-only libraries from Debian: CLI11 (libcli11-dev) and Boost's HTTP and networking
# libraries (libboost-dev) for the server, nlohmann-json (nlohmann-json3-dev) for the tools. The
# same headers serve the Windows cross build. A cross build must not see the host's /usr/include,
# whose C library headers would take the place of mingw-w64's, so each library's own folder is
# linked into a build-tree folder and only that one is put on the include path (the same way in
# every build).
set(VELANTIS_HEADER_LINKS ${PROJECT_BINARY_DIR}/header-only)
file(MAKE_DIRECTORY ${VELANTIS_HEADER_LINKS})

# velantis_header_links(HEADER...): links the folder of each header (CLI/CLI.hpp links CLI) into
# VELANTIS_HEADER_LINKS, or stops with what to install.
function(velantis_header_links)
  set(hostHeaders)
  if(CMAKE_CROSSCOMPILING)
    set(hostHeaders PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  endif()
  foreach(header ${ARGN})
    string(REGEX REPLACE "/.*" "" library ${header})
    find_path(VELANTIS_${library}_INCLUDE_DIR ${header} ${hostHeaders})
    if(NOT VELANTIS_${library}_INCLUDE_DIR)
      message(FATAL_ERROR "${header} not found: install libcli11-dev, libboost-dev and "
                          "nlohmann-json3-dev (Debian; scripts/setup.sh installs them)")
    endif()
    file(CREATE_LINK ${VELANTIS_${library}_INCLUDE_DIR}/${library}
         ${VELANTIS_HEADER_LINKS}/${library} SYMBOLIC COPY_ON_ERROR)
  endforeach()
endfunction()
