# What is installed, and the packages made from it. One list of files feeds `cmake --install`, the
# Debian package and the Windows installer and zip.
#
# Components: Server (the server, its service and log rotation on Linux), Tools (velantis-client,
# velantis-loadgen), Dissector (the Wireshark plugin) and Documentation.

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
# The README refers to bench/README.md and docs/NAME.md; they keep those places beside it.
install(FILES bench/README.md DESTINATION ${VELANTIS_INSTALL_DOCDIR}/bench COMPONENT Documentation)
if(EXISTS ${PROJECT_SOURCE_DIR}/docs)
  install(DIRECTORY docs/ DESTINATION ${VELANTIS_INSTALL_DOCDIR}/docs COMPONENT Documentation)
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
  configure_file(packaging/linux/velantis-server.service.in
                 ${PROJECT_BINARY_DIR}/packaging/velantis-server.service @ONLY)
  configure_file(packaging/linux/velantis-server-logrotate.service.in
                 ${PROJECT_BINARY_DIR}/packaging/velantis-server-logrotate.service @ONLY)
  # systemd looks for units of packages in lib/systemd/system below the prefix (/usr for a package).
  install(FILES ${PROJECT_BINARY_DIR}/packaging/velantis-server.service
                ${PROJECT_BINARY_DIR}/packaging/velantis-server-logrotate.service
                packaging/linux/velantis-server-logrotate.timer
          DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/systemd/system COMPONENT Server)
  install(PROGRAMS packaging/linux/velantis-server-check-bound
          DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/${VELANTIS_PACKAGE_NAME} RENAME check-bound
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

# One Debian package holds everything: the tools and the plugin are small, and an operator who
# installs the server wants the client to check it with.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# deb-systemd-helper and deb-systemd-invoke, which the maintainer scripts use; logrotate, which
# velantis-server-logrotate.service runs.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "init-system-helpers (>= 1.52), logrotate")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "tshark | wireshark")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles
    ${PROJECT_SOURCE_DIR}/packaging/debian/preinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

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
