#!/usr/bin/env bash
# Installs what is missing, builds, and runs every benchmark, printing their
# figures and a summary of the verdicts. Benchmarks never fail the script:
# one that breaks is reported and the others still run. Takes a few minutes.
#
#   QRIO_BENCH_BUILD_DIR   build folder (default: build/)
#   QRIO_BENCH_RUNS        run pairs of bench_update
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/common.sh"

# time: peak memory (/usr/bin/time -v); srecord, python3-intelhex: the HEX
# loader's yardsticks; xvfb, xdotool: bench_update runs the program's window
# on a virtual display and clicks Update.
ensure_packages "${BUILD_PACKAGES[@]}" time srecord python3 python3-intelhex xvfb xdotool || exit 1

BUILD=${QRIO_BENCH_BUILD_DIR:-$ROOT/build}
export QT_QPA_PLATFORM=offscreen
unset QT_LOGGING_RULES

start=$(date +%s)
echo "== build ($BUILD)"
set -e
configure_and_build "$BUILD" -DQRIO_BUILD_BENCHMARKS=ON >/dev/null
set +e

LOGS=$(mktemp -d)
trap 'rm -rf "$LOGS"' EXIT
SUMMARY=$LOGS/summary

# run NAME TITLE [VAR=value...]: runs $BUILD/bench/NAME with those
# variables set. Its stderr, and so the tool's debug output when it is on,
# goes to /dev/null; the figures come on stdout.
run() {
    local name=$1 title=$2
    shift 2
    echo
    echo "== $title"
    local out=$LOGS/$name.out t0=$(date +%s)
    env "$@" "$BUILD/bench/$name" >"$out" 2>/dev/null
    local rc=$?
    cat "$out"
    echo "($title: $(($(date +%s) - t0)) s)"
    grep -E 'VERDICT|target' "$out" | sed "s|^|[$title] |" >>"$SUMMARY"
    if [ $rc -ne 0 ]; then
        echo "!! $name ended with status $rc"
        echo "[$title] FAILED (status $rc)" >>"$SUMMARY"
    fi
}

OFF='QT_LOGGING_RULES=*.debug=false'
run bench_hexload "bench_hexload" "$OFF"
run bench_portlist "bench_portlist" "$OFF"
run bench_update "bench_update, debug output off" "$OFF"
run bench_update "bench_update, debug output on"
# As the program runs by default: debug output on.
run bench_memory "bench_memory"
run bench_startup "bench_startup"
# Full-update times on modelled serial lines, CAN buses and adapters (about 5 min).
run bench_linetime "bench_linetime"

echo
echo "== summary"
cat "$SUMMARY"
echo "(all benchmarks: $(($(date +%s) - start)) s)"
exit 0
