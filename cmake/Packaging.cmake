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
  configure_file(packaging/linux/velantis-server.service.in
                 ${PROJECT_BINARY_DIR}/packaging/velantis-server.service @ONLY)
  # systemd looks for units of packages in lib/systemd/system below the prefix (/usr for a package).
  install(FILES ${PROJECT_BINARY_DIR}/packaging/velantis-server.service
          DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/systemd/system COMPONENT Server)
  install(PROGRAMS packaging/linux/velantis-server-check-bound
          DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/${VELANTIS_PACKAGE_NAME} RENAME check-bound
          COMPONENT Server)
  install(FILES packaging/linux/velantis-server.logrotate
          DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d RENAME velantis-server
          COMPONENT Server)

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

  # Manual pages made from each program's --help and --version, so they say what the program
  # says. help2man runs the programs just built, so a cross build cannot make them.
  if(VELANTIS_MAN_PAGES)
    find_program(VELANTIS_HELP2MAN help2man)
    if(NOT VELANTIS_HELP2MAN)
      message(FATAL_ERROR "VELANTIS_MAN_PAGES needs help2man (Debian: help2man; "
                          "scripts/setup.sh help2man installs it)")
    endif()
    set(manPages)
    function(velantis_man_page target section component name)
      set(page ${PROJECT_BINARY_DIR}/man/${target}.${section}.gz)
      # The date and the version come from the project, so the page is the same in every build.
      add_custom_command(
        OUTPUT ${page}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
        COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${VELANTIS_SOURCE_DATE_EPOCH}
                ${VELANTIS_HELP2MAN} --no-info --no-discard-stderr --section=${section}
                "--name=${name}" "--source=Velantis ${PROJECT_VERSION}"
                --output=${PROJECT_BINARY_DIR}/man/${target}.${section} $<TARGET_FILE:${target}>
        COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/man/${target}.${section}
        DEPENDS ${target} VERBATIM)
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

# One Debian package holds everything: the tools and the plugin are small, and an operator who
# installs the server wants the client to check it with.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# deb-systemd-helper and deb-systemd-invoke, which the maintainer scripts use.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "init-system-helpers (>= 1.52)")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS logrotate)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "tshark | wireshark")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles
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
else()
  set(CPACK_GENERATOR DEB)
endif()

include(CPack)
