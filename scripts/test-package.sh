#!/usr/bin/env bash
# The Debian package end to end: builds it with scripts/package.sh, installs it
# into this machine with apt-get as a user would, checks where everything
# went, starts the installed program once offscreen through its launcher, and
# removes the package again whatever the outcome. One line per check, then
# "N passed, N failed"; the exit status is non-zero on any failure.
#
# Test runs from several checkouts of this project may share the machine, so
# the install-check-remove part holds a machine-wide lock. A copy of the
# package that is already installed (an earlier build, another version) is
# replaced by this build for the test and removed with it.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/common.sh"

# strace shows which firmware folder the started program reads.
ensure_packages strace

passed=0
failed=0
pass() { echo "PASS $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1"; failed=$((failed + 1)); }
check() {
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}
summary() { echo "$passed passed, $failed failed"; }

WORK=$(mktemp -d)
PKG=""
INSTALLED_BY_US=0
TRACER=""
SUDO=()
[ "$(id -u)" -eq 0 ] || SUDO=(sudo)
APT=("${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=600)

# purge_package: removes the package if dpkg still has it in any state.
purge_package() {
    local status
    status=$(dpkg-query -W -f='${Status}' "$PKG" 2>/dev/null) || return 0
    [[ $status == *not-installed ]] && return 0
    "${APT[@]}" purge "$PKG" > "$WORK/purge.log" 2>&1
}

cleanup() {
    local status=$?
    # The program under strace: the tracer goes with it.
    if [ -n "$TRACER" ] && kill -0 "$TRACER" 2>/dev/null; then
        local child
        for child in $(cat /proc/"$TRACER"/task/*/children 2>/dev/null); do
            kill -9 "$child" 2>/dev/null
        done
        kill "$TRACER" 2>/dev/null
        wait "$TRACER" 2>/dev/null
    fi
    if [ "$INSTALLED_BY_US" = 1 ] && ! purge_package; then
        cat "$WORK/purge.log"
        echo "FAIL the package could not be removed: apt-get purge $PKG"
        status=1
    fi
    rm -rf "$WORK"
    exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# -- build
if ! bash "$ROOT/scripts/package.sh" > "$WORK/package.log" 2>&1; then
    tail -n 40 "$WORK/package.log"
    fail "scripts/package.sh builds the package"
    summary
    exit 1
fi
DEB=$(tail -n 1 "$WORK/package.log")
DEB_NAME=$(basename "$DEB")
check "scripts/package.sh writes dist/$DEB_NAME" test -f "$ROOT/dist/$DEB_NAME"
[ -f "$ROOT/dist/$DEB_NAME" ] || { summary; exit 1; }

PKG=$(dpkg-deb -f "$DEB" Package)
VERSION=$(dpkg-deb -f "$DEB" Version)
APP_DIR="/opt/$PKG"
PROGRAM="$APP_DIR/QuorvexRemoteIOFirmwareUpdater"
FOLDER="$APP_DIR/Kelvo Firmware"
LAUNCHER="/usr/bin/$PKG"
DESKTOP="/usr/share/applications/$PKG.desktop"
ICON="/usr/share/icons/hicolor/scalable/apps/$PKG.svg"

# -- install
LOCK=/run/lock/$PKG-test.lock
[ -d /run/lock ] || LOCK=/tmp/$PKG-test.lock
exec 9> "$LOCK"
if ! flock -w 1200 9; then
    fail "no other package test holds $LOCK"
    summary
    exit 1
fi

before=$(dpkg-query -W -f='${Status} ${Version}' "$PKG" 2>/dev/null || true)
if [[ $before == "install ok installed "* ]]; then
    echo "NOTE $PKG ${before##* } was installed already; it is replaced by this build and removed afterwards"
fi
INSTALLED_BY_US=1
# --reinstall: an installed copy of the same version would otherwise be kept.
if ! (cd "$ROOT" && "${APT[@]}" install --reinstall --allow-downgrades "./dist/$DEB_NAME") \
        > "$WORK/install.log" 2>&1; then
    cat "$WORK/install.log"
    fail "apt-get install ./dist/$DEB_NAME"
    summary
    exit 1
fi
pass "apt-get install ./dist/$DEB_NAME"

installed_is_this_build() {
    [ "$(dpkg-query -W -f='${Status} ${Version}' "$PKG")" = "install ok installed $VERSION" ] &&
        dpkg-deb --fsys-tarfile "$DEB" | tar -xO ".$PROGRAM" | cmp -s - "$PROGRAM" &&
        dpkg --verify "$PKG"
}
check "$PKG $VERSION is installed, its files intact, the program the one of this build" \
    installed_is_this_build

depends_on_qt() {
    local depends
    depends=$(dpkg-query -W -f='${Depends}' "$PKG")
    local lib
    for lib in libqt5core5a libqt5gui5 libqt5widgets5; do
        [[ ", $depends" == *", $lib"* ]] || { echo "  Depends: $depends"; return 1; }
    done
}
check "the package depends on Debian's Qt 5 runtime (Core, Gui, Widgets)" depends_on_qt

check "the program is in $APP_DIR, executable" test -x "$PROGRAM"
check "the Kelvo Firmware folder is beside it, with its README.txt" \
    test -d "$FOLDER" -a -s "$FOLDER/README.txt"

launcher_finds_program() {
    [ "$(command -v "$PKG")" = "$LAUNCHER" ] && [ "$(readlink -f "$LAUNCHER")" = "$PROGRAM" ]
}
check "the launcher $PKG on PATH leads to the program" launcher_finds_program

libraries_resolve() {
    ! ldd "$PROGRAM" | grep -q 'not found'
}
check "every library the program needs is there" libraries_resolve

desktop_entry_ok() {
    [ -f "$DESKTOP" ] || return 1
    local exec icon
    exec=$(sed -n 's/^Exec=//p' "$DESKTOP" | tr -d '"')
    icon=$(sed -n 's/^Icon=//p' "$DESKTOP")
    grep -qx 'Type=Application' "$DESKTOP" && [ "$(readlink -f "$exec")" = "$PROGRAM" ] &&
        [ "$icon" = "$PKG" ] || { cat "$DESKTOP"; return 1; }
}
check "the menu entry starts the program and names the icon" desktop_entry_ok
check "the icon is installed as SVG" grep -q '<svg' "$ICON"

# Only the program is a binary: no test, benchmark or simulator came along;
# and nothing lands outside the program's folder and the desktop's places.
package_holds_only_the_program() {
    local path ok=0
    while IFS= read -r path; do
        case $path in
            /. | /opt | /usr | /usr/bin | /usr/share | /usr/share/applications | \
            /usr/share/icons | /usr/share/icons/* | "$APP_DIR" | "$APP_DIR"/* | "$LAUNCHER" | \
            "$DESKTOP" | /usr/share/doc | /usr/share/doc/"$PKG" | /usr/share/doc/"$PKG"/*) ;;
            *) echo "  unexpected: $path"; ok=1 ;;
        esac
        if [ -f "$path" ] && [ ! -L "$path" ] && [ "$path" != "$PROGRAM" ] &&
                [ "$(head -c 4 "$path" | od -An -tx1 | tr -d ' ')" = 7f454c46 ]; then
            echo "  binary besides the program: $path"
            ok=1
        fi
    done < <(dpkg -L "$PKG")
    return $ok
}
check "the package holds no other program and nothing elsewhere" package_holds_only_the_program

# -- start the installed program once, through the launcher, offscreen, with
# settings and runtime files of its own.
mkdir -p "$WORK/home" "$WORK/config" "$WORK/runtime" "$WORK/cwd"
chmod 700 "$WORK/runtime"
tracer=(strace -f -qq -e trace=openat -o "$WORK/trace")
"${tracer[@]}" true 2>/dev/null || tracer=()
(cd "$WORK/cwd" && exec env HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/config" \
    XDG_RUNTIME_DIR="$WORK/runtime" QT_QPA_PLATFORM=offscreen \
    "${tracer[@]}" "$PKG") > "$WORK/run.log" 2>&1 &
TRACER=$!
sleep 2
if kill -0 "$TRACER" 2>/dev/null; then
    pass "the program started through $PKG is still running after 2 s"
else
    wait "$TRACER"
    fail "the program started through $PKG is still running after 2 s (ended with $?)"
fi
if grep -Eiq 'error|fail|cannot|could not|unable|not found|abort|fatal|segmentation' "$WORK/run.log"; then
    sed 's/^/  /' "$WORK/run.log"
    fail "the program reports no error on start-up"
else
    pass "the program reports no error on start-up"
fi
if [ ${#tracer[@]} -eq 0 ]; then
    echo "SKIP the program reads its Kelvo Firmware folder (strace cannot trace here)"
elif grep -Eq "openat\(AT_FDCWD, \"$FOLDER/README.txt\", [^)]*\) = [0-9]+$" "$WORK/trace"; then
    pass "the program reads the README.txt of the Kelvo Firmware folder beside it"
else
    grep -F 'Kelvo Firmware' "$WORK/trace" | sed 's/^/  /'
    fail "the program reads the README.txt of the Kelvo Firmware folder beside it"
fi
for child in $(cat /proc/"$TRACER"/task/*/children 2>/dev/null); do
    kill "$child" 2>/dev/null
done
[ ${#tracer[@]} -gt 0 ] || kill "$TRACER" 2>/dev/null
wait "$TRACER" 2>/dev/null
TRACER=""

# -- remove
mapfile -t files < <(dpkg -L "$PKG" | while IFS= read -r p; do
    [ -d "$p" ] && [ ! -L "$p" ] || echo "$p"
done)
removed_cleanly() {
    purge_package || { cat "$WORK/purge.log"; return 1; }
    dpkg-query -W -f='${Status}' "$PKG" 2>/dev/null | grep -q 'install ok installed' && return 1
    local f
    for f in "${files[@]}"; do
        [ -e "$f" ] || [ -L "$f" ] && { echo "  left behind: $f"; return 1; }
    done
    return 0
}
check "apt-get purge $PKG removes all of its ${#files[@]} files" removed_cleanly
INSTALLED_BY_US=0

summary
[ "$failed" -eq 0 ]
