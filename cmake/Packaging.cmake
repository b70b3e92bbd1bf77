# What is installed, and the packages made from it. One list of files feeds `cmake --install`, the
# Debian package and the Windows installer and zip.
#
# Components: Server (the server, its service and log rotation on Linux), Tools (velantis-client,
# velantis-loadgen), Dissector (the Wireshark plugin) and Documentation, which make the server's
# package; ClientRuntime (the client library) and ClientDevelopment (its header, link, pkg-config
# and CMake files, the C# binding), which make the library's two Debian packages and the sdk
# folder of the Windows installer and zip.

include(GNUInstallDirs)

set(VELANTIS_PACKAGE_NAME velantis-server)
set(VELANTIS_MAKER OrlinStudio)

if(WIN32)
  # Windows programs keep their files together in one folder below Program Files.
  set(VELANTIS_INSTALL_BINDIR .)
  set(VELANTIS_INSTALL_DOCDIR doc)
  set(VELANTIS_INSTALL_DISSECTORDIR wireshark)
else()
  set(VELANTIS_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR})
  set(VELANTIS_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${VELANTIS_PACKAGE_NAME})
  # Wireshark's global Lua plugin folder ("Global Lua Plugins" in `tshark -G folders`).
  set(VELANTIS_INSTALL_DISSECTORDIR ${CMAKE_INSTALL_LIBDIR}/wireshark/plugins)
endif()

install(TARGETS velantis-server RUNTIME DESTINATION ${VELANTIS_INSTALL_BINDIR} COMPONENT Server)
if(VELANTIS_BUILD_TOOLS)
  install(TARGETS velantis-client velantis-loadgen
          RUNTIME DESTINATION ${VELANTIS_INSTALL_BINDIR} COMPONENT Tools)
endif()

install(FILES README.md DESTINATION ${VELANTIS_INSTALL_DOCDIR} COMPONENT Documentation)
# The documents refer to each other by their paths in the source tree (bench/README.md,
# docs/NAME.md, packaging/README.md, ...); they keep those places beside the README, so that
# scripts/check-doc-links.py finds every reference resolved in the installed folder too.
install(FILES bench/README.md bench/capacity.svg DESTINATION ${VELANTIS_INSTALL_DOCDIR}/bench
        COMPONENT Documentation)
install(FILES packaging/README.md DESTINATION ${VELANTIS_INSTALL_DOCDIR}/packaging
        COMPONENT Documentation)
install(FILES packaging/wireshark/README.md DESTINATION ${VELANTIS_INSTALL_DOCDIR}/packaging/wireshark
        COMPONENT Documentation)
install(FILES packaging/prometheus/velantis-alerts.yml
        DESTINATION ${VELANTIS_INSTALL_DOCDIR}/packaging/prometheus COMPONENT Documentation)
if(EXISTS ${PROJECT_SOURCE_DIR}/docs)
  install(DIRECTORY docs/ DESTINATION ${VELANTIS_INSTALL_DOCDIR}/docs COMPONENT Documentation)
endif()

# The client library. On Linux its files are left out of a plain `cmake --install`, which stays
# what the server's package holds; `--component ClientRuntime` / `ClientDevelopment` and the
# library's packages install them. Windows installs everything together, below sdk\.
if(WIN32)
  set(VELANTIS_CLIENT_EXCLUDE)
  set(VELANTIS_CLIENT_LIBDIR sdk)
  set(VELANTIS_CLIENT_BINDIR sdk)
  set(VELANTIS_CLIENT_INCLUDEDIR sdk/include)
  set(VELANTIS_CLIENT_CSHARPDIR sdk)
else()
  set(VELANTIS_CLIENT_EXCLUDE EXCLUDE_FROM_ALL)
  set(VELANTIS_CLIENT_LIBDIR ${CMAKE_INSTALL_LIBDIR})
  set(VELANTIS_CLIENT_BINDIR ${CMAKE_INSTALL_BINDIR})
  set(VELANTIS_CLIENT_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
  set(VELANTIS_CLIENT_CSHARPDIR ${CMAKE_INSTALL_DATAROOTDIR}/velantis-client/csharp)
endif()
if(WIN32)
  # Where find_package looks below a prefix of sdk\ (CMAKE_PREFIX_PATH=<install folder>\sdk).
  set(VELANTIS_CLIENT_CMAKEDIR sdk/cmake)
else()
  set(VELANTIS_CLIENT_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/VelantisClient)
endif()
install(TARGETS velantis-client-lib EXPORT VelantisClientTargets
        RUNTIME DESTINATION ${VELANTIS_CLIENT_BINDIR} COMPONENT ClientRuntime
                ${VELANTIS_CLIENT_EXCLUDE}
        LIBRARY DESTINATION ${VELANTIS_CLIENT_LIBDIR} COMPONENT ClientRuntime
                NAMELINK_COMPONENT ClientDevelopment ${VELANTIS_CLIENT_EXCLUDE}
        ARCHIVE DESTINATION ${VELANTIS_CLIENT_LIBDIR} COMPONENT ClientDevelopment
                ${VELANTIS_CLIENT_EXCLUDE}
        INCLUDES DESTINATION ${VELANTIS_CLIENT_INCLUDEDIR})
install(FILES client/include/velantis/client.h DESTINATION ${VELANTIS_CLIENT_INCLUDEDIR}/velantis
        COMPONENT ClientDevelopment ${VELANTIS_CLIENT_EXCLUDE})
install(FILES client/bindings/csharp/Velantis.Client.cs DESTINATION ${VELANTIS_CLIENT_CSHARPDIR}
        COMPONENT ClientDevelopment ${VELANTIS_CLIENT_EXCLUDE})
install(EXPORT VelantisClientTargets NAMESPACE VelantisClient:: DESTINATION ${VELANTIS_CLIENT_CMAKEDIR}
        COMPONENT ClientDevelopment ${VELANTIS_CLIENT_EXCLUDE})
include(CMakePackageConfigHelpers)
configure_file(client/VelantisClientConfig.cmake.in
               ${PROJECT_BINARY_DIR}/packaging/VelantisClientConfig.cmake @ONLY)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/packaging/VelantisClientConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/packaging/VelantisClientConfig.cmake
              ${PROJECT_BINARY_DIR}/packaging/VelantisClientConfigVersion.cmake
        DESTINATION ${VELANTIS_CLIENT_CMAKEDIR} COMPONENT ClientDevelopment
        ${VELANTIS_CLIENT_EXCLUDE})
if(NOT WIN32)
  configure_file(client/velantis-client.pc.in ${PROJECT_BINARY_DIR}/packaging/velantis-client.pc
                 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/velantis-client.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT ClientDevelopment
          ${VELANTIS_CLIENT_EXCLUDE})
  # The name the C# binding asks the loader for (DllImport "velantis-client"), which mono and
  # .NET both try as it is: with it a game needs the runtime package only, not the development
  # package's libvelantis-client.so.
  file(CREATE_LINK libvelantis-client.so.${PROJECT_VERSION_MAJOR}
       ${PROJECT_BINARY_DIR}/packaging/velantis-client SYMBOLIC)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/velantis-client
          DESTINATION ${VELANTIS_CLIENT_LIBDIR} COMPONENT ClientRuntime ${VELANTIS_CLIENT_EXCLUDE})
  # The guide and the examples beside the header, for whoever builds a game on it.
  install(FILES docs/client-library.md
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libvelantis-client-dev
          COMPONENT ClientDevelopment ${VELANTIS_CLIENT_EXCLUDE})
  install(DIRECTORY examples/
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libvelantis-client-dev/examples
          COMPONENT ClientDevelopment ${VELANTIS_CLIENT_EXCLUDE})
endif()

if(EXISTS ${PROJECT_SOURCE_DIR}/packaging/wireshark/velantis.lua)
  install(FILES packaging/wireshark/velantis.lua DESTINATION ${VELANTIS_INSTALL_DISSECTORDIR}
          COMPONENT Dissector)
endif()

if(WIN32)
  # Explorer's Properties and the firewall prompt name a program from its version resource.
  enable_language(RC)
  function(velantis_version_resource target description)
    set(VELANTIS_RC_NAME ${target})
    set(VELANTIS_RC_DESCRIPTION "${description}")
    configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/version.rc.in
                   ${PROJECT_BINARY_DIR}/packaging/${target}.rc @ONLY)
    target_sources(${target} PRIVATE ${PROJECT_BINARY_DIR}/packaging/${target}.rc)
  endfunction()
  velantis_version_resource(velantis-server "Velantis game server")
  if(VELANTIS_BUILD_TOOLS)
    velantis_version_resource(velantis-client "Velantis client: one player from the command line")
    velantis_version_resource(velantis-loadgen "Velantis load generator")
  endif()
endif()

if(NOT WIN32)
  set(VELANTIS_FULL_DOCDIR ${CMAKE_INSTALL_PREFIX}/${VELANTIS_INSTALL_DOCDIR})
  set(VELANTIS_FULL_LIBEXECDIR ${CMAKE_INSTALL_FULL_LIBEXECDIR}/${VELANTIS_PACKAGE_NAME})
  # The log is rotated by a unit of its own, as the server's user, with this configuration.
  set(VELANTIS_LOGROTATE /usr/sbin/logrotate)
  set(VELANTIS_LOGROTATE_CONF
      ${CMAKE_INSTALL_FULL_SYSCONFDIR}/${VELANTIS_PACKAGE_NAME}/logrotate.conf)
  set(VELANTIS_FULL_SYSCONFDIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/${VELANTIS_PACKAGE_NAME})
  # The plain unit and the template of several servers share one sandbox, written once.
  file(READ packaging/linux/server-sandbox.in VELANTIS_SERVER_SANDBOX)
  string(STRIP "${VELANTIS_SERVER_SANDBOX}" VELANTIS_SERVER_SANDBOX)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               ${PROJECT_SOURCE_DIR}/packaging/linux/server-sandbox.in)
  configure_file(packaging/linux/velantis-server.service.in
                 ${PROJECT_BINARY_DIR}/packaging/velantis-server.service @ONLY)
  configure_file(packaging/linux/velantis-server@.service.in
                 ${PROJECT_BINARY_DIR}/packaging/velantis-server@.service @ONLY)
  configure_file(packaging/linux/velantis-server-logrotate.service.in
                 ${PROJECT_BINARY_DIR}/packaging/velantis-server-logrotate.service @ONLY)
  # systemd looks for units of packages in lib/systemd/system below the prefix (/usr for a package).
  install(FILES ${PROJECT_BINARY_DIR}/packaging/velantis-server.service
                ${PROJECT_BINARY_DIR}/packaging/velantis-server@.service
                ${PROJECT_BINARY_DIR}/packaging/velantis-server-logrotate.service
                packaging/linux/velantis-server-logrotate.timer
          DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/systemd/system COMPONENT Server)
  install(PROGRAMS packaging/linux/velantis-server-check-bound
          DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/${VELANTIS_PACKAGE_NAME} RENAME check-bound
          COMPONENT Server)
  install(FILES packaging/linux/instance.conf.example
          DESTINATION ${VELANTIS_INSTALL_DOCDIR}/examples RENAME instance.conf COMPONENT Server)
  install(FILES packaging/linux/velantis-server.default
          DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default RENAME ${VELANTIS_PACKAGE_NAME}
          COMPONENT Server)
  install(FILES packaging/linux/logrotate.conf
          DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/${VELANTIS_PACKAGE_NAME} COMPONENT Server)

  # Debian wants the copyright and a compressed changelog beside the documentation.
  file(STRINGS packaging/debian/changelog changelogTop LIMIT_COUNT 1)
  if(NOT changelogTop MATCHES "\\(${PROJECT_VERSION}\\)")
    message(FATAL_ERROR "packaging/debian/changelog does not start with version ${PROJECT_VERSION}")
  endif()
  set(changelogGz ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
  add_custom_command(OUTPUT ${changelogGz}
                     COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/debian/changelog > ${changelogGz}
                     DEPENDS packaging/debian/changelog VERBATIM)
  add_custom_target(velantis-changelog ALL DEPENDS ${changelogGz})
  install(FILES packaging/debian/copyright ${changelogGz}
          DESTINATION ${VELANTIS_INSTALL_DOCDIR} COMPONENT Documentation)
  set(clientPackages libvelantis-client1 libvelantis-client-dev)
  set(clientComponents ClientRuntime ClientDevelopment)
  foreach(package component IN ZIP_LISTS clientPackages clientComponents)
    install(FILES packaging/debian/copyright ${changelogGz}
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component}
            EXCLUDE_FROM_ALL)
  endforeach()

  # Manual pages made from each program's --help and --version, so they say what the program
  # says. help2man runs the programs just built; a cross build runs them under its emulator
  # (qemu-user in the arm64 build), which help2man takes as part of the command.
  if(VELANTIS_MAN_PAGES)
    find_program(VELANTIS_HELP2MAN help2man)
    if(NOT VELANTIS_HELP2MAN)
      message(FATAL_ERROR "VELANTIS_MAN_PAGES needs help2man (Debian: help2man; "
                          "scripts/setup.sh help2man installs it)")
    endif()
    set(manRunner)
    if(CMAKE_CROSSCOMPILING)
      if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
        message(FATAL_ERROR "VELANTIS_MAN_PAGES in a cross build needs CMAKE_CROSSCOMPILING_EMULATOR "
                            "to run the programs (qemu-user: scripts/setup.sh qemu-user)")
      endif()
      list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " manRunner)
      string(APPEND manRunner " ")
    endif()
    set(manPages)
    function(velantis_man_page target section component name)
      set(page ${PROJECT_BINARY_DIR}/man/${target}.${section}.gz)
      # Sections that --help does not hold (files, signals, environment, ...), where written.
      set(include)
      set(includeFile)
      if(EXISTS ${PROJECT_SOURCE_DIR}/packaging/man/${target}.h2m)
        set(includeFile ${PROJECT_SOURCE_DIR}/packaging/man/${target}.h2m)
        set(include --include=${includeFile})
      endif()
      # The date and the version come from the project, so the page is the same in every build.
      add_custom_command(
        OUTPUT ${page}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
        COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${VELANTIS_SOURCE_DATE_EPOCH}
                ${VELANTIS_HELP2MAN} --no-info --no-discard-stderr --section=${section}
                "--name=${name}" "--source=Velantis ${PROJECT_VERSION}" ${include}
                --output=${PROJECT_BINARY_DIR}/man/${target}.${section}
                "${manRunner}$<TARGET_FILE:${target}>"
        COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/man/${target}.${section}
        DEPENDS ${target} ${includeFile} VERBATIM)
      install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
              COMPONENT ${component})
      set(manPages ${manPages} ${page} PARENT_SCOPE)
    endfunction()
    # The date of the newest changelog entry.
    file(STRINGS packaging/debian/changelog changelogDates REGEX "^ -- .*>  ")
    list(GET changelogDates 0 changelogDate)
    string(REGEX REPLACE "^ -- .*>  " "" changelogDate "${changelogDate}")
    execute_process(COMMAND date -d "${changelogDate}" +%s
                    OUTPUT_VARIABLE VELANTIS_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE)
    velantis_man_page(velantis-server 8 Server "game server of Velantis")
    if(VELANTIS_BUILD_TOOLS)
      velantis_man_page(velantis-client 1 Tools "one Velantis player from the command line")
      velantis_man_page(velantis-loadgen 1 Tools "load generator for the Velantis game server")
    endif()
    add_custom_target(velantis-man-pages ALL DEPENDS ${manPages})
  endif()
endif()

set(CPACK_PACKAGE_NAME ${VELANTIS_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR ${VELANTIS_MAKER})
set(CPACK_PACKAGE_CONTACT "${VELANTIS_MAKER} <packages@orlinstudio.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "UDP server of a small multiplayer game")
set(CPACK_PACKAGE_DESCRIPTION
    "The server admits players over UDP port 15000, announces newcomers, relays\n\
position updates and verifies every packet's FNV-1a 64 checksum, keeping a\n\
plain-text log of every datagram it receives. It runs as the hardened systemd\n\
service velantis-server.service.\n\
.\n\
Also included: velantis-client, which plays one player from the command line,\n\
velantis-loadgen, which measures the server under load, and a Wireshark plugin\n\
that decodes the protocol.")
set(CPACK_STRIP_FILES ON)

# Three Debian packages. velantis-server holds the server and everything an operator uses with
# it: the tools and the plugin are small, and an operator who installs the server wants the
# client to check it with. The client library comes as Debian wants a shared library: the
# runtime libvelantis-client1 (named for its SONAME) and the development package
# libvelantis-client-dev.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shlibs file (and the ldconfig calls) for the package that holds a shared library.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# A cross build (the arm64 preset) makes packages of its target's architecture. dpkg-shlibdeps then
# works as in any Debian cross build: DEB_HOST_ARCH names the architecture, and the dependencies
# come from that architecture's libraries installed by multiarch (libc6:arm64, libstdc++6:arm64,
# libgcc-s1:arm64), read with that architecture's objdump; the variable is set when cpack runs.
if(VELANTIS_DEBIAN_ARCHITECTURE)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${VELANTIS_DEBIAN_ARCHITECTURE})
  configure_file(cmake/CPackCross.cmake.in
                 ${PROJECT_BINARY_DIR}/packaging/CPackCross.cmake @ONLY)
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/packaging/CPackCross.cmake)
endif()

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME ${VELANTIS_PACKAGE_NAME})
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
# adduser, deb-systemd-helper and deb-systemd-invoke, which the maintainer scripts use;
# logrotate, which velantis-server-logrotate.service runs.
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "adduser, init-system-helpers (>= 1.52), logrotate")
set(CPACK_DEBIAN_SERVER_PACKAGE_SUGGESTS "tshark | wireshark")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles
    ${PROJECT_SOURCE_DIR}/packaging/debian/preinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_SERVER_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}\n${CPACK_PACKAGE_DESCRIPTION}")
if(NOT WIN32)
  # CPackDeb puts the one project summary above every package's description unless it is CPack's
  # own default; here each package's description starts with a summary line of its own.
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_NAME} built using CMake")
endif()

set(VELANTIS_CLIENT_ABOUT
    "The library speaks the game's UDP protocol for a game client: it connects\n\
(resending, and starting again when only the server's answer was lost),\n\
turns received packets into events one at a time, and sends position\n\
updates. C API, no global state, no allocation per packet.")
set(CPACK_DEBIAN_CLIENTRUNTIME_PACKAGE_NAME libvelantis-client1)
set(CPACK_DEBIAN_CLIENTRUNTIME_PACKAGE_SECTION libs)
# The library cache is updated by dpkg's ldconfig trigger; the scripts only keep CPack from
# writing ldconfig calls of its own into the package, which Debian no longer wants.
set(CPACK_DEBIAN_CLIENTRUNTIME_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/libvelantis-client1/triggers
    ${PROJECT_SOURCE_DIR}/packaging/debian/libvelantis-client1/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/libvelantis-client1/postrm)
set(CPACK_DEBIAN_CLIENTRUNTIME_DESCRIPTION
    "client library of a small multiplayer game's UDP protocol\n${VELANTIS_CLIENT_ABOUT}")
set(CPACK_DEBIAN_CLIENTDEVELOPMENT_PACKAGE_NAME libvelantis-client-dev)
set(CPACK_DEBIAN_CLIENTDEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_CLIENTDEVELOPMENT_PACKAGE_DEPENDS
    "libvelantis-client1 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_CLIENTDEVELOPMENT_DESCRIPTION
    "client library of a small multiplayer game's UDP protocol - development files\n\
${VELANTIS_CLIENT_ABOUT}\n\
.\n\
This package holds the C header, the link to the library, a pkg-config file,\n\
the CMake package VelantisClient and the C# binding.")

if(WIN32)
  # The installer (velantis-server-<version>-win64.exe) and the portable zip hold the same files.
  # Everything is installed together: no components page, one zip.
  set(CPACK_GENERATOR NSIS ZIP)
  set(CPACK_MONOLITHIC_INSTALL ON)
  set(CPACK_PACKAGE_INSTALL_DIRECTORY Velantis)
  # Without the version in the key, a newer installer finds and replaces the older install.
  set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Velantis)
  set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/packaging/windows/license.txt)
  set(CPACK_NSIS_PACKAGE_NAME Velantis)  # the installer's title and the Start-menu folder
  set(CPACK_NSIS_DISPLAY_NAME "Velantis server")
  # The installer is a 32-bit program; the programs it installs are 64-bit.
  set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
  set(CPACK_NSIS_INSTALLED_ICON_NAME velantis-server.exe)
  set(CPACK_NSIS_MENU_LINKS velantis-server.exe "Velantis server")
  # The 64-bit registry view and the firewall rule; single quotes, as CPack passes these on
  # without escaping double ones.
  set(CPACK_NSIS_DEFINES "!define VELANTIS_MAKER ${VELANTIS_MAKER}
!include '${PROJECT_SOURCE_DIR}/packaging/windows/installer.nsh'")
  set(CPACK_NSIS_EXTRA_INSTALL_COMMANDS "!insertmacro VelantisAddFirewallRule")
  set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS "!insertmacro VelantisRemoveFirewallRule")
  # An upgrade replaces the earlier install wherever it is: the installer runs the earlier
  # uninstaller first (without asking when silent), and installs into the earlier folder unless
  # given another with /D=.
  set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
  # CPack's own installer script, changed where the 64-bit registry view matters. Its start-up
  # looks for the earlier install's uninstall entry in the 32-bit view, where a 32-bit installer
  # looks by default; ours is in the 64-bit one. InstallDirRegKey, which would bring back the earlier
  # folder, reads only the 32-bit view (makensis 3.08 takes no HKLM64 there), so the start-up reads
  # the folder CPack's installer writes to the maker's key itself, unless /D= named one. And the
  # earlier uninstaller, run in place, cannot delete itself: the installer deletes it and its
  # folder once it has run.
  file(READ ${CMAKE_ROOT}/Modules/Internal/CPack/NSIS.template.in nsisScript)
  set(nsisFrom1 [=[
Function .onInit
]=])
  set(nsisTo1 [=[
Function .onInit
  SetRegView 64
  StrCmp $INSTDIR "@CPACK_NSIS_INSTALL_ROOT@\@CPACK_PACKAGE_INSTALL_DIRECTORY@" 0 remembered
  ReadRegStr $0 HKLM "Software\@CPACK_PACKAGE_VENDOR@\@CPACK_PACKAGE_INSTALL_REGISTRY_KEY@" ""
  StrCmp $0 "" 0 +2
  ReadRegStr $0 HKCU "Software\@CPACK_PACKAGE_VENDOR@\@CPACK_PACKAGE_INSTALL_REGISTRY_KEY@" ""
  StrCmp $0 "" remembered
  StrCpy $INSTDIR $0
remembered:
]=])
  set(nsisFrom2 [=[
  IfErrors uninst_failed inst
]=])
  set(nsisTo2 [=[
  IfErrors uninst_failed
  Delete "$3\@CPACK_NSIS_UNINSTALL_NAME@.exe"
  RMDir "$3"
  Goto inst
]=])
  foreach(change 1 2)
    string(FIND "${nsisScript}" "${nsisFrom${change}}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "CPack's NSIS.template.in has no \"${nsisFrom${change}}\": review the "
                          "changes cmake/Packaging.cmake makes to it")
    endif()
    string(REPLACE "${nsisFrom${change}}" "${nsisTo${change}}" nsisScript "${nsisScript}")
  endforeach()
  file(WRITE ${PROJECT_BINARY_DIR}/packaging/nsis/NSIS.template.in "${nsisScript}")
  set(CPACK_MODULE_PATH ${PROJECT_BINARY_DIR}/packaging/nsis ${CMAKE_MODULE_PATH})
else()
  set(CPACK_GENERATOR DEB)
endif()

include(CPack)

if(NOT WIN32)
  cpack_add_component_group(server)
  foreach(component Server Tools Dissector Documentation)
    cpack_add_component(${component} GROUP server)
  endforeach()
  cpack_add_component(ClientRuntime)
  cpack_add_component(ClientDevelopment DEPENDS ClientRuntime)
endif()
