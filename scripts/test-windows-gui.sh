#!/usr/bin/env bash
# The Windows program itself, through its real window under Wine on a virtual
# display, against the simulated node on Wine COM ports. The program is the
# one in the zip of scripts/build-windows.sh (built first, with its Qt when
# the cache is cold), unpacked into the build tree with firmware put into its
# "Kelvo Firmware" folder, as a user would.
#
# Cases, each in its own copy of one Wine prefix made per run, each with its
# own time limit (a case that hangs is ended and counted failed). The node's
# port is left as users leave ports, never raw (tests/windows/ptyhold.py): as
# a fresh terminal device is, or as a terminal program leaves it.
#   update    the window's title and designed size; from a fresh terminal
#             device, a full update ends in "Burning Firmware Successful" and
#             the node's flash holds the image; the registry then holds that
#             update's settings
#   terminal  from a port a terminal program left with XON/XOFF on, an update
#             (of a small image) ends in "Burning Firmware Successful" and
#             the node's flash holds it
#   restart   the program started again shows those settings chosen: Update
#             with nothing touched updates the same node from the same file
#   silent    a node that answers nothing: "Read timeout" 4 s after the request
#   stopped   a line whose output is held off (as flow control would hold
#             it): "Read timeout"
#   corrupt   a flash that stores one byte wrongly (small image):
#             "Burning Firmware Failed"
#   ports     the port list holds the registered ports in numeric order; a
#             port that cannot be opened: "Open Serial COM<n> failed"
# Prints one line per check and ends with "N passed, N failed"; the exit
# status is non-zero on any failure. No Wine, X server or simulator process
# outlives the script.
#
# Build tree: $QRIO_WIN_GUI_BUILD, default build-win-gui/: per case its Wine
# prefix, screenshots, the simulator's log and flash, the program's output.
# The simulated node is build/sim/canopen-node-sim, built there as needed.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/common.sh"
source "$ROOT/scripts/winetest.sh"
GUI=${QRIO_WIN_GUI_BUILD:-$ROOT/build-win-gui}
LINUX_BUILD=$ROOT/build
SIM=$LINUX_BUILD/sim/canopen-node-sim
MAKE_FIRMWARE=$LINUX_BUILD/sim/make-demo-firmware
TITLE='Velmora(CANBus)'
SETTINGS_KEY='Software\Quorvex\Velmora(CANBus)\Settings'
EXE_NAME=QuorvexRemoteIOFirmwareUpdater.exe

# The registered COM ports. The node's port and four that cannot be opened
# (registered to a directory, which fails as a port held by another program
# does); numbers whose textual order differs from the numeric one.
SIM_PORT=21
# The node's ID: not the program's default 1, so that a forgotten setting shows.
NODE=5
BUSY_PORTS=(4 7 12 100)

summary_fail() {
    echo "$1"
    echo "0 passed, 1 failed"
    exit 1
}

# The run lives in namespaces of its own (as root): its processes in a PID
# namespace, so that none outlives it even when it is killed, and a mount
# namespace whose /dev lacks the machine's own serial devices: Wine maps those
# to COM1, COM2, ... whatever the registry says, and then the port list would
# not be the registered ports alone and a case could open a real port.
mkdir -p "$GUI"
if [ -z "${QRIO_GUI_NAMESPACE:-}" ]; then
    if unshare --mount --pid --fork --propagation private true 2>/dev/null; then
        mkdir -p "$GUI/dev-view"
        exec unshare --mount --pid --fork --mount-proc --propagation private -- bash -c '
            source "$1/scripts/winetest.sh"
            if [ -n "$(host_serial_ports)" ] && ! hide_host_serial_ports "$2"; then
                echo "hiding the machine serial ports failed"
                echo "0 passed, 1 failed"
                exit 1
            fi
            QRIO_GUI_NAMESPACE=1 exec bash "$1/scripts/test-windows-gui.sh"' _ "$ROOT" "$GUI/dev-view"
    fi
    [ -z "$(host_serial_ports)" ] \
        || summary_fail "the machine's serial ports ($(host_serial_ports | tr '\n' ' ')) cannot be hidden from Wine: that needs root (unshare)"
fi

RUN_START=$SECONDS
ensure_packages wine wine64 xvfb openbox xdotool xclip imagemagick fonts-liberation binutils python3 \
    || summary_fail "installing Wine, Xvfb, Openbox, xdotool, xclip and ImageMagick failed"

# ---- the program: the zip, built or brought up to date
echo "building the Windows program (scripts/build-windows.sh)"
build_out=$(bash "$ROOT/scripts/build-windows.sh" 2>&1)
status=$?
if [ $status -ne 0 ]; then
    echo "$build_out" | tail -n 5
    summary_fail "scripts/build-windows.sh failed"
fi
ZIP=$(echo "$build_out" | tail -n 1)
[ -f "$ZIP" ] || summary_fail "scripts/build-windows.sh named no zip"

# ---- the simulated node and the firmware files, Linux programs
if ! { [ -d "$LINUX_BUILD" ] || cmake -S "$ROOT" -B "$LINUX_BUILD" >/dev/null; } \
    || ! cmake --build "$LINUX_BUILD" --target canopen-node-sim make-demo-firmware -j"$(nproc)" \
        >"$GUI/linux-build.log" 2>&1; then
    summary_fail "building canopen-node-sim failed (log: $GUI/linux-build.log)"
fi

# ---- the unpacked zip, anywhere, with firmware put into its folder
# A folder name with a space, as on many users' machines.
APP_PARENT="$GUI/unpacked/my tools"
rm -rf "$GUI/unpacked" "$GUI/cases" "$GUI/ports" "$GUI/run"
mkdir -p "$APP_PARENT" "$GUI/cases" "$GUI/ports/busy" "$GUI/run"
(cd "$APP_PARENT" && cmake -E tar xf "$ZIP") || summary_fail "unpacking $ZIP failed"
APP_DIR=$(dirname "$(ls "$APP_PARENT"/*/"$EXE_NAME" 2>/dev/null | head -n1)")
[ -f "$APP_DIR/$EXE_NAME" ] || summary_fail "$ZIP holds no $EXE_NAME"
FIRMWARE_DIR=$APP_DIR/Kelvo\ Firmware
[ -f "$FIRMWARE_DIR/README.txt" ] || summary_fail "$ZIP holds no Kelvo Firmware/README.txt"

# The firmware of the cases, and a smaller one listed before it: chosen by
# default, so that a wrong choice of file shows in the node's flash.
FIRMWARE=remote_io_demo_v1.1
IMAGE=$GUI/run/image.bin
SMALL_FIRMWARE=a_decoy_v0.9
SMALL_IMAGE=$GUI/run/decoy.bin
"$MAKE_FIRMWARE" "$FIRMWARE_DIR/$FIRMWARE.hex" >/dev/null \
    && objcopy -I ihex -O binary "$FIRMWARE_DIR/$FIRMWARE.hex" "$IMAGE" \
    && head -c 16384 "$IMAGE" >"$GUI/run/decoy.bin" \
    && objcopy -I binary -O ihex --change-addresses 0x8000 "$SMALL_IMAGE" \
        "$FIRMWARE_DIR/$SMALL_FIRMWARE.hex" \
    || summary_fail "making the test firmware failed"

# ---- processes to end whatever happens
RUN=$GUI/run
XVFB_PID=""
cleanup() {
    local pid p
    if [ -s "$RUN/pids" ]; then
        for pid in $(cat "$RUN/pids"); do kill "$pid" 2>/dev/null; done
    fi
    if [ -s "$RUN/prefixes" ]; then
        for p in $(sort -u "$RUN/prefixes"); do
            WINEPREFIX=$p wineserver -k 2>/dev/null
            WINEPREFIX=$p wineserver -w 2>/dev/null
        done
    fi
    if [ -s "$RUN/pids-run" ]; then
        for pid in $(cat "$RUN/pids-run"); do kill "$pid" 2>/dev/null; done
    fi
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
    return 0
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# ---- the virtual display
rm -f "$RUN/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$RUN/display" 2>"$RUN/xvfb.log" &
XVFB_PID=$!
wait_until "$XVFB_PID" test -s "$RUN/display" || summary_fail "Xvfb did not start (log: $RUN/xvfb.log)"
export DISPLAY=:$(head -n1 "$RUN/display")
# A window manager: without one, Wine's windows never get the keyboard focus.
openbox --sm-disable >"$RUN/openbox.log" 2>&1 &
echo $! >>"$RUN/pids-run"
sleep 1

# ---- the template prefix: Arial's metric twin (Wine has no Arial, and a
# serif fallback would grow the window), the program's Qt variables (Wine
# passes QT_* on to Windows programs only from HKCU\Environment), the ports.
TEMPLATE=$GUI/template
wine_test_env "$TEMPLATE"
echo "$TEMPLATE" >>"$RUN/prefixes"
rm -rf "$TEMPLATE"
(unset DISPLAY; wineboot --init) </dev/null >"$RUN/wineboot.log" 2>&1 \
    || summary_fail "wineboot failed (log: $RUN/wineboot.log)"
wineserver -w
{
    printf 'REGEDIT4\r\n\r\n'
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n"Arial"="Liberation Sans"\r\n\r\n'
    printf '[HKEY_CURRENT_USER\\Environment]\r\n'
    printf '"QT_FORCE_STDERR_LOGGING"="1"\r\n"QT_LOGGING_RULES"="*.debug=false"\r\n\r\n'
    printf '[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
    for n in $SIM_PORT "${BUSY_PORTS[@]}"; do
        printf '"COM%s"="%s"\r\n' "$n" "$GUI/ports/ttyCOM$n"
    done
} >"$RUN/template.reg"
(unset DISPLAY; wine reg import "Z:${RUN//\//\\}\\template.reg") </dev/null >"$RUN/reg.log" 2>&1 \
    || summary_fail "registry set-up failed (log: $RUN/reg.log)"
wine_stop
for n in "${BUSY_PORTS[@]}"; do ln -sfn "$GUI/ports/busy" "$GUI/ports/ttyCOM$n"; done

# ==== helpers of the cases (run inside a case's subshell) ====

CASE=""
CASE_DIR=""
MAIN=""

pass() { echo "PASS  $CASE: $1"; echo pass >>"$RUN/results"; }
fail() {
    echo "FAIL  $CASE: $1"
    echo fail >>"$RUN/results"
    shot "fail-$(tr -c 'a-z0-9' '-' <<<"$1" | cut -c1-40)"
}
# check NAME COMMAND...: one check, passed when the command succeeds.
check() {
    local name=$1
    shift
    if "$@"; then pass "$name"; else fail "$name"; fi
}
shot() { import -window root "$CASE_DIR/$1.png" 2>/dev/null; }
now() { python3 -c 'import time; print("%.3f" % time.monotonic())'; }

# new_case NAME [FROM_CASE]: a fresh copy of the template (or of another
# case's prefix), its Wine session ready and the node's port pointed nowhere.
new_case() {
    CASE=$1
    CASE_DIR=$GUI/cases/$1
    local from=${2:+$GUI/cases/$2/prefix}
    from=${from:-$TEMPLATE}
    mkdir -p "$CASE_DIR/prefix"
    # The large, never written system folder is shared by hard links.
    cp -al "$from/drive_c" "$CASE_DIR/prefix/" \
        && cp -a "$from"/*.reg "$from/.update-timestamp" "$from/dosdevices" "$CASE_DIR/prefix/" \
        || return 1
    wine_test_env "$CASE_DIR/prefix"
    echo "$WINEPREFIX" >>"$RUN/prefixes"
    ln -sfn "$GUI/ports/busy" "$GUI/ports/ttyCOM$SIM_PORT"
    wineserver -p </dev/null >/dev/null 2>&1
}

# start_node [--line STATE] ARGS...: the simulated node on COM$SIM_PORT, its
# flash erased, its slave held in line state STATE of ptyhold.py (default
# fresh); its log and flash in the case folder.
start_node() {
    local state=fresh
    if [ "${1:-}" = --line ]; then
        state=$2
        shift 2
    fi
    "$SIM" --dosdevices "$CASE_DIR/sim-dosdevices" --flash "$CASE_DIR/flash.bin" \
        --log "$CASE_DIR/sim.log" "$@" </dev/null >"$CASE_DIR/sim.out" 2>"$CASE_DIR/sim.err" &
    NODE_PID=$!
    echo "$NODE_PID" >>"$RUN/pids"
    wait_until "$NODE_PID" node_reported "$CASE_DIR/sim.out"
    local slave
    slave=$(node_slave "$CASE_DIR/sim.out")
    [ -n "$slave" ] || { echo "canopen-node-sim did not start: $(cat "$CASE_DIR/sim.err")"; return 1; }
    python3 "$ROOT/tests/windows/ptyhold.py" --state "$state" "$CASE_DIR/holder.pids" "$slave" \
        2>>"$CASE_DIR/sim.err" \
        || { echo "the node's pty cannot be held"; return 1; }
    cat "$CASE_DIR/holder.pids" >>"$RUN/pids"
    ln -sfn "$slave" "$GUI/ports/ttyCOM$SIM_PORT"
}

# stop_node: ends the node (its flash file is complete afterwards).
stop_node() {
    kill "$NODE_PID" 2>/dev/null
    wait "$NODE_PID" 2>/dev/null
    kill $(cat "$CASE_DIR/holder.pids" 2>/dev/null) 2>/dev/null
    return 0
}

# preset NAME=VALUE...: the program's settings, as a user's earlier run left them.
preset() {
    local reg=$CASE_DIR/preset.reg kv
    {
        printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\%s]\r\n' "$SETTINGS_KEY"
        for kv in "$@"; do printf '"%s"="%s"\r\n' "${kv%%=*}" "${kv#*=}"; done
    } >"$reg"
    wine reg import "Z:${reg//\//\\}" </dev/null >>"$CASE_DIR/reg.log" 2>&1
}

# find_window REGEX SECONDS: prints the id of a shown window whose title
# matches, waiting at most SECONDS; status 1 when none shows.
find_window() {
    local regex=$1 end=$((SECONDS + $2)) wid
    while :; do
        wid=$(xdotool search --onlyvisible --name "$regex" 2>/dev/null | head -n1)
        [ -n "$wid" ] && { echo "$wid"; return 0; }
        [ $SECONDS -ge $end ] && return 1
        sleep 0.1
    done
}

window_name() { xdotool getwindowname "$1" 2>/dev/null; }

# start_program: the program from the unpacked zip; sets MAIN to its window.
start_program() {
    (cd "$APP_DIR" && exec wine "$APP_DIR/$EXE_NAME") </dev/null \
        >>"$CASE_DIR/program.out" 2>>"$CASE_DIR/program.err" &
    disown # ended with its Wine session, unreported
    MAIN=$(find_window '^Velmora\(CANBus\)$' 30) || { echo "no window titled $TITLE"; return 1; }
    sleep 0.5 # the first paint
}

# click X Y: a left click at X,Y of the main window.
click() { xdotool mousemove --window "$MAIN" "$1" "$2" click 1; }

# The message boxes the program can end an update with, by title.
BOX_RE='^(Burning Firmware Successful|Burning Firmware Failed|Read timeout|Open Serial COM[0-9]+ failed|Load hex file error|Please choose hex file)$'

# wait_box SECONDS: waits for a message box; sets BOX (window), BOX_TITLE,
# BOX_TIME (monotonic seconds when seen) and, unless BOX_COPY is 0, BOX_TEXT
# (the box's title and text as Ctrl+C copies them). Status 1 when no box
# shows in time.
BOX_COPY=1
wait_box() {
    BOX=$(find_window "$BOX_RE" "$1") || return 1
    BOX_TIME=$(now)
    BOX_TITLE=$(window_name "$BOX")
    sleep 0.3
    shot "box-$(tr -c 'A-Za-z0-9' '-' <<<"$BOX_TITLE")"
    BOX_TEXT=""
    [ "$BOX_COPY" = 0 ] && return 0
    # Copy: the clipboard has the exact text (Wine's rendering of Liberation
    # Sans drops the capital I).
    xdotool windowactivate --sync "$BOX" 2>/dev/null
    xdotool key ctrl+c
    local _
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        sleep 0.2
        BOX_TEXT=$(timeout 5 xclip -o -selection clipboard 2>/dev/null | tr -d '\r')
        grep -qF "$BOX_TITLE" <<<"$BOX_TEXT" && break
    done
    return 0
}

# close_box: presses the box's default button and waits until it is gone.
close_box() {
    xdotool key Return
    local end=$((SECONDS + 10))
    while xdotool getwindowname "$BOX" >/dev/null 2>&1 \
        && xdotool search --onlyvisible --name "$BOX_RE" 2>/dev/null | grep -qx "$BOX"; do
        [ $SECONDS -ge $end ] && return 1
        sleep 0.1
    done
}

# box_says TEXT: the copied box text has TEXT on a line of its own.
box_says() { grep -qxF "$1" <<<"$BOX_TEXT"; }

# box_lines: the copied box text on one line, for a check's name.
box_lines() { grep -v '^[- ]*$' <<<"$BOX_TEXT" | paste -sd'|' | sed 's/|/ \/ /g'; }

# ---- where to click, in the window of its designed size 531x296
DESIGN_SIZE=531x296
UPDATE_XY=(468 91)
PORT_BOX_XY=(218 57)

update_and_wait() {
    click "${UPDATE_XY[@]}"
    CLICK_TIME=$(now)
    wait_box "$1"
}

# ==== the cases ====

case_update() {
    new_case update || return 1
    start_node --node $NODE || return 1
    preset nodeid=$NODE com_port=$SIM_PORT filename=$FIRMWARE
    start_program || return 1
    shot window

    check "the window is titled $TITLE" [ "$(window_name "$MAIN")" = "$TITLE" ]
    eval "$(xdotool getwindowgeometry --shell "$MAIN" | grep -E '^(WIDTH|HEIGHT)=')"
    check "the window has its designed size $DESIGN_SIZE (is ${WIDTH}x$HEIGHT)" \
        [ "${WIDTH}x$HEIGHT" = "$DESIGN_SIZE" ]

    # Every value saved from here on is the update's own.
    wine reg delete "HKCU\\$SETTINGS_KEY" /f </dev/null >>"$CASE_DIR/reg.log" 2>&1
    click "${UPDATE_XY[@]}"
    CLICK_TIME=$(now)
    sleep 3
    shot progress
    wait_box 60 || { fail "no message box within 60 s of Update"; return 1; }
    local took
    took=$(python3 -c "print('%.1f' % ($BOX_TIME - $CLICK_TIME))")
    check "from a fresh terminal device, a full update ends in \"Burning Firmware Successful\" (${took} s; box: $(box_lines))" \
        box_says "Burning Firmware Successful"
    close_box
    stop_node
    local diff
    diff=$(python3 "$ROOT/tests/windows/guicheck.py" flash "$CASE_DIR/flash.bin" "$IMAGE")
    check "the node's flash holds the image${diff:+ ($diff)}" [ -z "$diff" ]
    local log
    log=$(ls "$WINEPREFIX"/drive_c/users/*/AppData/Local/Quorvex/"$TITLE"/logs/update-*.log 2>/dev/null | tail -n1)
    check "the update's log in %LOCALAPPDATA% ends in its box (${log##*/})" \
        grep -q '^Outcome: "Burning Firmware Successful"' "$log"

    wine_stop # writes the registry out to user.reg
    local settings expected
    settings=$(python3 "$ROOT/tests/windows/guicheck.py" settings "$WINEPREFIX/user.reg" "$SETTINGS_KEY" | tr '\n' ' ')
    expected="com_port=$SIM_PORT filename=$FIRMWARE nodeid=$NODE "
    check "the registry holds the update's settings ($settings)" [ "$settings" = "$expected" ]
}

case_terminal() {
    new_case terminal || return 1
    start_node --line terminal --node $NODE || return 1
    preset nodeid=$NODE com_port=$SIM_PORT filename=$SMALL_FIRMWARE
    start_program || return 1
    update_and_wait 60 || { fail "no message box within 60 s of Update"; return 1; }
    check "from a port left with XON/XOFF on, an update ends in \"Burning Firmware Successful\" (box: $(box_lines))" \
        box_says "Burning Firmware Successful"
    close_box
    stop_node
    local diff
    diff=$(python3 "$ROOT/tests/windows/guicheck.py" flash "$CASE_DIR/flash.bin" "$SMALL_IMAGE")
    check "from a port left with XON/XOFF on, the node's flash holds the image${diff:+ ($diff)}" [ -z "$diff" ]
    # What support reads: the state found (XON/XOFF on) and the state set.
    local found set
    found=$(grep -m1 -o 'Serial line state at open: .*' "$CASE_DIR/program.err" | tr -d '\r')
    set=$(grep -m1 -o 'Serial line state set: .*' "$CASE_DIR/program.err" | tr -d '\r')
    check "the program reports the line state found and set (${found:-none}; ${set:-none})" \
        eval '[[ $found == *"XON/XOFF in"* && -n $set && $set != *XON* ]]'
}

case_restart() {
    # The update case's registry, nothing preset: without the remembered
    # choices the program would pick COM4, which cannot be opened, node 1,
    # and the decoy file listed first.
    new_case restart update || return 1
    start_node --node $NODE || return 1
    start_program || return 1
    shot window
    update_and_wait 60 || { fail "no message box within 60 s of Update"; return 1; }
    check "restarted, Update with the remembered choices ends in \"Burning Firmware Successful\" (box: $BOX_TITLE)" \
        box_says "Burning Firmware Successful"
    close_box
    stop_node
    local diff
    diff=$(python3 "$ROOT/tests/windows/guicheck.py" flash "$CASE_DIR/flash.bin" "$IMAGE")
    check "restarted, the node's flash holds the remembered file's image${diff:+ ($diff)}" [ -z "$diff" ]
}

case_silent() {
    new_case silent || return 1
    start_node --node $NODE --silent || return 1
    preset nodeid=$NODE com_port=$SIM_PORT filename=$FIRMWARE
    start_program || return 1
    update_and_wait 30 || { fail "no message box within 30 s of Update"; return 1; }
    check "a silent node ends in \"Read timeout\" (box: $BOX_TITLE)" box_says "Read timeout"
    close_box
    stop_node
    # From the node's receipt of the request to the box.
    local request after
    request=$(awk '$2 == "RX" { t = $1 } END { print t }' "$CASE_DIR/sim.log")
    after=$(python3 -c "print('%.2f' % ($BOX_TIME - ${request:-0}))")
    check "\"Read timeout\" shows about 4 s after the request (${after} s)" \
        python3 -c "import sys; sys.exit(not 3.95 <= $after <= 5.5)"
}

case_stopped() {
    new_case stopped || return 1
    start_node --node $NODE || return 1
    # Output held off as by flow control; the program's line set-up does not
    # release that.
    python3 -c 'import os, sys, termios
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
termios.tcflow(fd, termios.TCOOFF)' "$(readlink "$GUI/ports/ttyCOM$SIM_PORT")" || return 1
    preset nodeid=$NODE com_port=$SIM_PORT filename=$SMALL_FIRMWARE
    start_program || return 1
    update_and_wait 30 || { fail "no message box within 30 s of Update"; return 1; }
    check "a line whose output is held off ends in \"Read timeout\" (box: $(box_lines))" \
        box_says "Read timeout"
    close_box
}

case_corrupt() {
    new_case corrupt || return 1
    start_node --node $NODE --corrupt 100 || return 1
    preset nodeid=$NODE com_port=$SIM_PORT filename=$SMALL_FIRMWARE
    start_program || return 1
    update_and_wait 60 || { fail "no message box within 60 s of Update"; return 1; }
    check "a wrongly stored byte ends in \"Burning Firmware Failed\" / \"File is different\"" \
        eval 'box_says "Burning Firmware Failed" && box_says "File is different"'
    close_box
}

case_ports() {
    # Only ports that cannot be opened: each Update ends in a box naming the
    # chosen port. The keyboard walks the list from its top.
    new_case ports || return 1
    preset com_port=${BUSY_PORTS[1]} filename=$FIRMWARE
    start_program || return 1
    local seen=() first=1 title n
    for _ in 1 2 3 4 5 6 7 8; do
        click "${PORT_BOX_XY[@]}" # opens the list, rebuilt on the press
        sleep 0.5
        if [ $first -eq 1 ]; then xdotool key Home; else xdotool key Down; fi
        xdotool key Return
        sleep 0.3
        update_and_wait 15 || { fail "no message box within 15 s of Update"; return 1; }
        title=$BOX_TITLE
        if [ $first -eq 1 ]; then
            check "a port that cannot be opened ends in \"Open Serial COM${BUSY_PORTS[0]} failed\" (box: $title)" \
                eval 'box_says "Open Serial COM${BUSY_PORTS[0]} failed" && box_says "Does there has other application lock the COM port?"'
        fi
        close_box || { fail "the box \"$title\" does not close"; return 1; }
        first=0
        BOX_COPY=0 # the titles tell the rest
        n=$(sed -n 's/^Open Serial COM\([0-9]*\) failed$/\1/p' <<<"$title")
        [ -n "$n" ] || break
        [ ${#seen[@]} -gt 0 ] && [ "${seen[-1]}" = "$n" ] && break # the list's end
        seen+=("$n")
    done
    local expected
    expected=$(printf '%s\n' $SIM_PORT "${BUSY_PORTS[@]}" | sort -n | tr '\n' ' ')
    check "the port list holds the registered ports in numeric order (${seen[*]})" \
        [ "${seen[*]} " = "$expected" ]
}

# run_case NAME LIMIT: runs case_NAME in its own process group; past LIMIT
# seconds it is ended and counted failed. Its Wine session and node end with it.
set -m
run_case() {
    local name=$1 limit=$2 start=$SECONDS
    echo "-- $name"
    ( case_"$name"; ) &
    local pid=$! end=$((SECONDS + limit)) status before
    before=$(wc -l <"$RUN/results")
    while kill -0 "$pid" 2>/dev/null && [ $SECONDS -lt "$end" ]; do sleep 0.2; done
    if kill -0 "$pid" 2>/dev/null; then
        kill -TERM -- -"$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
        CASE=$name CASE_DIR=$GUI/cases/$name
        fail "did not finish within $limit s (see $CASE_DIR)"
    else
        wait "$pid"
        status=$?
        # A case that stopped before any of its checks failed in its set-up.
        if [ $status -ne 0 ] && ! tail -n +$((before + 1)) "$RUN/results" | grep -q fail; then
            CASE=$name CASE_DIR=$GUI/cases/$name
            [ -d "$CASE_DIR" ] || mkdir -p "$CASE_DIR"
            fail "set-up failed (see $CASE_DIR)"
        fi
    fi
    # Whatever the case left: its node, its pty holder, its Wine session.
    if [ -s "$RUN/pids" ]; then
        for p in $(cat "$RUN/pids"); do kill "$p" 2>/dev/null; done
        : >"$RUN/pids"
    fi
    WINEPREFIX=$GUI/cases/$name/prefix wineserver -k 2>/dev/null
    WINEPREFIX=$GUI/cases/$name/prefix wineserver -w 2>/dev/null
    echo "   ($name: $((SECONDS - start)) s)"
}

: >"$RUN/results"
run_case update 120
run_case terminal 60
run_case restart 90
run_case silent 60
run_case stopped 60
run_case corrupt 60
run_case ports 90

passed=$(grep -c '^pass$' "$RUN/results")
failed=$(grep -c '^fail$' "$RUN/results")
echo "   (whole run: $((SECONDS - RUN_START)) s)"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
