#!/usr/bin/env bash
# Checks of the installation and of the Debian package, one group per call:
#
#   check_package.sh GROUP BUILD_DIR SOURCE_DIR
#
#   deb        cpack builds the .deb; its control data, conffiles, maintainer
#              scripts and contents, unpacked into a scratch root
#   install    cmake --install with DESTDIR and another prefix: the unit names
#              the daemon at that prefix, /etc files land under DESTDIR
#   unit       systemd-analyze verify on the installed unit
#   logrotate  logrotate accepts the file and really rotates a scratch log
#   manpage    the manual page renders without warnings
#   docs       the manual page names every key and refusal of README.md
#
# Exit status 0: passed, 1: failed, 77: skipped (a tool it needs is missing,
# or cannot work here). Everything is written below a directory from
# mktemp -d; the real /etc, /lib/systemd and /var/log are never written.
# CMAKE and CPACK name the tools of the build (set by CTest).
set -uo pipefail

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
    [ -f "$root$prefix/share/man/man8/wdt-daemon.8.gz" ] || [ -f "$root$prefix/share/man/man8/wdt-daemon.8" ] ||
        fail "no manual page in $prefix/share/man/man8"
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
    check_unit_settings "$unit"
}

# The value of setting $2 in unit file $1 (the last one counts).
unit_value() { sed -n "s/^$2=//p" "$1" | tail -n 1; }

# Settings the daemon cannot run under: it stays in the foreground, needs
# root with CAP_SYS_RAWIO for port I/O, the real /tmp (test marker), /dev
# (serial board) and a writable /var/log.
check_unit_settings() {
    local unit=$1 value
    value=$(unit_value "$unit" Type)
    case $value in simple | exec | "") ;; *) fail "unit Type=$value: the daemon neither forks nor notifies" ;; esac
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
        local verb
        verb=$(grep -v '^[[:space:]]*#' "$control/$script" | awk '/systemctl/ {
                   for (i = 1; i <= NF; i++)
                       if ($i ~ /^(enable|start|restart|reenable|preset|reload-or-restart|--now)$/) print $i }')
        [ -z "$verb" ] || fail "maintainer script $script runs systemctl $verb"
    done

    # Unpacked into a scratch root.
    local root="$scratch/root"
    dpkg-deb -x "$deb" "$root" || fail "dpkg-deb -x failed"
    check_layout "$root" /usr

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
            printf '%s\n' "$depends" | tr ',|' '\n' | sed 's/^ *//; s/[ (:].*//' | grep -qx "$owner" ||
                fail "Depends lacks $owner, which provides $lib"
        done
    else
        echo "note: readelf, ldd or dpkg-query missing; dependencies not checked"
    fi
    finish
}

check_install() {
    local root="$scratch/root" prefix=/opt/wdt-check
    install_into "$root" "$prefix"
    check_layout "$root" "$prefix"
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
    if ! printf '%s\n' "$output" | grep -q "WdtCheckUnknownKey"; then
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
    if printf '%s\n' "$output" | grep -qiE '^error|: error'; then
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
        [ -f "$dir/wdt-daemon.log.2.gz" ] && gzip -dc "$dir/wdt-daemon.log.2.gz" | grep -qx "first line" ||
            fail "the older log was not compressed to wdt-daemon.log.2.gz"
    fi
    finish
}

check_manpage() {
    local page="$source/packaging/wdt-daemon.8" warnings
    if have man; then
        warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=all -l "$page" 2>&1 >/dev/null)
    elif have groff; then
        warnings=$(LC_ALL=C.UTF-8 groff -k -man -ww -Tutf8 -z "$page" 2>&1)
    else
        skip "neither man nor groff is installed"
    fi
    [ -z "$warnings" ] || { printf '%s\n' "$warnings"; fail "the manual page renders with warnings"; }
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

check_docs() {
    local page="$scratch/page" readme="$source/README.md"
    # The page's text without font changes and escapes.
    sed -e 's/\\f[BIRP]//g' -e 's/\\-/-/g' -e 's/\\e/\\/g' -e 's/\\ / /g' -e 's/\\&//g' \
        "$source/packaging/wdt-daemon.8" >"$page"

    # Every key of README's key table, e.g. "| `Vendor_Fintek/StartCmds`,
    # `StopCmds`, `FeedCmds` (likewise) | ..." gives three names.
    names_in_page "$page" "key" 15 "$(awk '/^Keys:/ { on = 1; next } on && /^\|/ { table = 1; print; next } table { exit }' "$readme" |
        awk -F'|' 'NR > 2 { print $2 }')"

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
