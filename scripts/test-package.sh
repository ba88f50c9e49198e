#!/usr/bin/env bash
# The Debian package end to end: builds it with scripts/package.sh, checks it
# against Debian's rules (lintian, desktop-file-validate, appstreamcli),
# installs it into this machine with apt-get as a user would, checks where
# everything went, lets a member of group dialout who is not root copy a HEX
# file into the firmware folder and start the installed program through its
# launcher (offscreen), reads back what its window lists, upgrades, removes and
# purges the package, and removes it whatever the outcome. One line per
# check, then "N passed, N failed"; the exit status is non-zero on any failure.
#
# Test runs from several checkouts of this project may share the machine, so
# the install-check-remove part holds a machine-wide lock. The test never
# removes, replaces or changes a copy of the package it did not install
# itself: purging one deletes its firmware folder with the user's files. When
# dpkg knows the package (installed, or removed with its files kept) or its
# firmware folder exists, the install, upgrade, removal and purge checks are
# skipped with a line that says why and how to run them; the checks of the
# package file still run.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/common.sh"

# Debian's checkers; the window probe is built against Debian's Qt.
ensure_packages lintian desktop-file-utils appstream pkg-config qtbase5-dev g++

WORK=$(mktemp -d)
PKG=""
INSTALLED_BY_US=0
PROGRAM_PID=""
TEST_USER=""

# purge_package: removes the package if dpkg still has it in any state.
purge_package() {
    local status
    status=$(dpkg-query -W -f='${Status}' "$PKG" 2>/dev/null) || return 0
    [[ $status == *not-installed ]] && return 0
    "${APT_GET[@]}" purge "$PKG" > "$WORK/purge.log" 2>&1
}

cleanup() {
    local status=$?
    if [ -n "$PROGRAM_PID" ]; then
        kill "$PROGRAM_PID" 2>/dev/null
        wait "$PROGRAM_PID" 2>/dev/null
    fi
    if [ "$INSTALLED_BY_US" = 1 ] && ! purge_package; then
        cat "$WORK/purge.log"
        echo "FAIL the package could not be removed: apt-get purge $PKG"
        status=1
    fi
    [ -z "$TEST_USER" ] || "${AS_ROOT[@]}" userdel "$TEST_USER" 2>/dev/null || true
    rm -rf "$WORK"
    exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# -- build
if ! bash "$ROOT/scripts/package.sh" > "$WORK/package.log" 2>&1; then
    tail -n 40 "$WORK/package.log"
    check_fail "scripts/package.sh builds the package"
    checks_summary
    exit 1
fi
DEB=$(tail -n 1 "$WORK/package.log")
DEB_NAME=$(basename "$DEB")
check "scripts/package.sh writes dist/$DEB_NAME" test -f "$ROOT/dist/$DEB_NAME"
[ -f "$ROOT/dist/$DEB_NAME" ] || { checks_summary; exit 1; }

load_names || { check_fail "cmake -P cmake/names.cmake gives the firmware folder's name"; checks_summary; exit 1; }
PKG=$(dpkg-deb -f "$DEB" Package)
VERSION=$(dpkg-deb -f "$DEB" Version)
APP_DIR="/usr/lib/$PKG"
PROGRAM="$APP_DIR/$QRIO_EXE_NAME"
FOLDER_LINK="$APP_DIR/$QRIO_FIRMWARE_FOLDER"
STATE_DIR="/var/lib/$PKG"
FOLDER="$STATE_DIR/$QRIO_FIRMWARE_FOLDER"
LAUNCHER="/usr/bin/$PKG"
DESKTOP="/usr/share/applications/$PKG.desktop"
ICON="/usr/share/icons/hicolor/scalable/apps/$PKG.svg"
METAINFO_DIR="/usr/share/metainfo"
DOC_DIR="/usr/share/doc/$PKG"
MANPAGE="/usr/share/man/man1/$PKG.1.gz"
NOTES="$ROOT/packaging/lintian-notes.md"

# -- Debian's rules, on the package file
# lintian's status is non-zero on an error tag (or when it cannot run).
lintian --tag-display-limit 0 "$DEB" > "$WORK/lintian.log" 2>&1
LINTIAN_STATUS=$?
no_lintian_error() {
    [ "$LINTIAN_STATUS" -eq 0 ] && ! grep -q '^E: ' "$WORK/lintian.log" ||
        { sed 's/^/  /' "$WORK/lintian.log"; return 1; }
}
check "lintian reports no error" no_lintian_error
no_error_override() {
    ! grep -q '^O: ' "$WORK/lintian.log" &&
        ! dpkg-deb -c "$DEB" | grep -q 'usr/share/lintian/overrides'
}
check "the package overrides no lintian tag" no_error_override
warnings_explained() {
    local tag ok=0
    for tag in $(sed -n 's/^W: [^:]*: \([^ ]*\).*/\1/p' "$WORK/lintian.log" | sort -u); do
        grep -q "\`$tag\`" "$NOTES" || { echo "  not in packaging/lintian-notes.md: $tag"; ok=1; }
    done
    return $ok
}
check "every lintian warning is explained in packaging/lintian-notes.md" warnings_explained

# -- install
LOCK=/run/lock/$PKG-test.lock
[ -d /run/lock ] || LOCK=/tmp/$PKG-test.lock
exec 9> "$LOCK"
if ! flock -w 1200 9; then
    check_fail "no other package test holds $LOCK"
    checks_summary
    exit 1
fi

before=$(dpkg-query -W -f='${Status} ${Version}' "$PKG" 2>/dev/null || true)
if [ -n "$before" ] && [[ $before != *" not-installed "* ]] || [ -e "$STATE_DIR" ]; then
    echo "SKIP installing, upgrading, removing and purging $PKG: this machine has a copy this test did not" \
        "install (dpkg: ${before:-none}; $STATE_DIR $([ -e "$STATE_DIR" ] && echo exists || echo absent))," \
        "left untouched, with the firmware files in $FOLDER. Run these checks in a container or chroot" \
        "(e.g. a Debian 12 container as root), or on this machine after 'apt-get purge $PKG'" \
        "(which deletes that folder: save its files first)."
    checks_summary
    exit
fi
INSTALLED_BY_US=1
if ! (cd "$ROOT" && "${APT_GET[@]}" install "./dist/$DEB_NAME") \
        > "$WORK/install.log" 2>&1; then
    cat "$WORK/install.log"
    check_fail "apt-get install ./dist/$DEB_NAME"
    checks_summary
    exit 1
fi
check_pass "apt-get install ./dist/$DEB_NAME"

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
folder_is_linked() {
    [ -L "$FOLDER_LINK" ] && [ "$(readlink "$FOLDER_LINK")" = "$FOLDER" ] && [ -d "$FOLDER_LINK" ]
}
check "the $QRIO_FIRMWARE_FOLDER entry beside the program is a link to $FOLDER" folder_is_linked
folder_is_dialouts() {
    local got
    got=$(stat -c '%U:%G %a' "$FOLDER")
    [ "$got" = "root:dialout 2775" ] || { echo "  $FOLDER: $got"; return 1; }
}
check "the firmware folder is root:dialout, mode 2775 (group-writable, set-group-ID)" folder_is_dialouts
check "the firmware folder holds its README.txt" test -s "$FOLDER/README.txt"

launcher_finds_program() {
    [ "$(command -v "$PKG")" = "$LAUNCHER" ] && [ "$(readlink -f "$LAUNCHER")" = "$PROGRAM" ]
}
check "the launcher $PKG on PATH leads to the program" launcher_finds_program

libraries_resolve() {
    [ -x "$PROGRAM" ] && ! ldd "$PROGRAM" | grep -q 'not found'
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
check "the menu entry passes desktop-file-validate" desktop-file-validate "$DESKTOP"
check "the icon is installed as SVG" grep -q '<svg' "$ICON"
metainfo_valid() {
    local file
    file=$(dpkg -L "$PKG" | grep "^$METAINFO_DIR/.*\.metainfo\.xml$")
    [ -f "$file" ] || return 1
    grep -q "<launchable type=\"desktop-id\">$PKG.desktop</launchable>" "$file" &&
        grep -q "<release version=\"$VERSION\"" "$file" &&
        appstreamcli validate --no-net "$file" > "$WORK/appstream.log" 2>&1 ||
        { sed 's/^/  /' "$WORK/appstream.log"; return 1; }
}
check "the AppStream metadata names the menu entry and this version, and passes appstreamcli validate" \
    metainfo_valid
documents_ok() {
    [ -s "$DOC_DIR/copyright" ] && gzip -t "$DOC_DIR/changelog.gz" && gzip -t "$MANPAGE" &&
        zcat "$DOC_DIR/changelog.gz" | head -n 1 | grep -q "^$PKG ($VERSION) " &&
        zcat "$MANPAGE" | grep -q '^\.SH FILES'
}
check "copyright, changelog (this version first) and manual page are installed" documents_ok

# Only the program is a binary: no test, benchmark or simulator came along;
# and nothing lands outside the program's folder and the desktop's places.
package_holds_only_the_program() {
    local path ok=0
    while IFS= read -r path; do
        case $path in
            /. | /usr | /usr/bin | /usr/lib | /usr/share | /usr/share/applications | \
            /usr/share/icons | /usr/share/icons/* | "$APP_DIR" | "$APP_DIR"/* | "$LAUNCHER" | \
            "$DESKTOP" | /usr/share/doc | "$DOC_DIR" | "$DOC_DIR"/* | /usr/share/man | \
            /usr/share/man/man1 | "$MANPAGE" | "$METAINFO_DIR" | "$METAINFO_DIR"/*.metainfo.xml | \
            /usr/share/"$PKG" | /usr/share/"$PKG"/*) ;;
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

# -- a technician who is in group dialout, not root, adds firmware without
# sudo. Their home, the file as an editor saved it (CRLF lines) and the window
# probe live in a folder of their own.
TEST_USER=qrio-pkgtest-$$
USER_HOME="$WORK/user"
mkdir -p "$USER_HOME"
chmod 755 "$WORK"
"${AS_ROOT[@]}" useradd --no-create-home --home-dir "$USER_HOME" --shell /bin/sh \
    --groups dialout "$TEST_USER" || { check_fail "useradd makes the test user $TEST_USER"; TEST_USER=""; }
# The user's session: their ids and groups, a clean environment of their own.
AS_USER=("${AS_ROOT[@]}" setpriv --reuid="$TEST_USER" --regid="$(id -g "$TEST_USER" 2>/dev/null)" --init-groups
    env -i PATH=/usr/bin:/bin HOME="$USER_HOME" XDG_CONFIG_HOME="$USER_HOME/.config"
    XDG_DATA_HOME="$USER_HOME/.local/share" XDG_RUNTIME_DIR="$USER_HOME/runtime")
as_user() { "${AS_USER[@]}" "$@"; }
if [ -n "$TEST_USER" ]; then
    "${AS_ROOT[@]}" chown "$TEST_USER:" "$USER_HOME"
    HEX_NAME=remote_io_field_v2.0
    as_user sh -c 'mkdir -p -m 700 "$HOME/runtime" &&
        printf ":020000040000FA\r\n:04000000DEADBEEFC4\r\n:00000001FF\r\n" > "$HOME/$1.hex"' \
        sh "$HEX_NAME"
    user_is_plain_dialout_member() {
        local ids
        ids=$(as_user id -u) && [ "$ids" != 0 ] && as_user id -Gn | grep -qw dialout
    }
    check "the test user $TEST_USER is not root and is in group dialout" user_is_plain_dialout_member
    check "the dialout member copies $HEX_NAME.hex into $FOLDER without sudo" \
        as_user cp "$USER_HOME/$HEX_NAME.hex" "$FOLDER/"
    copied_file_in_group() {
        [ "$(stat -c %G "$FOLDER/$HEX_NAME.hex" 2>/dev/null)" = dialout ]
    }
    check "the copied file belongs to group dialout (set-group-ID folder)" copied_file_in_group

    # The window's own lists, read by a probe loaded into the program.
    PROBE="$USER_HOME/windowprobe.so"
    if ! g++ -std=c++17 -shared -fPIC -O1 -Wall -Wextra -Werror -o "$PROBE" "$ROOT/tests/package/windowprobe.cpp" \
            $(pkg-config --cflags --libs Qt5Widgets) > "$WORK/probe.log" 2>&1; then
        sed 's/^/  /' "$WORK/probe.log"
        check_fail "the window probe builds"
    fi
    chmod 644 "$PROBE"

    # -- start the installed program through the launcher, offscreen, as the
    # dialout member.
    # exec: the process id is the program's; it does not hold the lock.
    (cd "$USER_HOME" && exec "${AS_USER[@]}" QT_QPA_PLATFORM=offscreen LD_PRELOAD="$PROBE" \
        QRIO_PROBE_OUT="$USER_HOME/window.txt" "$PKG" 9>&-) > "$WORK/run.log" 2>&1 &
    PROGRAM_PID=$!
    for _ in $(seq 1 200); do
        [ -e "$USER_HOME/window.txt" ] || ! kill -0 "$PROGRAM_PID" 2>/dev/null && break
        sleep 0.1
    done
    sleep 2
    if kill -0 "$PROGRAM_PID" 2>/dev/null; then
        check_pass "the program started through $PKG is still running after 2 s"
    else
        wait "$PROGRAM_PID"
        check_fail "the program started through $PKG is still running after 2 s (ended with $?)"
    fi
    if grep -Eiq 'error|fail|cannot|could not|unable|not found|abort|fatal|segmentation' "$WORK/run.log"; then
        sed 's/^/  /' "$WORK/run.log"
        check_fail "the program reports no error on start-up"
    else
        check_pass "the program reports no error on start-up"
    fi
    lists_the_file() {
        grep -qx "file: $HEX_NAME" "$USER_HOME/window.txt" 2>/dev/null ||
            { sed 's/^/  /' "$USER_HOME/window.txt" 2>/dev/null; return 1; }
    }
    check "the program lists $HEX_NAME from the firmware folder beside it" lists_the_file
    shows_readme() {
        [ "$(sed -n '/^text:$/,$p' "$USER_HOME/window.txt" | tail -n +2)" = "$(cat "$FOLDER/README.txt")" ]
    }
    check "the program shows the README.txt of that folder" shows_readme
    kill "$PROGRAM_PID" 2>/dev/null
    wait "$PROGRAM_PID" 2>/dev/null
    PROGRAM_PID=""

    # -- upgrade (the same package again takes the upgrade path) and removal
    # keep the users' files and their notes; purge takes them away.
    NOTES_TEXT="remote_io_field_v2.0: for the 16-channel modules"
    as_user sh -c 'printf "%s\n" "$1" > "$2"' sh "$NOTES_TEXT" "$FOLDER/README.txt" ||
        check_fail "the dialout member writes their notes into README.txt"
    users_files_kept() {
        [ -f "$FOLDER/$HEX_NAME.hex" ] && [ "$(cat "$FOLDER/README.txt")" = "$NOTES_TEXT" ]
    }
    if (cd "$ROOT" && "${APT_GET[@]}" install --reinstall "./dist/$DEB_NAME") > "$WORK/upgrade.log" 2>&1; then
        check "an upgrade keeps $HEX_NAME.hex and the users' README.txt" users_files_kept
        check "after an upgrade the folder is still root:dialout 2775" folder_is_dialouts
    else
        cat "$WORK/upgrade.log"
        check_fail "apt-get install --reinstall ./dist/$DEB_NAME"
    fi
fi

# -- remove, then purge
mapfile -t files < <(dpkg -L "$PKG" | while IFS= read -r p; do
    [ -d "$p" ] && [ ! -L "$p" ] || echo "$p"
done)
removed_keeps_firmware() {
    "${APT_GET[@]}" remove "$PKG" > "$WORK/remove.log" 2>&1 || { cat "$WORK/remove.log"; return 1; }
    [ ! -e "$PROGRAM" ] && [ ! -L "$FOLDER_LINK" ] || { echo "  the program or its link is left"; return 1; }
    [ -z "$TEST_USER" ] || users_files_kept
}
check "apt-get remove $PKG removes the program and keeps the firmware folder's files" \
    removed_keeps_firmware
removed_cleanly() {
    purge_package || { cat "$WORK/purge.log"; return 1; }
    dpkg-query -W -f='${Status}' "$PKG" 2>/dev/null | grep -q 'install ok installed' && return 1
    local f
    for f in "${files[@]}"; do
        [ -e "$f" ] || [ -L "$f" ] && { echo "  left behind: $f"; return 1; }
    done
    [ ! -e "$STATE_DIR" ] || { echo "  left behind: $STATE_DIR"; return 1; }
}
check "apt-get purge $PKG removes all of its ${#files[@]} files and $STATE_DIR" removed_cleanly
INSTALLED_BY_US=0

checks_summary
