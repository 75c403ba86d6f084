# Operations files and the Debian package: the systemd unit, the logrotate
# file, the manual page, the example configuration, CPack's DEB settings and
# the package test. Included at the end of the top-level CMakeLists.txt, after
# the daemon's own install rule.

set(WDT_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(WDT_PACKAGING_BINARY_DIR ${CMAKE_CURRENT_BINARY_DIR}/packaging)

# --- systemd unit --------------------------------------------------------
# The unit names the daemon's full path, which is only known at install time:
# "cmake --install --prefix /usr" and CPack (which installs under /usr) use
# another prefix than the one configured. So the unit is filled in by the
# install script itself, into a file of its own per prefix (so that a CPack
# run and a plain install at the same time do not overwrite each other's).
install(CODE "
  set(WDT_SBINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}\")
  string(REGEX REPLACE \"/+\" \"/\" WDT_SBINDIR \"\${WDT_SBINDIR}\")
  string(MAKE_C_IDENTIFIER \"\${CMAKE_INSTALL_PREFIX}\" _wdt_prefix_id)
  set(_wdt_unit \"${WDT_PACKAGING_BINARY_DIR}/unit\${_wdt_prefix_id}/wdt-daemon.service\")
  configure_file(\"${WDT_PACKAGING_DIR}/wdt-daemon.service.in\" \"\${_wdt_unit}\" @ONLY)
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\"
       TYPE FILE PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
       FILES \"\${_wdt_unit}\")
")

# --- Files in /etc ---------------------------------------------------------
# The daemon reads /etc/wdt.ini whatever the prefix, and logrotate reads only
# /etc/logrotate.d, so both go to the absolute /etc (under DESTDIR when set),
# not to CMAKE_INSTALL_SYSCONFDIR, which is /usr/local/etc under the default
# prefix.
set(WDT_CONFFILES /etc/logrotate.d/wdt-daemon)
install(FILES ${WDT_PACKAGING_DIR}/wdt-daemon.logrotate
  DESTINATION /etc/logrotate.d RENAME wdt-daemon)

set(WDT_EXAMPLE_CONFIG ${CMAKE_CURRENT_SOURCE_DIR}/etc/wdt.ini)
if(EXISTS ${WDT_EXAMPLE_CONFIG})
  install(FILES ${WDT_EXAMPLE_CONFIG} DESTINATION /etc)
  list(APPEND WDT_CONFFILES /etc/wdt.ini)
else()
  message(STATUS "etc/wdt.ini not found: the example configuration is not installed")
  # Configure again as soon as it appears in etc/.
  if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/etc)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/etc)
  endif()
endif()

# --- Manual page -----------------------------------------------------------
# Installed compressed, as man pages are on Debian; plain where gzip is absent.
find_program(WDT_GZIP gzip)
if(WDT_GZIP)
  add_custom_command(
    OUTPUT ${WDT_PACKAGING_BINARY_DIR}/wdt-daemon.8.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${WDT_PACKAGING_BINARY_DIR}
    COMMAND ${WDT_GZIP} -9nc ${WDT_PACKAGING_DIR}/wdt-daemon.8 > ${WDT_PACKAGING_BINARY_DIR}/wdt-daemon.8.gz
    DEPENDS ${WDT_PACKAGING_DIR}/wdt-daemon.8
    COMMENT "Compressing the manual page"
    VERBATIM)
  add_custom_target(wdt-manpage ALL DEPENDS ${WDT_PACKAGING_BINARY_DIR}/wdt-daemon.8.gz)
  install(FILES ${WDT_PACKAGING_BINARY_DIR}/wdt-daemon.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
else()
  install(FILES ${WDT_PACKAGING_DIR}/wdt-daemon.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
endif()

# --- Debian package ---------------------------------------------------------
set(WDT_PACKAGE_MAINTAINER "wdt-daemon maintainers <root@localhost>"
  CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME wdt-daemon)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${WDT_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "hardware watchdog daemon for x86 industrial computers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_NAME wdt-daemon)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${WDT_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS logrotate)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Finds the watchdog timer of the board it runs on (the watchdog of a
Super I/O chip, or of a serial controller board spoken to in DCON-style
command lines), arms it and feeds it for as long as it runs, so that a hung
machine is reset. Ships a systemd unit, a logrotate file, a manual page and
an example /etc/wdt.ini. The service is installed but not enabled: arming a
watchdog on an unconfigured machine could reset it.")

# Dependencies come from the libraries the daemon is linked with. CPack needs
# dpkg-shlibdeps (package dpkg-dev) and file(1) for that; without them the
# list below stands in.
find_program(WDT_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(WDT_FILE_PROGRAM file)
if(WDT_DPKG_SHLIBDEPS AND WDT_FILE_PROGRAM)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  message(STATUS "dpkg-shlibdeps or file missing: the package's dependencies are a fixed list")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, libqt5core5a (>= 5.15)")
  if(TARGET Qt5::SerialPort)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libqt5serialport5 (>= 5.15)")
  endif()
endif()

# Files in /etc are configuration files: an upgrade keeps local edits.
# Maintainer scripts only reload systemd; they never enable or start the
# daemon.
string(REPLACE ";" "\n" _wdt_conffiles "${WDT_CONFFILES}")
file(WRITE ${WDT_PACKAGING_BINARY_DIR}/debian/conffiles "${_wdt_conffiles}\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${WDT_PACKAGING_BINARY_DIR}/debian/conffiles
  ${WDT_PACKAGING_DIR}/debian/postinst
  ${WDT_PACKAGING_DIR}/debian/prerm
  ${WDT_PACKAGING_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)

# --- Package test -----------------------------------------------------------
# Builds the package and installs it into scratch directories only; the real
# /etc, /lib/systemd and /var/log are never touched.
if(WDT_BUILD_TESTS AND (NOT DEFINED BUILD_TESTING OR BUILD_TESTING))
  set(_wdt_groups install unit logrotate manpage docs)
  find_program(WDT_DPKG_DEB dpkg-deb)
  if(WDT_DPKG_DEB)
    list(PREPEND _wdt_groups deb)
  else()
    message(STATUS "dpkg-deb missing: the Debian package test is not registered")
  endif()
  foreach(_wdt_group IN LISTS _wdt_groups)
    add_test(NAME packaging.${_wdt_group}
      COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tests/packaging/check_package.sh ${_wdt_group}
              ${CMAKE_CURRENT_BINARY_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
    set_tests_properties(packaging.${_wdt_group} PROPERTIES
      LABELS packaging SKIP_RETURN_CODE 77 TIMEOUT 120
      ENVIRONMENT "CMAKE=${CMAKE_COMMAND};CPACK=${CMAKE_CPACK_COMMAND}")
  endforeach()
  # These run the build's install script, which writes files of its own into
  # the build directory (the filled-in unit, install_manifest.txt).
  foreach(_wdt_group deb install unit)
    if(TEST packaging.${_wdt_group})
      set_tests_properties(packaging.${_wdt_group} PROPERTIES RESOURCE_LOCK wdt_build_install)
    endif()
  endforeach()
endif()
