#!/usr/bin/env bash
# The Windows serial layer (port scan and serial line) under Wine, without Qt:
# installs what it needs, then runs tests/windows/serialtest.py, which builds
# the console test with mingw and runs it against COM ports backed by
# pseudo-terminals (see there). Ends with "N passed, N failed"; the exit
# status is non-zero on any failure.
#
# Build tree: $QRIO_WIN_BUILD, default build-win/. The simulated node is
# $QRIO_NODE_SIM, default build/sim/canopen-node-sim, built there.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/common.sh"
source "$ROOT/scripts/winetest.sh"

ensure_packages wine wine64 g++-mingw-w64-x86-64 cmake python3 || checks_abort "cannot install Wine and mingw"
exec python3 "$ROOT/tests/windows/serialtest.py"
