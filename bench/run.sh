#!/usr/bin/env bash
# Builds the benchmark programs and runs them all, printing the figures that
# BENCHMARKS.md quotes. Takes about twenty minutes; --quick runs short
# versions (two or three minutes) to check that everything works, whose
# figures are too noisy to quote.
#
#   bash bench/run.sh [--quick] [BUILD_DIR]      (BUILD_DIR: ./build-bench)
#
# Nothing here touches a real port, a serial device or a system path: the
# programs run the daemon in-process against simulated hardware, with its
# configuration, log and test marker in temporary directories.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
if [ "${1:-}" = "--quick" ]; then
    quick=1
    shift
fi
build=${1:-build-bench}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target wdt-bench-tick wdt-bench-memory wdt-bench-lateness wdt-bench-dcon \
    wdt-bench-feeding wdt-bench-health >/dev/null

# Each program's options: the quick run's, then the full run's.
options() {
    local -n chosen=$1
    if [ "$quick" -eq 1 ]; then
        read -ra chosen <<<"$2"
    else
        read -ra chosen <<<"$3"
    fi
}
options tick "--ticks 500 --pairs 1" "--ticks 3000 --pairs 5"
options callgrind_ticks 300 2000
options memory "--ticks 3000 --board-ticks 150" "--ticks 100000 --board-ticks 2000"
options lateness "--ticks 1000 --runs 1" "--ticks 2000 --runs 3"
options dcon "--exchanges 30" "--exchanges 300"
options feeding "--feeds 3 --runs 2" "--feeds 10 --runs 5"
options health "--feeds 3 --runs 1 --stops 2" "--feeds 20 --runs 3 --stops 5"

section() { printf '\n==== %s\n' "$1"; }

echo "wdt-daemon benchmarks, $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown)"

section "1. Feed tick: CPU time per tick, daemon beside a bare QTimer"
"$build/wdt-bench-tick" "${tick[@]}"

section "1. Feed tick: instructions per tick under callgrind"
if command -v valgrind >/dev/null 2>&1; then
    dumps=$(mktemp -d)
    if valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$dumps/cg.%p" \
        "$build/wdt-bench-tick" --ticks "$callgrind_ticks" --warmup 100 --pairs 1 >"$dumps/output" 2>&1; then
        # Each measured window is a dump named "bare <chip>" or "daemon <chip>".
        for dump in "$dumps"/cg.*.*; do
            [ -e "$dump" ] || continue
            printf '%s %s\n' "$(sed -n 's/^desc: Trigger: Client Request: //p' "$dump")" \
                "$(sed -n 's/^totals: //p' "$dump")"
        done | awk -v ticks="$callgrind_ticks" '
            { ir[$1 " " $2] = $3 }
            END {
                printf "  %d measured ticks per window\n", ticks
                printf "  chip       bare Ir/tick   daemon Ir/tick   difference   ratio\n"
                found = 0
                split("ite nuvoton fintek", chips, " ")
                for (i = 1; i <= 3; i++) {
                    c = chips[i]
                    if (!(("bare " c) in ir) || !(("daemon " c) in ir)) continue
                    b = ir["bare " c] / ticks; d = ir["daemon " c] / ticks
                    printf "  %-8s %14.0f %16.0f %12.0f %7.2f\n", c, b, d, d - b, d / b
                    found = 1
                }
                if (!found) print "  no measured windows: was the valgrind header there at build time?"
                print "  target: ratio <= 2"
            }'
    else
        echo "  the run under callgrind failed:"
        sed 's/^/  | /' "$dumps/output"
    fi
    rm -rf "$dumps"
else
    echo "  valgrind is not installed: no instruction counts"
fi

section "2. DCON exchange latency against the board simulator"
"$build/wdt-bench-dcon" "${dcon[@]}"

section "2. The same with the scheduling the service unit gives the daemon (SCHED_RR priority 1)"
"$build/wdt-bench-dcon" "${dcon[@]}" --rr 1 || echo "  (needs root or CAP_SYS_NICE)"

section "3. Memory after start-up and after the feed ticks"
"$build/wdt-bench-memory" "${memory[@]}"

section "4. Feed timer lateness, idle"
"$build/wdt-bench-lateness" "${lateness[@]}" --load 0

section "4. Feed timer lateness, both cores loaded by two busy processes"
"$build/wdt-bench-lateness" "${lateness[@]}" --load 2

section "4. The same, loaded, with the scheduling the service unit gives the daemon (SCHED_RR priority 1)"
"$build/wdt-bench-lateness" "${lateness[@]}" --load 2 --rr 1 || echo "  (needs root or CAP_SYS_NICE)"

section "5. Feeding with slow sensor channels: feed gaps, arming to the first feed, stop latency"
"$build/wdt-bench-feeding" "${feeding[@]}" || echo "  (a target missed or a run incomplete: see above)"

section "6. Feeding with health checks: feed gaps with a command that hangs past its time-out, stop latency"
"$build/wdt-bench-health" "${health[@]}" || echo "  (a target missed or a run incomplete: see above)"
