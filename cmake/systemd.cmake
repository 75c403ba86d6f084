# Readiness, status and keep-alive for systemd through libsystemd's
# sd_notify. AUTO uses libsystemd when pkg-config finds it (Debian:
# libsystemd-dev, pkg-config); OFF, or AUTO without it, builds a daemon that
# notifies nothing and a unit that does not wait for it.
set(WDT_SYSTEMD AUTO CACHE STRING "Notify systemd through libsystemd: AUTO, ON or OFF")
set_property(CACHE WDT_SYSTEMD PROPERTY STRINGS AUTO ON OFF)
string(TOUPPER "${WDT_SYSTEMD}" _wdt_systemd)
if(NOT _wdt_systemd MATCHES "^(AUTO|ON|OFF)$")
  message(FATAL_ERROR "WDT_SYSTEMD is '${WDT_SYSTEMD}'; it takes AUTO, ON or OFF")
endif()

set(WDT_HAVE_SYSTEMD OFF)
if(NOT _wdt_systemd STREQUAL "OFF")
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(LIBSYSTEMD QUIET IMPORTED_TARGET libsystemd)
  endif()
  if(LIBSYSTEMD_FOUND)
    set(WDT_HAVE_SYSTEMD ON)
  elseif(_wdt_systemd STREQUAL "ON")
    message(FATAL_ERROR "WDT_SYSTEMD=ON, but pkg-config finds no libsystemd (Debian: libsystemd-dev, pkg-config)")
  else()
    message(STATUS "libsystemd not found: the daemon is built without systemd notifications")
  endif()
endif()

# A unit of Type=notify waits for READY=1: only a daemon that can send it
# may be started that way, or every start would time out and be killed.
if(WDT_HAVE_SYSTEMD)
  set(WDT_SERVICE_TYPE notify)
else()
  set(WDT_SERVICE_TYPE simple)
endif()
