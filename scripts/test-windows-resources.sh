#!/usr/bin/env bash
# The Windows program's resources, read back from the .exe in the zip of
# scripts/build-windows.sh (built first, with its Qt when the cache is cold):
#   icon group   the first icon group is IDI_ICON1 (Qt's class icon), the only one
#   icon sizes   it holds every size of cmake/windows-resources.cmake, square
#   version      the binary and string versions are the project's (from CMake),
#                the company is the one of cmake/names.cmake; product,
#                description, file name and copyright are set
#   manifest     one manifest, ID 1, well-formed, asInvoker, Windows 10/11,
#                per-monitor DPI awareness (what Qt 5.15 sets itself)
#   wine         Windows' own readers under Wine (ExtractIconEx, LoadImage as
#                Qt calls it, GetFileVersionInfo) find the icon and the version
#   window icon  the program started under Wine on a virtual display: its
#                window's icon (_NET_WM_ICON, which Wine sets from the window's
#                icon) is the .exe's 32 px icon, pixel for pixel
# Read with icoutils' wrestool/icotool and scripts/pe_resources.py, and under
# Wine with tests/windows/resource_probe.cpp. Prints one line per check and
# ends with "N passed, N failed"; non-zero exit status on any failure.
#
# Work tree: $QRIO_WIN_RES_BUILD, default build-win-res/ (the unpacked .exe,
# the probe, a Wine prefix).
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/common.sh"
source "$ROOT/scripts/winetest.sh"
WORK=${QRIO_WIN_RES_BUILD:-$ROOT/build-win-res}
APP_BUILD=${QRIO_WIN_APP_BUILD:-$ROOT/build-win-app}
PE="python3 $ROOT/scripts/pe_resources.py"

ensure_packages icoutils python3 wine wine64 g++-mingw-w64-x86-64-posix xvfb xauth xdotool x11-utils \
    || checks_abort "installing icoutils, Python, Wine, mingw, Xvfb, xdotool and xprop failed"

build_windows_zip
load_names || checks_abort "cmake -P cmake/names.cmake gives no names"
EXE_NAME=$QRIO_EXE_NAME.exe
VERSION=$(cat "$APP_BUILD/project-version.txt" 2>/dev/null)
[ -n "$VERSION" ] || checks_abort "no project version in $APP_BUILD/project-version.txt"
IFS=. read -r v1 v2 v3 v4 <<<"$VERSION"
QUAD=${v1:-0}.${v2:-0}.${v3:-0}.${v4:-0}

rm -rf "$WORK/unpacked"
mkdir -p "$WORK/unpacked"
(cd "$WORK/unpacked" && cmake -E tar xf "$ZIP") || checks_abort "unpacking $ZIP failed"
EXE=$(ls "$WORK"/unpacked/*/"$EXE_NAME" 2>/dev/null | head -n1)
[ -f "$EXE" ] || checks_abort "$ZIP holds no $EXE_NAME"
echo "checking $EXE_NAME $VERSION from $(basename "$ZIP")"

# ---- the icon
wrestool -l "$EXE" >"$WORK/wrestool.txt" 2>&1
groups=$(sed -n "s/^--type=14 --name=\([^ ]*\) .*/\1/p" "$WORK/wrestool.txt")
[ "$groups" = "'IDI_ICON1'" ]
check_status "icon group" $? "icon groups: [$(echo $groups)], want only 'IDI_ICON1'"

want_sizes=$(sed -n 's/^set(QRIO_ICON_SIZES \(.*\))$/\1/p' "$ROOT/cmake/windows-resources.cmake")
got_sizes=""
if wrestool -x -t14 -n IDI_ICON1 "$EXE" >"$WORK/icon.ico" 2>/dev/null && [ -s "$WORK/icon.ico" ]; then
    got_sizes=$(icotool -l "$WORK/icon.ico" \
        | sed -n 's/.*--width=\([0-9]*\) --height=\([0-9]*\).*/\1 \2/p' \
        | while read -r w h; do [ "$w" = "$h" ] && echo "$w" || echo "${w}x$h"; done | sort -n | xargs)
fi
[ -n "$want_sizes" ] && [ "$got_sizes" = "$want_sizes" ]
check_status "icon sizes" $? "sizes [$got_sizes], want [$want_sizes]"

# ---- the version resource
$PE version "$EXE" >"$WORK/version.txt" 2>&1
version_ok() {
    local want
    for want in "FILEVERSION $QUAD" "PRODUCTVERSION $QUAD" "FileVersion=$VERSION" \
        "ProductVersion=$VERSION" "CompanyName=$QRIO_COMPANY" "OriginalFilename=$EXE_NAME"; do
        grep -qxF "$want" "$WORK/version.txt" || { echo "no \"$want\""; return 1; }
    done
    for want in ProductName FileDescription; do
        grep -q "^$want=..*" "$WORK/version.txt" || { echo "no $want"; return 1; }
    done
    grep -q "^LegalCopyright=Copyright .*$QRIO_COMPANY" "$WORK/version.txt" || { echo "no copyright line"; return 1; }
}
why=$(version_ok)
check_status "version" $? "$why ($(tr '\n' ';' <"$WORK/version.txt"))"

# ---- the manifest
manifests=$($PE list "$EXE" 2>&1 | awk '$1 == 24 { print $2 }' | xargs)
why=""
if [ "$manifests" != "1" ]; then
    why="manifest resources: [$manifests], want exactly one, ID 1"
elif ! $PE dump "$EXE" 24 1 >"$WORK/manifest.xml" 2>&1; then
    why="cannot read it"
else
    # The checker's message (on stderr) is the failure's reason.
    why=$(python3 - "$WORK/manifest.xml" 2>&1 <<'EOF'
import sys
import xml.etree.ElementTree as ET
try:
    root = ET.parse(sys.argv[1]).getroot()
except ET.ParseError as e:
    sys.exit("not well-formed: %s" % e)
ns = {"v1": "urn:schemas-microsoft-com:asm.v1", "v3": "urn:schemas-microsoft-com:asm.v3",
      "c": "urn:schemas-microsoft-com:compatibility.v1",
      "ws05": "http://schemas.microsoft.com/SMI/2005/WindowsSettings",
      "ws16": "http://schemas.microsoft.com/SMI/2016/WindowsSettings"}
def one(path):
    found = root.findall(path, ns)
    return found[0] if len(found) == 1 else None
if root.tag != "{%s}assembly" % ns["v1"]:
    sys.exit("root is %s, not assembly" % root.tag)
level = one("v3:trustInfo/v3:security/v3:requestedPrivileges/v3:requestedExecutionLevel")
if level is None or level.get("level") != "asInvoker":
    sys.exit("requestedExecutionLevel is not asInvoker")
ids = [e.get("Id") for e in root.findall("c:compatibility/c:application/c:supportedOS", ns)]
if "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}" not in ids:
    sys.exit("Windows 10/11 not among supportedOS %s" % ids)
aware = one("v3:application/v3:windowsSettings/ws05:dpiAware")
awareness = one("v3:application/v3:windowsSettings/ws16:dpiAwareness")
if aware is None or aware.text.strip() != "true/pm":
    sys.exit("dpiAware is not true/pm")
if awareness is None or awareness.text.strip() != "PerMonitor":
    sys.exit("dpiAwareness is not PerMonitor")
EOF
) || why=${why:-"the manifest check failed"}
fi
[ -z "$why" ]
check_status "manifest" $? "$why"

# ---- the same through Windows' own readers, under Wine
PROBE=$WORK/resource_probe.exe
PROBE_SRC=$ROOT/tests/windows/resource_probe.cpp
if [ ! -e "$PROBE" ] || [ "$PROBE_SRC" -nt "$PROBE" ]; then
    x86_64-w64-mingw32-g++-posix -std=c++17 -static -O2 -municode -Wall -Wextra -Werror \
        "$PROBE_SRC" -o "$PROBE.new" -lversion -lshell32 -lgdi32 -luser32 \
        >"$WORK/probe-build.log" 2>&1 && mv "$PROBE.new" "$PROBE"
fi
why=""
if [ ! -e "$PROBE" ]; then
    why="building the probe failed (log: $WORK/probe-build.log)"
else
    wine_test_env "$WORK/wineprefix"
    unset DISPLAY WAYLAND_DISPLAY
    trap wine_stop EXIT
    # Wine's drive Z: is the Linux root.
    timeout 120 wine "$PROBE" "Z:${EXE//\//\\}" </dev/null 2>"$WORK/probe.err" | tr -d '\r' >"$WORK/probe.txt"
    wine_stop
    for want in icons=1 first-icon=32x32 IDI_ICON1=32x32 IDI_ICON1@256=256x256 \
        "FileVersion=$VERSION" "ProductVersion=$VERSION" "CompanyName=$QRIO_COMPANY"; do
        grep -qxF "$want" "$WORK/probe.txt" || { why="no \"$want\" ($(tr '\n' ';' <"$WORK/probe.txt"))"; break; }
    done
fi
[ -z "$why" ]
check_status "wine" $? "$why"

# ---- the window's icon, as the title bar and the taskbar get it
# window_icon EXE OUT: started under Wine on this display, the first visible
# window with an icon; its _NET_WM_ICON into OUT. Ends the program.
window_icon() {
    wine "$1" >/dev/null 2>&1 </dev/null &
    local wid="" w
    for _ in $(seq 120); do
        for w in $(xdotool search --onlyvisible --name '.' 2>/dev/null); do
            xprop -id "$w" -notype 32c _NET_WM_ICON 2>/dev/null | grep -q '= [0-9]' && wid=$w && break
        done
        [ -n "$wid" ] && break
        sleep 0.25
    done
    [ -n "$wid" ] && xprop -id "$wid" -notype 32c _NET_WM_ICON >"$2"
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
}
why=""
if ! icotool -x -w 32 -h 32 -o "$WORK/icon-32.png" "$WORK/icon.ico" 2>/dev/null; then
    why="no 32 px icon in the .exe to compare with"
else
    rm -f "$WORK/window-icon.txt"
    # xvfb-run is a POSIX shell script: it passes no bash function on.
    timeout 120 xvfb-run -a bash -c "$(declare -f window_icon)"'; window_icon "$1" "$2"' \
        _ "$EXE" "$WORK/window-icon.txt" 2>/dev/null
    if [ ! -s "$WORK/window-icon.txt" ]; then
        why="no window with an icon appeared"
    else
        why=$(python3 - "$WORK/window-icon.txt" "$WORK/icon-32.png" 2>&1 <<'EOF'
import struct, sys, zlib
def png_rgba(path):  # 8-bit RGBA, not interlaced: what icotool writes
    data = open(path, "rb").read()
    pos, idat = 8, b""
    while pos < len(data):
        n, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + n]
        if kind == b"IHDR":
            w, h, depth, color = struct.unpack(">IIBB", body[:10])
            if (depth, color) != (8, 6):
                sys.exit("unexpected PNG format %d/%d" % (depth, color))
        elif kind == b"IDAT":
            idat += body
        pos += 12 + n
    raw, stride, rows, prev = zlib.decompress(idat), 4 * w, [], bytearray(4 * w)
    for y in range(h):
        f, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            a = line[x - 4] if x >= 4 else 0
            b, c = prev[x], prev[x - 4] if x >= 4 else 0
            if f == 1: line[x] = (line[x] + a) & 255
            elif f == 2: line[x] = (line[x] + b) & 255
            elif f == 3: line[x] = (line[x] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[x] = (line[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(line)
        prev = line
    return w, h, [tuple(r[i:i + 4]) for r in rows for i in range(0, stride, 4)]
text = open(sys.argv[1]).read()
vals = [int(v) for v in text.split("=", 1)[1].replace(",", " ").split()]
icons, i = {}, 0
while i + 2 <= len(vals):
    w, h = vals[i], vals[i + 1]
    icons[(w, h)] = vals[i + 2:i + 2 + w * h]
    i += 2 + w * h
if (32, 32) not in icons:
    sys.exit("the window has no 32x32 icon (%s)" % sorted(icons))
w, h, want = png_rgba(sys.argv[2])
got = icons[(32, 32)]
opaque = [k for k, px in enumerate(want) if px[3] == 255]
bad = [k for k in opaque
       if got[k] & 0xFFFFFFFF != (255 << 24 | want[k][0] << 16 | want[k][1] << 8 | want[k][2])]
if not opaque or bad:
    sys.exit("%d of %d opaque pixels differ from the .exe's icon" % (len(bad), len(opaque)))
EOF
) || why=${why:-"the comparison failed"}
    fi
fi
[ -z "$why" ]
check_status "window icon" $? "$why"

checks_summary
