# What `cmake --install` puts where, and the Debian package made from it
# (`cmake --build build --target package` gives vorl_<version>_amd64.deb).
#
#   bin/vorl, bin/vorl-simmachine (and bin/vorl-dnc where that program is built,
#   with its systemd unit lib/systemd/system/vorl-dnc.service and the machine
#   and service files it serves, etc/vorl/: /etc/vorl/ for the prefix /usr)
#   share/vorl/              help file, sample language file, demo/ (programs and
#                            the simulated machine tool's settings)
#   share/applications/vorl.desktop, share/icons/hicolor/scalable/apps/vorl.svg
#   share/man/man1/          vorl.1.gz, vorl-simmachine.1.gz, vorl-dnc.1.gz
#   share/doc/vorl/          copyright, changelog.gz
#
# An installed vorl finds its help file in share/vorl/ beside its bin/ and
# keeps the user's files in ~/.config/vorl/ (src/app/file_locations.h).
include(GNUInstallDirs)

set(VORL_DIST ${CMAKE_SOURCE_DIR}/dist)
set(VORL_DATADIR ${CMAKE_INSTALL_DATADIR}/vorl)

install(TARGETS vorl vorl-simmachine RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET vorl-dnc)
  install(TARGETS vorl-dnc RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The systemd unit of `vorl-dnc serve` (systemd looks in lib/systemd/system
  # of the prefix) and the machine and service files it serves, in etc/vorl
  # (/etc/vorl for the prefix /usr). The unit names the program and files
  # where this installation puts them: the prefix is known only when it
  # installs (the package installs into /usr whatever the build was set up
  # with).
  set(unit_code [[
    if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
      set(SYSCONFDIR "/etc")
    else()
      set(SYSCONFDIR "${CMAKE_INSTALL_PREFIX}/etc")
    endif()
    set(BINDIR "${CMAKE_INSTALL_PREFIX}/@CMAKE_INSTALL_BINDIR@")
    configure_file("@VORL_DIST@/vorl-dnc.service" "@CMAKE_BINARY_DIR@/unit/vorl-dnc.service" @ONLY)
    file(INSTALL "@CMAKE_BINARY_DIR@/unit/vorl-dnc.service"
         DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
    file(INSTALL "@VORL_DIST@/etc/vorl.vorlcfg" "@VORL_DIST@/etc/vorl.dnc"
         DESTINATION "${SYSCONFDIR}/vorl")
  ]])
  string(CONFIGURE "${unit_code}" unit_code @ONLY)
  install(CODE "${unit_code}")
endif()

install(FILES ${VORL_DIST}/vorl.hlp ${VORL_DIST}/sample.lan DESTINATION ${VORL_DATADIR})
# The program in the build tree finds its help beside it, as a copy run from
# its own directory does.
configure_file(${VORL_DIST}/vorl.hlp ${CMAKE_BINARY_DIR}/src/app/vorl.hlp COPYONLY)
install(FILES ${CMAKE_SOURCE_DIR}/tools/simmachine/demo/machine.conf
              ${CMAKE_SOURCE_DIR}/tools/simmachine/demo/O1000.nc
              ${CMAKE_SOURCE_DIR}/tools/simmachine/demo/O2000.nc
        DESTINATION ${VORL_DATADIR}/demo)
install(FILES ${VORL_DIST}/vorl.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${VORL_DIST}/vorl.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# Man pages carry the version and are compressed, as Debian keeps them.
find_program(GZIP_PROGRAM gzip REQUIRED)
set(VORL_MAN_PAGES vorl vorl-simmachine)
if(TARGET vorl-dnc AND EXISTS ${VORL_DIST}/vorl-dnc.1)
  list(APPEND VORL_MAN_PAGES vorl-dnc)
endif()
set(VORL_MAN_OUTPUTS)
foreach(page IN LISTS VORL_MAN_PAGES)
  set(VERSION ${PROJECT_VERSION})
  configure_file(${VORL_DIST}/${page}.1 ${CMAKE_BINARY_DIR}/man/${page}.1 @ONLY)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.1.gz
    COMMAND ${GZIP_PROGRAM} -9n -c ${CMAKE_BINARY_DIR}/man/${page}.1 > ${CMAKE_BINARY_DIR}/man/${page}.1.gz
    DEPENDS ${CMAKE_BINARY_DIR}/man/${page}.1
    VERBATIM)
  list(APPEND VORL_MAN_OUTPUTS ${CMAKE_BINARY_DIR}/man/${page}.1.gz)
endforeach()
add_custom_target(vorl_man ALL DEPENDS ${VORL_MAN_OUTPUTS})
install(FILES ${VORL_MAN_OUTPUTS} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The package's own documents, as Debian keeps them: the copyright and the
# changelog of its versions (the package is its own upstream, so the Debian
# changelog is changelog.gz; compressed with no time stamp in the gzip header).
configure_file(${VORL_DIST}/changelog.in ${CMAKE_BINARY_DIR}/doc/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/doc/changelog.gz
  COMMAND ${GZIP_PROGRAM} -9n -c ${CMAKE_BINARY_DIR}/doc/changelog >
          ${CMAKE_BINARY_DIR}/doc/changelog.gz
  DEPENDS ${CMAKE_BINARY_DIR}/doc/changelog
  VERBATIM)
add_custom_target(vorl_doc ALL DEPENDS ${CMAKE_BINARY_DIR}/doc/changelog.gz)
install(FILES ${VORL_DIST}/copyright ${CMAKE_BINARY_DIR}/doc/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vorl)

# ---- Debian package ---------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vorl)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "VORL II developers")
set(CPACK_PACKAGE_CONTACT "VORL II developers <vorl@vorl.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "DNC program: moves NC part programs to and from machine tools over RS-232")
set(CPACK_PACKAGE_DESCRIPTION
    "VORL II moves NC part programs between the shop computer and the controllers
of CNC machine tools over serial lines, with each machine's line settings,
flow control, trigger strings, ASCII or Xmodem, EIA or ASCII tape code,
filters, block delays and restart at a chosen block. A terminal window talks
to a control by hand. Includes vorl-dnc, which sends and receives programs
without the window (for scripts), and vorl-simmachine, a simulated machine
tool controller for trying the program without a machine.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The service's user is made when the package is configured (postinst); the
# machine and service files in /etc/vorl are the shop's once edited.
set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${VORL_DIST}/debian/postinst ${VORL_DIST}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)

# The package installed on this machine, tried as a new user would and removed
# again (scripts/package-test). Label "package"; alone, as it installs into
# the system; skipped (77) where nothing can be installed. A sanitizer build
# is no package.
if(VORL_SANITIZE STREQUAL "")
  add_test(NAME package_test COMMAND ${CMAKE_SOURCE_DIR}/scripts/package-test ${CMAKE_BINARY_DIR})
  set_tests_properties(package_test PROPERTIES
    LABELS package RUN_SERIAL TRUE TIMEOUT 900 SKIP_RETURN_CODE 77)
endif()
