#!/usr/bin/env bash
# The Windows program itself, through its real window under Wine on a virtual
# display, against the simulated node on Wine COM ports: the cases and their
# checks are tests/windows/guitest.py. This launcher gives it its namespaces,
# its packages and the display (Xvfb with Openbox).
#
# Prints one line per check and ends with "N passed, N failed"; the exit
# status is non-zero on any failure. No Wine, X server or simulator process
# outlives the script. Build tree: $QRIO_WIN_GUI_BUILD, default build-win-gui/.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/common.sh"
source "$ROOT/scripts/winetest.sh"
GUI=${QRIO_WIN_GUI_BUILD:-$ROOT/build-win-gui}

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
            ROOT=$1
            source "$ROOT/scripts/winetest.sh"
            if [ -n "$(host_serial_ports)" ] && ! hide_host_serial_ports "$2"; then
                checks_abort "hiding the machine serial ports failed"
            fi
            QRIO_GUI_NAMESPACE=1 exec bash "$ROOT/scripts/test-windows-gui.sh"' _ "$ROOT" "$GUI/dev-view"
    fi
    [ -z "$(host_serial_ports)" ] \
        || checks_abort "the machine's serial ports ($(host_serial_ports | tr '\n' ' ')) cannot be hidden from Wine: that needs root (unshare)"
fi

ensure_packages wine wine64 xvfb openbox xdotool xclip imagemagick fonts-liberation binutils python3 \
    || checks_abort "installing Wine, Xvfb, Openbox, xdotool, xclip and ImageMagick failed"

# ---- the virtual display, on a free display number that Xvfb reports
X=$GUI/x
rm -rf "$X"
mkdir -p "$X"
mkfifo "$X/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$X/display" 2>"$X/xvfb.log" &
XVFB_PID=$!
OPENBOX_PID=""
cleanup() {
    [ -n "$OPENBOX_PID" ] && kill "$OPENBOX_PID" 2>/dev/null
    kill "$XVFB_PID" 2>/dev/null
    wait 2>/dev/null
    return 0
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
read -r -t 10 display <"$X/display" || checks_abort "Xvfb did not start (log: $X/xvfb.log)"
export DISPLAY=:$display
# A window manager: without one, Wine's windows never get the keyboard focus.
openbox --sm-disable >"$X/openbox.log" 2>&1 &
OPENBOX_PID=$!

QRIO_WIN_GUI_BUILD=$GUI python3 "$ROOT/tests/windows/guitest.py"
