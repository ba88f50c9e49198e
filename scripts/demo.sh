#!/usr/bin/env bash
# Installs what is missing, builds, and runs the program against a simulated
# remote-IO node on a pseudo-terminal (with real hardware attached, pick its
# COM port in the window instead). The demo keeps its settings and its port
# link under build/demo, away from your own.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/common.sh"
load_names || { echo "cmake -P cmake/names.cmake gives no names" >&2; exit 1; }

packages=("${BUILD_PACKAGES[@]}")
[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] || packages+=(xvfb xauth)
ensure_packages "${packages[@]}"

BUILD="$ROOT/build"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target "$QRIO_EXE_NAME" canopen-node-sim demo-firmware

DEMO="$BUILD/demo"
mkdir -p "$DEMO/config"
export XDG_CONFIG_HOME="$DEMO/config"
# ... and its update logs under build/demo/data.
export XDG_DATA_HOME="$DEMO/data"

# The simulated node, on a free COM number, its flash kept in a file.
"$BUILD/sim/canopen-node-sim" --com auto --flash "$DEMO/flash.bin" --log "$DEMO/node.log" \
    > "$DEMO/sim.out" 2> "$DEMO/sim.err" &
SIM=$!
trap 'kill $SIM 2>/dev/null; wait $SIM 2>/dev/null || true' EXIT
trap 'exit 130' INT TERM HUP
for _ in $(seq 50); do
    [ -s "$DEMO/sim.out" ] && break
    kill -0 $SIM 2>/dev/null || { cat "$DEMO/sim.err" >&2; exit 1; }
    sleep 0.1
done
read -r COM SLAVE < "$DEMO/sim.out"
PORT=${COM#COM}
echo "Simulated node on COM $PORT ($SLAVE)"

# Start with that port chosen.
CONF="$XDG_CONFIG_HOME/$QRIO_COMPANY/$QRIO_APP_NAME.conf"
mkdir -p "$(dirname "$CONF")"
if [ -f "$CONF" ] && grep -q '^com_port=' "$CONF"; then
    sed -i "s/^com_port=.*/com_port=$PORT/" "$CONF"
elif [ -f "$CONF" ] && grep -q '^\[Settings\]' "$CONF"; then
    sed -i "/^\[Settings\]/a com_port=$PORT" "$CONF"
else
    printf '[Settings]\ncom_port=%s\n' "$PORT" >> "$CONF"
fi

APP="$BUILD/$QRIO_EXE_NAME"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    "$APP" "$@"
else
    echo "No display: running under xvfb-run"
    xvfb-run -a -s "-screen 0 1024x768x24" "$APP" "$@"
fi
