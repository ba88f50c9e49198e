#!/usr/bin/env bash
# Installs what is missing, builds, and runs every benchmark, printing their
# figures and a summary of the verdicts, and writes them all to
# docs/benchmarks.md with the date, the commit, the machine and how each was
# measured (each benchmark's own opening comment). That file is only ever
# written here. Benchmarks never fail the script: one that breaks is
# reported and the others still run. Takes about a quarter of an hour.
#
#   QRIO_BENCH_BUILD_DIR   build folder (default: build/)
#   QRIO_BENCH_RUNS        run pairs of bench_update
#   QRIO_BENCH_DOC         the file written (default: docs/benchmarks.md)
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/common.sh"

# time: peak memory (/usr/bin/time -v); srecord, python3-intelhex: the HEX
# loader's yardsticks; xvfb, xdotool: bench_update runs the program's window
# on a virtual display and clicks Update.
ensure_packages "${BUILD_PACKAGES[@]}" time srecord python3 python3-intelhex xvfb xdotool || exit 1

BUILD=${QRIO_BENCH_BUILD_DIR:-$ROOT/build}
DOC=${QRIO_BENCH_DOC:-$ROOT/docs/benchmarks.md}
export QT_QPA_PLATFORM=offscreen
unset QT_LOGGING_RULES

start=$(date +%s)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
echo "== build ($BUILD)"
set -e
configure_and_build "$BUILD" -DQRIO_BUILD_BENCHMARKS=ON >/dev/null
set +e

LOGS=$(mktemp -d)
trap 'rm -rf "$LOGS"' EXIT
SUMMARY=$LOGS/summary
RUNS=() # "number|name|title" of each run, in order

# run NAME TITLE [VAR=value...]: runs $BUILD/bench/NAME with those
# variables set. Its stderr, and so the tool's debug output when it is on,
# goes to /dev/null; the figures come on stdout, kept for the document.
run() {
    local name=$1 title=$2
    shift 2
    echo
    echo "== $title"
    local n=${#RUNS[@]}
    local out=$LOGS/$n.out t0=$(date +%s)
    RUNS+=("$n|$name|$title")
    env "$@" "$BUILD/bench/$name" >"$out" 2>/dev/null
    local rc=$?
    echo "($title: $(($(date +%s) - t0)) s)" >>"$out"
    cat "$out"
    grep -E 'VERDICT|target' "$out" | sed "s|^|[$title] |" >>"$SUMMARY"
    if [ $rc -ne 0 ]; then
        echo "!! $name ended with status $rc" | tee -a "$out"
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
# Full-update times on modelled serial lines, CAN buses and adapters (about 7 min).
run bench_linetime "bench_linetime"

echo
echo "== summary"
cat "$SUMMARY"
total=$(($(date +%s) - start))
echo "(all benchmarks: $total s)"
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# ---------------------------------------------------------------- the document

# how_measured FILE: the opening comment of a benchmark's source, as a paragraph.
how_measured() {
    sed -n '/^\/\//!q; s|^// \{0,1\}||p' "$1"
}

# The update-time table from bench_linetime's "LINETIME" lines.
linetime_table() {
    local out=$1
    echo "| line (serial, CAN, adapter) | model's floor per exchange | ideal client | program | program / ideal | model's floor, full update | ideal client, full update | program, full update | node's hold beyond the model | turn: ideal client / program |"
    echo "|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|"
    sed -n 's/^LINETIME //p' "$out" | awk -F'|' '
        function mmss(s) { s = int(s + 0.5); return sprintf("%d min %02d s", s / 60, s % 60) }
        { printf "| %s | %.3f ms | %.3f ms | %.3f ms | %.3fx | %s | %s | %s | %+d us | %d us / %d us |\n",
                 $1, $2, $3, $4, $4 / $3, mmss($5), mmss($6), mmss($7), $8, $9, $10 }'
}

cores=$(nproc)
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
commit=$(git -C "$ROOT" log -1 --format='%h (%s)' 2>/dev/null || echo unknown)
git -C "$ROOT" diff --quiet HEAD 2>/dev/null || commit="$commit with uncommitted changes"
shared=$(awk -v c="$cores" -v a="${load_before%% *}" -v b="${load_after%% *}" \
    'BEGIN { print (a > c / 2 || b > c / 2) ? "yes" : "no" }')
{
    echo "# Benchmark figures"
    echo
    echo "Written by \`scripts/bench.sh\`, which rewrites this file on each run; do not"
    echo "edit it by hand. Each section gives how its figures were measured (the"
    echo "benchmark's own description, from its source in \`bench/\`) and the"
    echo "benchmark's output as it printed it."
    echo
    echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "- Commit: $commit"
    echo "- Machine: $cores cores, ${cpu:-unknown CPU}, Linux $(uname -r), $(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo) of memory"
    echo "- Build: $BUILD, CMAKE_BUILD_TYPE=RelWithDebInfo, $(c++ --version | head -n 1)"
    echo "- Load average (1, 5, 15 min) before the run: $load_before; after it: $load_after; the run took $((total / 60)) min $((total % 60)) s"
    if [ "$shared" = yes ]; then
        echo
        echo "**The machine was shared**: other work kept its cores busy during the run"
        echo "(load average above half the cores). Times of a single process and the"
        echo "turn of each exchange grow with that load; the ratios against the ideal"
        echo "client, measured in turns, suffer less."
    fi
    for entry in "${RUNS[@]}"; do
        IFS='|' read -r n name title <<<"$entry"
        out=$LOGS/$n.out
        echo
        echo "## $title"
        if [ "$name" = bench_linetime ]; then
            echo
            echo "Full-update times on modelled lines, in ms per SDO exchange and per full"
            echo "131072-byte update, beside the line model's floor: the time the modelled"
            echo "line alone takes (\`sim/linemodel.cpp\`: toNode + fromNode of an 11-byte"
            echo "record per exchange, times 66,561 exchanges, plus the two mode-switch pauses"
            echo "of \`canopen/modepauses.h\`)."
            echo
            linetime_table "$out"
            echo
            echo "Where the time beyond the floor goes, from the node's timestamps: the"
            echo "node's hold (request read to reply written) exceeds the model only by the"
            echo "simulator's lateness in waking for the reply; the turn (reply written to"
            echo "the next request read) is the pseudo-terminal's passing of both records,"
            echo "the wake-ups of the client and of the simulator, and the client's own work."
            echo "The ideal client's turn is what the simulated line itself costs beyond the"
            echo "model (a real adapter has no pseudo-terminal, but its USB transfers cost"
            echo "time of their own); the program's turn beyond the ideal client's is the"
            echo "program's own cost per exchange."
        fi
        echo
        echo "How it was measured (\`bench/$name.cpp\`):"
        echo
        how_measured "$ROOT/bench/$name.cpp"
        echo
        echo '```'
        grep -v '^LINETIME ' "$out"
        echo '```'
    done
    echo
    echo "## Summary of the verdicts"
    echo
    echo '```'
    cat "$SUMMARY"
    echo '```'
} >"$DOC"
echo "(written: $DOC)"
exit 0
