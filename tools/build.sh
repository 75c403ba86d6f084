#!/usr/bin/env bash
# Installs the Debian packages the daemon needs, then configures and builds
# it (tests included) into ./build. Run from anywhere; needs root or sudo
# for the package installation.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(qtbase5-dev libqt5serialport5-dev libsystemd-dev pkg-config cmake ninja-build g++ libgtest-dev)
# What the tests run besides the build, so that none of them is skipped on a
# fresh machine: the package test's dpkg-deb, dpkg-shlibdeps and
# dpkg-parsechangelog (dpkg-dev), file (for dpkg-shlibdeps), logrotate, man
# (man-db), systemd-analyze (systemd, with the units it verifies against),
# lintian, and hardening-check (devscripts). libsystemd-dev (found through
# pkg-config) gives the daemon its service-manager notifications, which the
# tests exercise. The metrics test scrapes a real prometheus-node-exporter
# and has promtool (prometheus) check the file. Both packages enable their
# service where systemd runs: on a developer's machine with systemd that is
# an exporter on port 9100 and a Prometheus server on 9090, on every
# interface, until `systemctl disable --now prometheus prometheus-node-exporter`.
packages+=(libsystemd-dev pkg-config dpkg-dev file logrotate man-db systemd lintian devscripts prometheus-node-exporter
    prometheus)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
    as_root=()
    [ "$(id -u)" -eq 0 ] || as_root=(sudo)
    "${as_root[@]}" apt-get update
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

# WDT_CMAKE_ARGS adds configure options, e.g. -DWDT_WARNINGS_AS_ERRORS=ON (CI).
# shellcheck disable=SC2086
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo ${WDT_CMAKE_ARGS:-}
cmake --build build
