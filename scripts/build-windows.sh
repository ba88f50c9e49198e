#!/usr/bin/env bash
# Builds the Windows program on Debian: a static Qt for mingw-w64 once (cached,
# see scripts/winqt.sh), then the program in Release with warnings as errors,
# installed by its install rules (packaging/install.cmake: the .exe, the
# firmware folder with its README.txt, the user guide) into a staging folder,
# stripped, checked to import only Windows system DLLs, and packed as
# dist/<executable name>-<version>-win64.zip.
#
# The same commit gives the same zip, byte for byte, from any folder at any
# time: every time stamp is SOURCE_DATE_EPOCH (from the environment, else the
# commit's time, else CMakeLists.txt's modification time), the program holds
# no build path and no link time, and the zip's entries are sorted with fixed
# modes.
#
# Build tree: $QRIO_WIN_APP_BUILD, default build-win-app/ (step logs in its
# logs/). The zip goes into $QRIO_DIST, default dist/. Qt cache:
# $QRIO_QT_CACHE, default ~/.cache/quorvex-qt-mingw.
# Any failure prints one line naming the step and its log, and exits non-zero.
# The last line of a successful run is the zip's path.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/common.sh"
source "$ROOT/scripts/winqt.sh"

BUILD=${QRIO_WIN_APP_BUILD:-$ROOT/build-win-app}
DIST=${QRIO_DIST:-$ROOT/dist}
load_names || { echo "cmake -P cmake/names.cmake gives no names" >&2; exit 1; }
TARGET=$QRIO_EXE_NAME
LOGS=$BUILD/logs
TRIPLE=x86_64-w64-mingw32

# What a Windows installation always has. Anything else beside the .exe
# (Qt, libstdc++, libgcc, winpthread) would have to ship with it.
SYSTEM_DLLS=(
    advapi32 bcrypt comctl32 comdlg32 crypt32 dwmapi gdi32 imm32 kernel32 mpr
    msvcrt netapi32 ole32 oleaut32 setupapi shell32 shlwapi user32 userenv
    uxtheme version winmm ws2_32 wtsapi32
)

fail() {
    echo "build-windows: $1" >&2
    exit 1
}

# step NAME COMMAND...: runs the command with its output in logs/NAME.log.
step() {
    local name=$1
    shift
    "$@" >"$LOGS/$name.log" 2>&1 || fail "$name failed (log: $LOGS/$name.log)"
}

mkdir -p "$LOGS"
# librsvg2-bin and icoutils render the program's icon; python3 packs the zip.
ensure_packages cmake make binutils-mingw-w64-x86-64 librsvg2-bin icoutils python3 \
    || fail "installing cmake, mingw-w64, librsvg2-bin, icoutils and python3 failed"
source_date_epoch || {
    SOURCE_DATE_EPOCH=$(stat -c %Y "$ROOT/CMakeLists.txt")
    export SOURCE_DATE_EPOCH
}
ensure_windows_qt
echo "Qt for Windows: $QT_WIN_PREFIX"

# ---- the program, Release, against that Qt
step configure cmake -S "$ROOT" -B "$BUILD" \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
    -DQRIO_QT_WIN_PREFIX="$QT_WIN_PREFIX" \
    -DCMAKE_PROJECT_INCLUDE="$ROOT/cmake/project-version.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DQRIO_BUILD_TESTS=OFF
VERSION=$(cat "$BUILD/project-version.txt" 2>/dev/null || true)
[ -n "$VERSION" ] || fail "configure wrote no project version (log: $LOGS/configure.log)"
echo "cross-building $TARGET $VERSION (log: $LOGS/build.log)"
step build cmake --build "$BUILD" --target "$TARGET" -j"$(nproc)"

# ---- the installed layout (packaging/install.cmake), stripped, in a
# staging folder; nothing but system DLLs imported
STAGE_NAME=$TARGET-$VERSION-win64
STAGE=$BUILD/stage/$STAGE_NAME
rm -rf "$BUILD/stage"
step install cmake --install "$BUILD" --prefix "$STAGE" --strip
step imports "$TRIPLE-objdump" -p "$STAGE/$TARGET.exe"
foreign=()
while read -r dll; do
    base=$(echo "${dll%.[dD][lL][lL]}" | tr '[:upper:]' '[:lower:]')
    case " ${SYSTEM_DLLS[*]} " in
    *" $base "*) ;;
    *) case $base in api-ms-win-*) ;; *) foreign+=("$dll") ;; esac ;;
    esac
done < <(sed -n 's/^[[:space:]]*DLL Name: *//p' "$LOGS/imports.log")
grep -q 'DLL Name:' "$LOGS/imports.log" || fail "imports: no DLL list found (log: $LOGS/imports.log)"
[ ${#foreign[@]} -eq 0 ] || fail "imports: $TARGET.exe needs ${foreign[*]} beside it (log: $LOGS/imports.log)"

# ---- the zip of the staging folder
mkdir -p "$DIST"
ZIP=$DIST/$STAGE_NAME.zip
rm -f "$ZIP.new"
# Entries in sorted order, all dated SOURCE_DATE_EPOCH (UTC; a zip has no time
# zone and no date before 1980), folders 755, files 644, the .exe 755.
python3 - "$BUILD/stage" "$STAGE_NAME" "$ZIP.new" >"$LOGS/zip.log" 2>&1 <<'EOF' || fail "zip failed (log: $LOGS/zip.log)"
import os, sys, time, zipfile
stage, top, out = sys.argv[1:4]
date = time.gmtime(max(int(os.environ["SOURCE_DATE_EPOCH"]), 315532800))[:6]
paths = [top]
for folder, dirs, files in os.walk(os.path.join(stage, top)):
    rel = os.path.relpath(folder, stage)
    paths += [os.path.join(rel, name) for name in dirs + files]
with zipfile.ZipFile(out, "w") as z:
    for rel in sorted(p.replace(os.sep, "/") for p in paths):
        full = os.path.join(stage, rel)
        info = zipfile.ZipInfo(rel + "/" if os.path.isdir(full) else rel, date)
        info.create_system = 3
        if os.path.isdir(full):
            info.external_attr = (0o40755 << 16) | 0x10
            z.writestr(info, b"")
        else:
            mode = 0o755 if rel.endswith(".exe") else 0o644
            info.external_attr = (0o100000 | mode) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            with open(full, "rb") as f:
                z.writestr(info, f.read(), compresslevel=9)
        print(rel)
EOF
mv "$ZIP.new" "$ZIP"
echo "$ZIP"
