#!/usr/bin/env bash
# Checks of the installation and of the Debian package, one group per call:
#
#   check_package.sh GROUP BUILD_DIR SOURCE_DIR
#
#   deb        cpack builds the .deb; its control data, conffiles, maintainer
#              scripts (run against recording stand-ins of the systemd
#              helpers) and contents, unpacked into a scratch root; lintian
#              finds no error; the binaries are hardened
#   install    cmake --install with DESTDIR and another prefix: the unit names
#              the daemon at that prefix, /etc files land under DESTDIR, an
#              edited /etc/wdt.ini survives a second install
#   unit       systemd-analyze verify on the installed unit
#   logrotate  logrotate accepts the file and really rotates a scratch log
#   manpage    the manual pages render without warnings
#   docs       the manual pages name every key and refusal of README.md, and
#              wdt.ini(5) every key the daemon's sources read
#
# Exit status 0: passed, 1: failed, 77: skipped (a tool it needs is missing,
# or cannot work here). Everything is written below a directory from
# mktemp -d; the real /etc, /lib/systemd and /var/log are never written.
# CMAKE and CPACK name the tools of the build (set by CTest).
set -uo pipefail
# Under pipefail "producer | grep -q" fails at random: grep quits at its first
# match and the producer's next write dies of SIGPIPE. Texts go to grep -q as
# here-strings or process substitutions instead.

group=${1:?group} build=${2:?build dir} source=${3:?source dir}
cmake=${CMAKE:-cmake}
cpack=${CPACK:-cpack}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/wdt-package.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
skip() {
    echo "SKIP: $*"
    exit 77
}
have() { command -v "$1" >/dev/null 2>&1; }
finish() {
    if [ "$failures" -gt 0 ]; then
        echo "$failures check(s) failed"
        exit 1
    fi
    echo "all checks passed"
    exit 0
}

# Installs the build into $1 (DESTDIR) with prefix $2; aborts on failure.
install_into() {
    if ! DESTDIR="$1" "$cmake" --install "$build" --prefix "$2" >"$scratch/install.log" 2>&1; then
        cat "$scratch/install.log"
        echo "FAIL: cmake --install into a scratch root failed"
        exit 1
    fi
}

# The ExecStart path of unit file $1.
exec_start() { sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$1" | head -n 1; }

# Checks that root $1 holds an installation with prefix $2.
check_layout() {
    local root=$1 prefix=$2
    local daemon="$root$prefix/sbin/wdt-daemon"
    local unit="$root$prefix/lib/systemd/system/wdt-daemon.service"
    [ -f "$daemon" ] && [ -x "$daemon" ] || fail "no executable $prefix/sbin/wdt-daemon"
    [ "$(head -c 4 "$daemon" 2>/dev/null | od -An -c | tr -d ' ')" = '177ELF' ] ||
        fail "$prefix/sbin/wdt-daemon is not an ELF executable"
    [ -f "$root/etc/wdt.ini" ] || fail "no /etc/wdt.ini (example configuration)"
    [ -f "$root/etc/logrotate.d/wdt-daemon" ] || fail "no /etc/logrotate.d/wdt-daemon"
    local page
    for page in man8/wdt-daemon.8 man5/wdt.ini.5; do
        [ -f "$root$prefix/share/man/$page.gz" ] || [ -f "$root$prefix/share/man/$page" ] ||
            fail "no manual page $prefix/share/man/$page"
    done
    [ -f "$root$prefix/share/doc/wdt-daemon/copyright" ] || fail "no $prefix/share/doc/wdt-daemon/copyright"
    [ -f "$root$prefix/share/doc/wdt-daemon/changelog.gz" ] || [ -f "$root$prefix/share/doc/wdt-daemon/changelog" ] ||
        fail "no changelog in $prefix/share/doc/wdt-daemon"
    if [ ! -f "$unit" ]; then
        fail "no systemd unit $prefix/lib/systemd/system/wdt-daemon.service"
        return
    fi
    grep -q '@[A-Za-z_]*@' "$unit" && fail "the unit still holds an unfilled @VARIABLE@"
    # The unit must start the daemon where this installation put it.
    local start
    start=$(exec_start "$unit")
    [ "$start" = "$prefix/sbin/wdt-daemon" ] ||
        fail "unit ExecStart is '$start', the daemon is installed as $prefix/sbin/wdt-daemon"
    check_unit_settings "$unit" "$daemon"
}

# The value of setting $2 in unit file $1 (the last one counts).
unit_value() { sed -n "s/^$2=//p" "$1" | tail -n 1; }

# Settings the daemon cannot run under: it stays in the foreground, needs
# root with CAP_SYS_RAWIO for port I/O, the real /tmp (test marker), /dev
# (serial board) and a writable /var/log.
check_unit_settings() {
    local unit=$1 daemon=$2 value
    value=$(unit_value "$unit" Type)
    case $value in
        simple | exec | "") ;;
        # Only a daemon linked with libsystemd can tell systemd it is ready;
        # without it the start would time out and be killed.
        notify)
            ! have readelf || grep -q 'NEEDED.*\[libsystemd\.so' < <(readelf -d "$daemon") ||
                fail "unit Type=notify, but the daemon is not linked with libsystemd"
            ;;
        *) fail "unit Type=$value: the daemon does not fork" ;;
    esac
    case $(unit_value "$unit" Restart) in on-failure | always | on-abnormal) ;;
        *) fail "unit does not restart the daemon after a crash" ;; esac
    case $(unit_value "$unit" KillSignal) in SIGTERM | SIGINT | "") ;;
        *) fail "unit stops with a signal that does not disarm the watchdog" ;; esac
    value=$(unit_value "$unit" OOMScoreAdjust)
    [ "${value:-0}" -lt 0 ] 2>/dev/null || fail "unit does not protect the daemon from the OOM killer"
    for value in PrivateTmp PrivateDevices DynamicUser; do
        case $(unit_value "$unit" "$value") in yes | true | on | 1) fail "unit sets $value" ;; esac
    done
    case $(unit_value "$unit" ProtectSystem) in strict) fail "unit makes /var/log read-only (ProtectSystem=strict)" ;; esac
    case $(unit_value "$unit" DevicePolicy) in closed | strict) fail "unit closes /dev to the daemon" ;; esac
    case $(unit_value "$unit" User) in "" | root | 0) ;; *) fail "unit runs the daemon as another user than root" ;; esac
    grep -qE '^(SystemCallFilter|InaccessiblePaths|ReadOnlyPaths)=' "$unit" &&
        fail "unit filters system calls or hides paths the daemon uses"
    value=$(unit_value "$unit" CapabilityBoundingSet)
    [ -z "$value" ] || [[ " $value " == *" CAP_SYS_RAWIO "* ]] || fail "unit drops CAP_SYS_RAWIO (needed by iopl)"
}

# Runs the maintainer scripts of control directory $1 as dpkg would, in a
# table of situations, against stand-ins of systemctl, deb-systemd-helper
# and deb-systemd-invoke that record their calls; checks what each situation
# must and must not do to the unit.
check_maintainer_scripts() {
    local control=$1 bin="$scratch/helpers" run="$scratch/run-systemd" calls="$scratch/calls"
    mkdir -p "$bin"
    local tool
    for tool in systemctl deb-systemd-helper deb-systemd-invoke; do
        cat >"$bin/$tool" <<STUB
#!/bin/sh
echo "$tool \$*" >>"$calls"
case "$tool \$1 \$2" in
    "deb-systemd-helper debian-installed "*) [ "\$WDT_STUB_INSTALLED" = yes ] ;;
    "deb-systemd-helper --quiet was-enabled") [ "\$WDT_STUB_ENABLED" = yes ] ;;
esac
STUB
        chmod +x "$bin/$tool"
    done
    # The scripts look for a running systemd and for the helper at fixed
    # paths: point those at the scratch directory.
    local script
    for script in postinst prerm postrm; do
        [ -f "$control/$script" ] || { fail "no maintainer script $script"; return; }
        sed -e "s|/run/systemd/system|$run|g" -e "s|/usr/bin/deb-systemd-helper|$bin/deb-systemd-helper|g" \
            "$control/$script" >"$scratch/$script"
    done

    # script | arguments | unit known to the helper | enabled | systemd runs |
    # calls that must be made | calls that must not (extended regexps); items
    # of the last two separated by ";"
    local cases='
postinst|configure|no|no|yes|systemctl --system daemon-reload;deb-systemd-helper update-state wdt-daemon.service|helper enable;invoke;systemctl (enable|start|restart)
postinst|configure 0.0.9|yes|no|yes|deb-systemd-invoke try-restart wdt-daemon.service|helper enable;invoke (start|restart);systemctl (enable|start|restart)
postinst|configure 0.0.9|yes|yes|yes|deb-systemd-helper enable wdt-daemon.service;deb-systemd-invoke try-restart wdt-daemon.service|invoke (start|restart)
postinst|configure 0.0.9|yes|no|no|deb-systemd-helper update-state wdt-daemon.service|invoke;systemctl
prerm|upgrade 0.2.0|||yes||invoke;systemctl
prerm|remove|||yes|deb-systemd-invoke stop wdt-daemon.service|start
postrm|remove|||yes|systemctl --system daemon-reload|purge;enable;start
postrm|purge|||no|deb-systemd-helper purge wdt-daemon.service|enable;start
postrm|upgrade 0.2.0|||yes||purge;invoke'
    local line name args installed enabled systemd must mustnot call pattern
    while IFS='|' read -r name args installed enabled systemd must mustnot; do
        [ -n "$name" ] || continue
        rm -rf "$run" "$calls"
        touch "$calls"
        [ "$systemd" = yes ] && mkdir -p "$run"
        # shellcheck disable=SC2086
        if ! env -u DPKG_ROOT PATH="$bin:$PATH" WDT_STUB_INSTALLED="$installed" WDT_STUB_ENABLED="$enabled" \
            sh "$scratch/$name" $args >"$scratch/script.log" 2>&1; then
            cat "$scratch/script.log"
            fail "$name $args failed"
        fi
        IFS=';' read -r -a line <<<"$must"
        for call in "${line[@]}"; do
            [ -z "$call" ] || grep -qxF "$call" "$calls" || fail "$name $args (systemd: $systemd) does not call $call"
        done
        IFS=';' read -r -a line <<<"$mustnot"
        for pattern in "${line[@]}"; do
            [ -z "$pattern" ] || ! grep -qE "$pattern" "$calls" ||
                fail "$name $args (systemd: $systemd) calls: $(grep -E "$pattern" "$calls" | tr '\n' ';')"
        done
    done <<<"$cases"
}

# Checks that ELF file $1 is built as Debian hardens its packages: PIE (an
# executable), full RELRO, stack protector and fortified libc calls.
check_hardened() {
    local elf=$1 name=${1#"$scratch"/root}
    if ! have readelf; then
        echo "note: readelf missing; $name not checked for hardening"
        return
    fi
    local header dynamic segments symbols
    header=$(readelf -h "$elf") dynamic=$(readelf -d "$elf") segments=$(readelf -lW "$elf")
    symbols=$(readelf --dyn-syms -W "$elf" | awk '$7 == "UND" { print $8 }' | sed 's/@.*//')
    if grep -q 'Type: *EXEC' <<<"$header"; then
        fail "$name is not position independent (PIE)"
    elif grep -q 'Type: *DYN' <<<"$header" && ! grep -q 'FLAGS_1.*PIE' <<<"$dynamic" &&
        grep -q 'INTERP' <<<"$segments"; then
        fail "$name is an executable without the PIE flag"
    fi
    grep -q 'GNU_RELRO' <<<"$segments" || fail "$name has no RELRO segment"
    grep -qE '\(BIND_NOW\)|FLAGS.*[^_]NOW' <<<"$dynamic" || fail "$name is not linked with -z now (full RELRO)"
    grep -qx '__stack_chk_fail' <<<"$symbols" || fail "$name is not built with the stack protector"
    # Control-flow enforcement is not asked for: Debian 12's C start files
    # lack it, so no binary linked there is marked for it.
    local skipped=(--nocfprotection)
    if grep -q 'NEEDED.*\[libasan' <<<"$dynamic"; then
        # A sanitizer build: the sanitizer's own checked libc calls stand in
        # for fortified ones, which it leaves none of in the binary.
        echo "note: $name is a sanitizer build; fortified libc calls not checked"
        skipped+=(--nofortify)
    else
        # Fortify replaces calls whose buffer size is known with checked ones.
        grep -qE '^__[a-z_]+_chk$' <<<"$symbols" || fail "$name calls no fortified libc function"
    fi
    if have hardening-check; then
        hardening-check "${skipped[@]}" "$elf" >"$scratch/hardening.log" 2>&1 || {
            cat "$scratch/hardening.log"
            fail "hardening-check fails on $name"
        }
    else
        echo "note: hardening-check (devscripts) missing; only readelf checked $name"
    fi
}

# lintian on the package: no error. Warnings and notes are shown.
check_lintian() {
    if ! have lintian; then
        echo "note: lintian is not installed; the package is not checked by it"
        return
    fi
    local output
    output=$(lintian --fail-on error --tag-display-limit 0 "$1" 2>&1)
    local status=$?
    [ -z "$output" ] || printf 'lintian: %s\n' "$output"
    [ "$status" -eq 0 ] || fail "lintian reports errors (status $status)"
}

check_deb() {
    have dpkg-deb || skip "dpkg-deb is not installed"
    local out="$scratch/out"
    if ! "$cpack" -G DEB -B "$out" --config "$build/CPackConfig.cmake" >"$scratch/cpack.log" 2>&1; then
        cat "$scratch/cpack.log"
        fail "cpack -G DEB failed"
        finish
    fi
    local debs
    mapfile -t debs < <(find "$out" -maxdepth 1 -name '*.deb')
    if [ "${#debs[@]}" -ne 1 ]; then
        fail "cpack made ${#debs[@]} .deb files, expected one"
        finish
    fi
    local deb=${debs[0]}
    echo "package: $(basename "$deb")"

    # Control fields.
    [ "$(dpkg-deb -f "$deb" Package)" = "wdt-daemon" ] || fail "package name is not wdt-daemon"
    [ "$(dpkg-deb -f "$deb" Section)" = "admin" ] || fail "section is not admin"
    [ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || fail "no maintainer"
    if have dpkg; then
        [ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] ||
            fail "architecture is not $(dpkg --print-architecture)"
    fi

    # Contents: only /usr and /etc, no headers, static libraries or CMake
    # package files from a stray install rule.
    local listing="$scratch/listing"
    dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|; s|/$||' | grep -v '^$' >"$listing"
    local stray
    stray=$(grep -Ev '^/(usr|etc)(/|$)' "$listing")
    [ -z "$stray" ] || fail "files outside /usr and /etc: $stray"
    stray=$(grep -E '^/usr/include(/|$)|\.a$|/cmake(/|$)' "$listing")
    [ -z "$stray" ] || fail "development files in the package: $stray"

    # Conffiles: /etc files survive upgrades with local edits only when
    # listed, and dpkg refuses a package that lists a file it does not hold.
    local control="$scratch/control"
    dpkg-deb -e "$deb" "$control"
    if [ ! -f "$control/conffiles" ]; then
        fail "no conffiles in the control archive"
    else
        local conffile
        for conffile in /etc/wdt.ini /etc/logrotate.d/wdt-daemon; do
            grep -qx "$conffile" "$control/conffiles" || fail "conffiles does not list $conffile"
        done
        while IFS= read -r conffile; do
            [ -n "$conffile" ] || continue
            grep -qx "$conffile" "$listing" || fail "conffiles lists $conffile, which the package does not hold"
        done <"$control/conffiles"
        local etcfile
        while IFS= read -r etcfile; do
            grep -qx "$etcfile" "$control/conffiles" ||
                fail "$etcfile is not a conffile: an upgrade would overwrite local edits"
        done < <(dpkg-deb -c "$deb" | awk '$1 ~ /^-/ { print $6 }' | sed 's|^\./|/|' | grep '^/etc/')
    fi

    # Maintainer scripts: runnable, and never enabling or starting the daemon
    # (arming a watchdog on an unconfigured machine could reset it).
    local script
    for script in postinst prerm postrm preinst; do
        [ -e "$control/$script" ] || continue
        [ -x "$control/$script" ] || fail "maintainer script $script is not executable"
        sh -n "$control/$script" || fail "maintainer script $script has a syntax error"
    done
    check_maintainer_scripts "$control"

    # Unpacked into a scratch root.
    local root="$scratch/root"
    dpkg-deb -x "$deb" "$root" || fail "dpkg-deb -x failed"
    check_layout "$root" /usr

    # The changelog's newest entry is the package's version.
    if have dpkg-parsechangelog && [ -f "$root/usr/share/doc/wdt-daemon/changelog.gz" ]; then
        gzip -dc "$root/usr/share/doc/wdt-daemon/changelog.gz" >"$scratch/changelog"
        local logged
        logged=$(dpkg-parsechangelog -l "$scratch/changelog" -S Version 2>&1)
        [ "$logged" = "$(dpkg-deb -f "$deb" Version)" ] ||
            fail "changelog's newest version is '$logged', the package's $(dpkg-deb -f "$deb" Version)"
    fi

    # Every executable and shared library is hardened.
    local elf
    while IFS= read -r elf; do
        check_hardened "$elf"
    done < <(find "$root" -type f -exec sh -c 'head -c 4 "$1" | grep -q "ELF"' sh {} \; -print)

    check_lintian "$deb"

    # Dependencies cover every library the daemon is linked with.
    local daemon="$root/usr/sbin/wdt-daemon"
    if have readelf && have ldd && have dpkg-query; then
        local depends lib path owner
        depends=$(dpkg-deb -f "$deb" Depends)
        echo "depends: $depends"
        for lib in $(readelf -d "$daemon" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
            path=$(ldd "$daemon" | awk -v lib="$lib" '$1 == lib && $2 == "=>" { print $3 }')
            [ -n "$path" ] || { fail "library $lib of the daemon is not found"; continue; }
            # Merged /usr: dpkg knows the file under one of the two names.
            owner=$(dpkg-query -S "$path" 2>/dev/null || dpkg-query -S "/usr$path" 2>/dev/null ||
                    dpkg-query -S "${path#/usr}" 2>/dev/null)
            owner=$(printf '%s\n' "$owner" | head -n 1 | cut -d: -f1)
            if [ -z "$owner" ]; then
                echo "note: $path belongs to no Debian package; not checked"
                continue
            fi
            grep -qx "$owner" < <(tr ',|' '\n' <<<"$depends" | sed 's/^ *//; s/[ (:].*//') ||
                fail "Depends lacks $owner, which provides $lib"
        done
    else
        echo "note: readelf, ldd or dpkg-query missing; dependencies not checked"
    fi
    finish
}

check_install() {
    local root="$scratch/root" prefix=/opt/wdt-check example="$source/etc/wdt.ini"
    install_into "$root" "$prefix"
    check_layout "$root" "$prefix"
    cmp -s "$root/etc/wdt.ini" "$example" || fail "a first install did not put the example at /etc/wdt.ini"
    [ ! -e "$root/etc/wdt.ini.example" ] || fail "a first install put /etc/wdt.ini.example beside the example itself"

    # A second install over an edited configuration keeps it byte for byte,
    # puts the example beside it, and does not list it among the installed
    # files (which an uninstall would remove).
    printf '[Global]\nIntervalMs=5000\n' >"$root/etc/wdt.ini"
    cp "$root/etc/wdt.ini" "$scratch/edited"
    install_into "$root" "$prefix"
    cmp -s "$root/etc/wdt.ini" "$scratch/edited" || fail "an install overwrote an edited /etc/wdt.ini"
    cmp -s "$root/etc/wdt.ini.example" "$example" || fail "no /etc/wdt.ini.example beside an edited /etc/wdt.ini"
    grep -q 'Keeping: .*/etc/wdt.ini' "$scratch/install.log" || fail "the install does not say that it kept /etc/wdt.ini"
    ! grep -qx "$root/etc/wdt.ini" "$build/install_manifest.txt" ||
        fail "install_manifest.txt lists the kept /etc/wdt.ini"
    finish
}

check_unit() {
    have systemd-analyze || skip "systemd-analyze is not installed"
    [ -e /lib/systemd/system/sysinit.target ] || [ -e /usr/lib/systemd/system/sysinit.target ] ||
        skip "systemd's own units are not installed; systemd-analyze verify cannot resolve dependencies"
    local root="$scratch/root"
    install_into "$root" /usr
    local installed="$root/usr/lib/systemd/system/wdt-daemon.service"
    [ -f "$installed" ] || { fail "no unit installed"; finish; }

    # verify checks that ExecStart is executable, but the daemon is in the
    # scratch root and not in /usr/sbin: check a copy that points there, and
    # let man look for wdt-daemon(8) (Documentation=) in the scratch root.
    local dir="$scratch/verify" broken="$scratch/broken"
    mkdir -p "$dir" "$broken"
    sed "s|^ExecStart=/usr/sbin/|ExecStart=$root/usr/sbin/|" "$installed" >"$dir/wdt-daemon.service"
    # The same unit with an unknown key: verify must complain about it here,
    # or it checks nothing in this environment.
    { cat "$dir/wdt-daemon.service"; echo "WdtCheckUnknownKey=yes"; } >"$broken/wdt-daemon.service"

    local man_option=--man=yes
    have man || man_option=--man=no
    verify() {
        MANPATH="$root/usr/share/man" systemd-analyze verify "$man_option" --generators=no "$1" 2>&1
    }
    local output status
    output=$(verify "$broken/wdt-daemon.service")
    if ! grep -q "WdtCheckUnknownKey" <<<"$output"; then
        printf '%s\n' "$output"
        skip "systemd-analyze verify does not report an unknown key here; it cannot check the unit"
    fi

    output=$(verify "$dir/wdt-daemon.service")
    status=$?
    echo "systemd-analyze verify ($man_option): status $status"
    [ -z "$output" ] || printf '%s\n' "$output"
    # Only what concerns our unit counts; other units of the machine may have
    # problems of their own.
    local ours
    ours=$(printf '%s\n' "$output" | grep -E "^($dir/)?wdt-daemon\.service(:|$)")
    [ -z "$ours" ] || fail "systemd-analyze verify reports problems in the unit"
    [ "$status" -eq 0 ] || [ -n "$ours" ] || echo "note: status $status from problems outside our unit"
    finish
}

check_logrotate() {
    have logrotate || skip "logrotate is not installed"
    local config="$source/packaging/wdt-daemon.logrotate"
    local dir="$scratch/log" conf="$scratch/logrotate.conf" state="$scratch/logrotate.state"
    mkdir -p "$dir"
    chmod 755 "$scratch" "$dir"
    grep -q '^/var/log/wdt-daemon\.log ' "$config" || fail "the file does not rotate /var/log/wdt-daemon.log"
    # The same rules on a log in the scratch directory.
    sed "s|^/var/log/wdt-daemon\.log |$dir/wdt-daemon.log |" "$config" >"$conf"
    chmod 644 "$conf"

    local output
    output=$(logrotate -d -s "$state" "$conf" 2>&1) || fail "logrotate -d failed"
    if grep -qiE '^error|: error' <<<"$output"; then
        printf '%s\n' "$output"
        fail "logrotate -d reports errors"
    fi

    # The daemon opens, appends and closes for every line: emulate that.
    log_line() { echo "$1" >>"$dir/wdt-daemon.log"; }
    rotate() {
        logrotate -f -s "$state" "$conf" >"$scratch/rotate.log" 2>&1 || {
            cat "$scratch/rotate.log"
            fail "logrotate -f failed"
        }
    }
    log_line "first line"
    rotate
    [ -f "$dir/wdt-daemon.log.1" ] && grep -qx "first line" "$dir/wdt-daemon.log.1" ||
        fail "the log was not moved to wdt-daemon.log.1"
    [ ! -e "$dir/wdt-daemon.log" ] || fail "logrotate created a new log; the daemon does that on its next line"
    log_line "second line"
    rotate
    grep -qx "second line" "$dir/wdt-daemon.log.1" 2>/dev/null || fail "the second log was not moved to .1"
    if have gzip; then
        [ -f "$dir/wdt-daemon.log.2.gz" ] && grep -qx "first line" < <(gzip -dc "$dir/wdt-daemon.log.2.gz") ||
            fail "the older log was not compressed to wdt-daemon.log.2.gz"
    fi
    finish
}

check_manpage() {
    have man || have groff || skip "neither man nor groff is installed"
    local page warnings
    for page in "$source/packaging/wdt-daemon.8" "$source/packaging/wdt.ini.5"; do
        if have man; then
            warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=all -l "$page" 2>&1 >/dev/null)
        else
            warnings=$(LC_ALL=C.UTF-8 groff -k -man -ww -Tutf8 -z "$page" 2>&1)
        fi
        [ -z "$warnings" ] || { printf '%s\n' "$warnings"; fail "$(basename "$page") renders with warnings"; }
    done
    finish
}

# names_in_page PAGE KIND MINIMUM TEXT: every `backticked` name in TEXT is in
# PAGE, and there are at least MINIMUM of them (fewer means README's layout
# changed under the parser).
names_in_page() {
    local page=$1 kind=$2 minimum=$3 name count=0
    while IFS= read -r name; do
        [ -n "$name" ] || continue
        count=$((count + 1))
        grep -qF -- "$name" "$page" || fail "README's $kind \"$name\" is not in the manual page"
    done < <(printf '%s\n' "$4" | grep -o '`[^`]*`' | tr -d '`')
    [ "$count" -ge "$minimum" ] || fail "found only $count ${kind}s in README; has its layout changed?"
    echo "$count ${kind}s of README.md checked"
}

# The text of manual page $1 without font changes and escapes, into $2.
page_text() {
    sed -e 's/\\f[BIRP]//g' -e 's/\\-/-/g' -e 's/\\e/\\/g' -e 's/\\ / /g' -e 's/\\&//g' "$1" >"$2"
}

# The keys that the daemon's sources read, one per line: section/key
# literals, keyIn(section, "Key"), the key tables of the hand-over and the
# monitor's channel names.
source_keys() {
    local dirs=("$source/core" "$source/superio" "$source/serialctl" "$source/monitor" "$source/strategy")
    {
        grep -rhoE --include='*.cpp' 'QStringLiteral\("[A-Za-z_]+/[A-Za-z0-9]+"\)' "${dirs[@]}" |
            sed -E 's|.*/([A-Za-z0-9]+)"\)|\1|'
        grep -rhoE --include='*.cpp' 'keyIn\([^,()]+, *"[A-Za-z0-9]+"\)' "${dirs[@]}" | sed -E 's|.*"([A-Za-z0-9]+)"\)|\1|'
        grep -rhE --include='*.cpp' 'keys\[[0-9]*\] *= *\{' "${dirs[@]}" | grep -oE '"[A-Za-z0-9]+"' | tr -d '"'
        grep -rhE --include='*.cpp' 'names\[\] *= *\{' "$source/monitor" | grep -oE '"[A-Za-z]+"' | tr -d '"' | sed 's/$/Cmds/'
        grep -rhoE --include='*.cpp' 'load\("[A-Za-z]+", ' "$source/monitor" | grep -oE '"[A-Za-z]+"' | tr -d '"' |
            sed 's/$/0Cmds/'
    } | sort -u
}

# The string literals with Cyrillic letters in the daemon's sources, one per
# line, without their quotes; comment lines are left out.
russian_texts() {
    local dirs=("$source/core" "$source/superio" "$source/serialctl" "$source/monitor" "$source/strategy")
    # Letters beyond ASCII need a UTF-8 locale, whatever the caller's.
    export LC_ALL=C.UTF-8
    grep -rhP --include='*.cpp' --include='*.h' '[\x{0400}-\x{04FF}]' "${dirs[@]}" | grep -vP '^\s*//' |
        grep -oP '"(?:[^"\\]|\\.)*"' | grep -P '[\x{0400}-\x{04FF}]' | sed 's/^"//; s/"$//; s/\\"/"/g' | sort -u
}

check_docs() {
    local page="$scratch/page" ini="$scratch/ini" readme="$source/README.md"
    page_text "$source/packaging/wdt-daemon.8" "$page"
    page_text "$source/packaging/wdt.ini.5" "$ini"

    # Every key of README's key table, e.g. "| `Vendor_Fintek/StartCmds`,
    # `StopCmds`, `FeedCmds` (likewise) | ..." gives three names; in both
    # pages.
    local keys
    keys=$(awk '/^Keys:/ { on = 1; next } on && /^\|/ { table = 1; print; next } table { exit }' "$readme" |
        awk -F'|' 'NR > 2 { print $2 }')
    names_in_page "$page" "key" 15 "$keys"
    # wdt.ini(5) names a key inside its section: "Global/IntervalMs" is
    # "IntervalMs" under "[Global]" (the debug keys stand whole).
    local key count=0
    while IFS= read -r key; do
        [ -n "$key" ] || continue
        grep -qF -- "${key##*/}" "$ini" || fail "README's key \"$key\" is not in wdt.ini(5)"
    done < <(printf '%s\n' "$keys" | grep -o '`[^`]*`' | tr -d '`')

    # Every key the daemon reads is in wdt.ini(5).
    while IFS= read -r key; do
        count=$((count + 1))
        grep -qwF -- "$key" "$ini" || fail "the daemon reads the key $key, which wdt.ini(5) does not describe"
    done < <(source_keys)
    [ "$count" -ge 20 ] || fail "found only $count keys in the daemon's sources; has the code's layout changed?"
    echo "$count keys of the daemon's sources checked"

    # Every Russian text of the daemon's sources (outside comments) is in
    # README's table of them; a text with a %1 in it piece by piece.
    local table fragment piece
    table=$(awk '/^### The Russian lines in English/ { on = 1; next } on && /^#/ { exit } on && /^\|/' "$readme")
    count=0
    while IFS= read -r fragment; do
        count=$((count + 1))
        while IFS= read -r piece; do
            piece=$(printf '%s' "$piece" | sed 's/^ *//; s/ *$//')
            [ -z "$piece" ] || grep -qF -- "$piece" <<<"$table" ||
                fail "README's table of Russian lines lacks \"$piece\""
        done < <(printf '%s\n' "$fragment" | sed 's/%[0-9]/\n/g')
    done < <(russian_texts)
    [ "$count" -ge 20 ] || fail "found only $count Russian texts in the daemon's sources"
    echo "$count Russian texts of the daemon's sources checked"

    # Every refusal with exit code 1 and its log line.
    names_in_page "$page" "refusal" 3 "$(grep -E '^\|.*\| *1 *\|$' "$readme" | awk -F'|' '{ print $3 }')"
    finish
}

case $group in
    deb) check_deb ;;
    install) check_install ;;
    unit) check_unit ;;
    logrotate) check_logrotate ;;
    manpage) check_manpage ;;
    docs) check_docs ;;
    *)
        echo "unknown group $group"
        exit 1
        ;;
esac
