#!/usr/bin/env bash
# The Windows program's resources (icon, version, manifest; read directly and
# through Windows' own readers under Wine; the window's icon on a virtual
# display), read back from the .exe in the zip of scripts/build-windows.sh:
# the checks are tests/windows/resourcetest.py. This launcher installs what
# they need and builds the zip (with its Qt when the cache is cold).
#
# Prints one line per check and ends with "N passed, N failed"; the exit
# status is non-zero on any failure. Work tree: $QRIO_WIN_RES_BUILD, default
# build-win-res/ (the unpacked .exe, the probe, a Wine prefix).
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/common.sh"

ensure_packages icoutils python3 wine wine64 g++-mingw-w64-x86-64-posix xvfb xauth xdotool x11-utils \
    || checks_abort "installing icoutils, Python, Wine, mingw, Xvfb, xdotool and xprop failed"
build_windows_zip
exec python3 "$ROOT/tests/windows/resourcetest.py" "$ZIP"
