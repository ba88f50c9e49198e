#!/usr/bin/env bash
# Builds the Windows serial layer (port scan and serial line) with mingw, with
# no Qt, and runs its console test under Wine against COM ports backed by
# pseudo-terminals: a data port and a control port played by
# tests/windows/peer.py, a port registered to a directory (cannot be opened),
# one registered to /dev/null (opens, but is no serial line) and the simulated
# node's port. The data and node ports are left as users leave ports (see
# tests/windows/ptyhold.py), never raw. Ends with "N passed, N failed"; the
# exit status is non-zero on any failure.
#
# Build tree: $QRIO_WIN_BUILD, default build-win/ under the repository root
# (objects, Wine prefix, logs). The simulated node is $QRIO_NODE_SIM, default
# build/sim/canopen-node-sim, built there when missing.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/common.sh"
source "$ROOT/scripts/winetest.sh"
BUILD=${QRIO_WIN_BUILD:-$ROOT/build-win}
SIM=${QRIO_NODE_SIM:-$ROOT/build/sim/canopen-node-sim}

# COM numbers used: the data port above 9 and the control port below it, so
# that numeric and textual order differ.
DATA_PORT=12
CONTROL_PORT=3
BUSY_PORT=7
NOTSERIAL_PORT=9
SIM_PORT=21
UNMAPPED_PORT=77

summary_fail() {
    echo "$1"
    echo "0 passed, 1 failed"
    exit 1
}

ensure_packages wine wine64 g++-mingw-w64-x86-64 || summary_fail "cannot install Wine and mingw"
command -v python3 >/dev/null || ensure_packages python3 || summary_fail "cannot install python3"

mkdir -p "$BUILD/ports" "$BUILD/run" "$BUILD/sim-dosdevices"
RUN=$BUILD/run
PORTS=$BUILD/ports

# ---- the test program, Qt-free, from the same sources as the application:
# the serial layer's list (cmake/serial-sources.txt, also read by CMake), its
# untagged files and the "win:" ones
SOURCE_LIST=$ROOT/cmake/serial-sources.txt
SOURCES=("$ROOT/tests/windows/serial_win_test.cpp")
while read -r first rest; do
    case $first in
        '' | '#'*) ;;
        win:) [[ $rest == *.cpp ]] && SOURCES+=("$ROOT/$rest") ;;
        *:) ;;
        *.cpp) SOURCES+=("$ROOT/$first") ;;
    esac
done <"$SOURCE_LIST"
EXE=$BUILD/serial_win_test.exe
stale=0
[ -e "$EXE" ] || stale=1
for f in "${SOURCES[@]}" "$ROOT"/serial/*.h "$SOURCE_LIST" "$0"; do
    [ "$f" -nt "$EXE" ] && stale=1
done
if [ $stale -eq 1 ]; then
    echo "building $(basename "$EXE")"
    x86_64-w64-mingw32-g++-posix -std=c++17 -static -O2 -Wall -Wextra -Werror \
        -I"$ROOT/serial" "${SOURCES[@]}" -o "$EXE.new" && mv "$EXE.new" "$EXE" \
        || summary_fail "mingw build failed"
fi

# ---- the simulated node (a Linux program), built when missing
if [ ! -x "$SIM" ] && [ -z "${QRIO_NODE_SIM:-}" ]; then
    echo "building canopen-node-sim"
    { cmake -S "$ROOT" -B "$ROOT/build" >/dev/null \
        && cmake --build "$ROOT/build" --target canopen-node-sim -j2 >/dev/null; } \
        || echo "canopen-node-sim could not be built"
fi

# ---- Wine: its own prefix in the build tree, quiet, headless, no stdin
wine_test_env "$BUILD/wineprefix"
unset DISPLAY WAYLAND_DISPLAY

PEER_PID=""
SIM_PID=""
cleanup() {
    [ -n "$PEER_PID" ] && kill "$PEER_PID" 2>/dev/null
    if [ -s "$RUN/holders" ]; then
        for pid in $(cat "$RUN/holders"); do kill "$pid" 2>/dev/null; done
    fi
    [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
    [ -n "$PEER_PID" ] && wait "$PEER_PID" 2>/dev/null
    [ -n "$SIM_PID" ] && wait "$SIM_PID" 2>/dev/null
    return 0
}
trap cleanup EXIT

if [ ! -e "$WINEPREFIX/system.reg" ]; then
    echo "creating the Wine prefix"
    wineboot --init </dev/null >"$RUN/wineboot.log" 2>&1 || summary_fail "wineboot failed"
    wineserver -w
fi

# Registered COM ports point at fixed links, re-pointed at each run's
# pseudo-terminals. The Ports key is read when the wineserver starts, so a
# change is followed by a restart.
REG=$RUN/ports.reg
{
    printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
    for n in $CONTROL_PORT $DATA_PORT $SIM_PORT; do
        printf '"COM%s"="%s"\r\n' "$n" "$PORTS/ttyCOM$n"
    done
    # A directory: opening it fails as a port held by another program does.
    printf '"COM%s"="%s"\r\n' "$BUSY_PORT" "$PORTS/busy"
    printf '"COM%s"="%s"\r\n' "$NOTSERIAL_PORT" /dev/null
} >"$REG"
mkdir -p "$PORTS/busy"
if ! cmp -s "$REG" "$WINEPREFIX/qrio-ports.reg"; then
    echo "registering COM$CONTROL_PORT COM$BUSY_PORT COM$NOTSERIAL_PORT COM$DATA_PORT COM$SIM_PORT"
    wineserver -k 2>/dev/null; wineserver -w 2>/dev/null
    wine reg import "Z:${REG//\//\\}" </dev/null >"$RUN/reg.log" 2>&1 \
        || summary_fail "registering the COM ports failed (see $RUN/reg.log)"
    wineserver -k 2>/dev/null; wineserver -w 2>/dev/null
    cp "$REG" "$WINEPREFIX/qrio-ports.reg"
fi

# ---- the far ends: the simulated node, then the peer holding every slave
SIM_ARGS=()
HOLD_ARGS=()
if [ -x "$SIM" ]; then
    rm -f "$RUN/sim.out"
    "$SIM" --dosdevices "$BUILD/sim-dosdevices" </dev/null >"$RUN/sim.out" 2>"$RUN/sim.err" &
    SIM_PID=$!
    wait_until "$SIM_PID" node_reported "$RUN/sim.out"
    slave=$(node_slave "$RUN/sim.out")
    if [ -n "$slave" ]; then
        ln -sfn "$slave" "$PORTS/ttyCOM$SIM_PORT"
        SIM_ARGS=(--sim "$SIM_PORT")
        HOLD_ARGS=(--hold "$slave")
    else
        echo "canopen-node-sim did not report its port (see $RUN/sim.err)"
    fi
else
    echo "canopen-node-sim not available"
fi

rm -f "$RUN/ready" "$RUN/holders"
python3 "$ROOT/tests/windows/peer.py" --data "$PORTS/ttyCOM$DATA_PORT" \
    --control "$PORTS/ttyCOM$CONTROL_PORT" "${HOLD_ARGS[@]}" \
    --ready "$RUN/ready" --pids "$RUN/holders" </dev/null 2>"$RUN/peer.err" &
PEER_PID=$!
wait_until "$PEER_PID" test -e "$RUN/ready" || summary_fail "the peer did not start: $(cat "$RUN/peer.err")"

# ---- the run: one wineserver for all of it
wineserver -p </dev/null >/dev/null 2>&1
timeout 120 wine "$EXE" --data $DATA_PORT --control $CONTROL_PORT --busy $BUSY_PORT \
    --unmapped $UNMAPPED_PORT --notserial $NOTSERIAL_PORT "${SIM_ARGS[@]}" </dev/null 2>"$RUN/wine.err" | tee "$RUN/test.log"
status=${PIPESTATUS[0]}
if ! tail -n1 "$RUN/test.log" | grep -Eq '^[0-9]+ passed, [0-9]+ failed$'; then
    echo "the test program ended early (status $status, see $RUN/wine.err)"
    echo "0 passed, 1 failed"
    exit 1
fi
exit $([ "$status" -eq 0 ] && echo 0 || echo 1)
