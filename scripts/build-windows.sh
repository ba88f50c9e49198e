#!/usr/bin/env bash
# Builds the Windows program on Debian: a static Qt for mingw-w64 once (cached,
# see scripts/winqt.sh), then the program in Release, stripped, and the zip
# dist/QuorvexRemoteIOFirmwareUpdater-<version>-win64.zip.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/common.sh"
source "$ROOT/scripts/winqt.sh"

ensure_windows_qt
echo "Qt for Windows: $QT_WIN_PREFIX"
