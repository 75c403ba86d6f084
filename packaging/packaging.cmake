# Operations files and the Debian package: the systemd unit, the logrotate
# file, the manual pages, the example configuration, the package's copyright
# and changelog, CPack's DEB settings and the package test. Included at the
# end of the top-level CMakeLists.txt, after the daemon's own install rule.

# The binaries the package ships are built hardened; this reaches every
# target that takes the warning flags.
include(${CMAKE_CURRENT_SOURCE_DIR}/cmake/hardening.cmake)

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
  set(WDT_SERVICE_TYPE \"${WDT_SERVICE_TYPE}\")
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
  # /etc/wdt.ini is the administrator's file: an install over an existing one
  # keeps it byte for byte (a reinstall that reverted it to the example would
  # throw away the machine's register lists and could leave its watchdog
  # unfed or unstoppable) and puts the new example beside it as
  # /etc/wdt.ini.example, to compare with. The kept file is left out of
  # install_manifest.txt, so that removing the listed files spares it. The
  # package's staging root never has one, so the .deb holds /etc/wdt.ini
  # itself, a conffile that dpkg keeps the same way.
  install(CODE "
    set(_wdt_config \"\$ENV{DESTDIR}/etc/wdt.ini\")
    if(EXISTS \"\${_wdt_config}\" OR IS_SYMLINK \"\${_wdt_config}\")
      set(_wdt_kept \"\")
      if(EXISTS \"\${_wdt_config}\")
        file(READ \"\${_wdt_config}\" _wdt_kept HEX)
      endif()
      file(READ \"${WDT_EXAMPLE_CONFIG}\" _wdt_new HEX)
      if(EXISTS \"\${_wdt_config}\" AND _wdt_kept STREQUAL _wdt_new)
        message(STATUS \"Up-to-date: \${_wdt_config} (the example, unchanged)\")
      else()
        message(STATUS \"Keeping: \${_wdt_config} (edited); the new example is /etc/wdt.ini.example\")
        file(INSTALL DESTINATION /etc TYPE FILE RENAME wdt.ini.example
             PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
             FILES \"${WDT_EXAMPLE_CONFIG}\")
      endif()
    else()
      file(INSTALL DESTINATION /etc TYPE FILE
           PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
           FILES \"${WDT_EXAMPLE_CONFIG}\")
    endif()
  ")
  list(APPEND WDT_CONFFILES /etc/wdt.ini)
else()
  message(STATUS "etc/wdt.ini not found: the example configuration is not installed")
  # Configure again as soon as it appears in etc/.
  if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/etc)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/etc)
  endif()
endif()

# --- Manual pages and package documents ------------------------------------
# Installed compressed, as man pages and changelogs are on Debian (gzip -n:
# no time stamp, so a rebuild gives the same bytes); plain where gzip is
# absent. wdt-daemon(8) is the daemon, wdt.ini(5) its configuration file.
find_program(WDT_GZIP gzip)
set(WDT_MANPAGES wdt-daemon.8 wdt.ini.5)
set(WDT_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/wdt-daemon)
# The copyright file and the changelog of the package, which Debian's policy
# asks of every package (in /usr/share/doc/<package>). The package is native
# (its version has no Debian revision), so the changelog is changelog.gz.
# The package test checks that its newest entry is the project's version.
install(FILES ${WDT_PACKAGING_DIR}/debian/copyright DESTINATION ${WDT_DOCDIR})
set(_wdt_compressed)
foreach(_wdt_page IN LISTS WDT_MANPAGES)
  string(REGEX MATCH "[0-9]$" _wdt_section ${_wdt_page})
  if(WDT_GZIP)
    set(_wdt_gz ${WDT_PACKAGING_BINARY_DIR}/${_wdt_page}.gz)
    add_custom_command(
      OUTPUT ${_wdt_gz}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${WDT_PACKAGING_BINARY_DIR}
      COMMAND ${WDT_GZIP} -9nc ${WDT_PACKAGING_DIR}/${_wdt_page} > ${_wdt_gz}
      DEPENDS ${WDT_PACKAGING_DIR}/${_wdt_page}
      COMMENT "Compressing the manual page ${_wdt_page}"
      VERBATIM)
    list(APPEND _wdt_compressed ${_wdt_gz})
    install(FILES ${_wdt_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${_wdt_section})
  else()
    install(FILES ${WDT_PACKAGING_DIR}/${_wdt_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${_wdt_section})
  endif()
endforeach()
if(WDT_GZIP)
  add_custom_command(
    OUTPUT ${WDT_PACKAGING_BINARY_DIR}/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${WDT_PACKAGING_BINARY_DIR}
    COMMAND ${WDT_GZIP} -9nc ${WDT_PACKAGING_DIR}/debian/changelog > ${WDT_PACKAGING_BINARY_DIR}/changelog.gz
    DEPENDS ${WDT_PACKAGING_DIR}/debian/changelog
    COMMENT "Compressing the package changelog"
    VERBATIM)
  list(APPEND _wdt_compressed ${WDT_PACKAGING_BINARY_DIR}/changelog.gz)
  install(FILES ${WDT_PACKAGING_BINARY_DIR}/changelog.gz DESTINATION ${WDT_DOCDIR})
else()
  install(FILES ${WDT_PACKAGING_DIR}/debian/changelog DESTINATION ${WDT_DOCDIR})
endif()
if(_wdt_compressed)
  add_custom_target(wdt-manpage ALL DEPENDS ${_wdt_compressed})
endif()

# --- Debian package ---------------------------------------------------------
# A site that builds its own package names itself here
# (-DWDT_PACKAGE_MAINTAINER="Name <address>"); lintian refuses an address
# on localhost or of root.
set(WDT_PACKAGE_MAINTAINER "wdt-daemon maintainers <wdt-daemon@example.org>"
  CACHE STRING "Maintainer field of the Debian package")
# Build directories configured before keep the earlier default on localhost.
if(WDT_PACKAGE_MAINTAINER STREQUAL "wdt-daemon maintainers <root@localhost>")
  set_property(CACHE WDT_PACKAGE_MAINTAINER PROPERTY VALUE "wdt-daemon maintainers <wdt-daemon@example.org>")
endif()

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
  if(WDT_HAVE_SYSTEMD)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libsystemd0")
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
