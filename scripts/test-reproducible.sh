#!/usr/bin/env bash
# Two builds of one commit give the same bytes. Builds the Debian package
# (scripts/package.sh) and the Windows zip (scripts/build-windows.sh) here,
# then once more from a fresh clone of the same commit in another folder, at a
# later time, and compares the files with cmp. On a difference it lists the
# members of the package or zip that differ (scripts/archive-members.py).
# One line per check, then "N passed, N failed"; non-zero on any failure.
#
# The second build runs under another $HOME and shares nothing with the first
# but the static Qt for Windows from the first's cache: a second Qt build
# takes 13 to 26 minutes, too long for every run. Instead the .exe is
# searched for traces of the build machine (scripts/build-paths.py): /root/,
# /home/, /tmp/, $HOME, the user's name, the source, build and Qt cache
# folders; one such path would make another machine's .exe differ.
# QRIO_REPRO_SECOND_QT=1 gives the second build a Qt of its own too, built in
# another folder under that other $HOME and an earlier commit's time: the
# whole claim, byte for byte.
# With uncommitted changes here, both builds are made from clones, so that
# both are the commit's. QRIO_REPRO_WINDOWS=0 leaves the zip out.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/common.sh"
ensure_packages git python3

WORK=$(mktemp -d)
# Kept when a check failed (QRIO_REPRO_KEEP=1: always), so that the two
# builds can be compared.
cleanup() {
    if [ "${QRIO_REPRO_KEEP:-0}" = 1 ] || [ "$CHECKS_FAILED" -gt 0 ]; then
        echo "     the builds are kept in $WORK"
    else
        rm -rf "$WORK"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

COMMIT=$(git -C "$ROOT" rev-parse HEAD) || { check_fail "$ROOT is a git checkout"; checks_summary; exit 1; }

# clone DIR: a checkout of the commit in DIR.
clone() {
    git clone -q --no-checkout "$ROOT" "$1" && git -C "$1" checkout -q --detach "$COMMIT"
}

# build TREE KIND LOG: the file the script of KIND (deb or zip) builds in TREE;
# its path on stdout.
build() {
    local tree=$1 kind=$2 log=$3 script
    case $kind in
        deb) script=package.sh ;;
        zip) script=build-windows.sh ;;
    esac
    # Each tree builds in its own folders and puts its file into its own dist/,
    # whatever the caller set.
    if ! env -u QRIO_DEB_BUILD -u QRIO_WIN_APP_BUILD -u QRIO_DIST "${BUILD_ENV[@]}" \
            bash "$tree/scripts/$script" > "$log" 2>&1; then
        tail -n 20 "$log" >&2
        return 1
    fi
    tail -n 1 "$log"
}

FIRST=$ROOT
if [ -n "$(git -C "$ROOT" status --porcelain --untracked-files=no)" ]; then
    echo "NOTE uncommitted changes: the first build is made from a clone of $COMMIT too"
    FIRST="$WORK/first"
    clone "$FIRST" || { check_fail "cloning $COMMIT"; checks_summary; exit 1; }
fi
KINDS=(deb)
[ "${QRIO_REPRO_WINDOWS:-1}" = 0 ] || KINDS+=(zip)

# release_files_described: SHA256SUMS matches the files, and BUILD-INFO.txt
# names the commit, its time and the versions of what went in: the packages
# as installed here, the Qt source as the Qt cache entry records it.
release_files_described() {
    local info=$FIRST/dist/BUILD-INFO.txt ok=0 line p
    (cd "$FIRST/dist" && sha256sum -c --quiet SHA256SUMS) || ok=1
    local epoch=${SOURCE_DATE_EPOCH:-$(git -C "$FIRST" log -1 --format=%ct)}
    for line in "version $(dpkg-deb -f "${first[deb]}" Version)" "commit $COMMIT" \
            "$(grep "^$QT_WIN_SOURCE_PACKAGE " "$QT_PREFIX/BUILD-INPUTS.txt")"; do
        grep -qxF "$line" "$info" || { echo "  BUILD-INFO.txt lacks: $line"; ok=1; }
    done
    grep -q "^SOURCE_DATE_EPOCH $epoch " "$info" || { echo "  BUILD-INFO.txt lacks: SOURCE_DATE_EPOCH $epoch"; ok=1; }
    for p in g++ binutils cmake qtbase5-dev "${QT_WIN_TOOLCHAIN[@]}"; do
        line="$p $(dpkg-query -W -f='${Version}' "$p")"
        grep -qxF "$line" "$info" || { echo "  BUILD-INFO.txt lacks: $line"; ok=1; }
    done
    return $ok
}

BUILD_ENV=()
declare -A first
if [ "${QRIO_REPRO_WINDOWS:-1}" = 0 ]; then
    start=$SECONDS
    first[deb]=$(build "$FIRST" deb "$WORK/first-deb.log") && echo "     first deb: ${first[deb]} ($((SECONDS - start)) s)" ||
        check_fail "the first deb builds"
else
    # The first build is a trial release: both files and what goes beside them.
    start=$SECONDS
    if env -u QRIO_DEB_BUILD -u QRIO_WIN_APP_BUILD -u QRIO_DIST QRIO_RELEASE_DRAFT=1 \
            bash "$FIRST/scripts/release.sh" > "$WORK/release.log" 2>&1; then
        for kind in "${KINDS[@]}"; do
            first[$kind]=$(tail -n 1 "$FIRST/dist/release-logs/$kind.log")
            echo "     first $kind: ${first[$kind]}"
        done
        echo "     (both by scripts/release.sh, as a trial, $((SECONDS - start)) s)"
        QT_PREFIX=$(sed -n 's/^Qt for Windows: //p' "$FIRST/dist/release-logs/zip.log" | tail -n 1)
        source "$ROOT/scripts/winqt.sh"
        check "scripts/release.sh writes SHA256SUMS and BUILD-INFO.txt (commit, SOURCE_DATE_EPOCH, package versions)" \
            release_files_described
    else
        tail -n 20 "$WORK/release.log"
        check_fail "scripts/release.sh (as a trial) builds the package and the zip"
    fi
fi

# The .exe of the first zip holds no path, folder or name of this machine.
if [ -n "${first[zip]:-}" ]; then
    QT_CACHE=$(dirname "${QT_PREFIX:-/}")
    # A user name that is also a common word would be found in any program.
    NAME=$(id -un)
    case $NAME in root | user | admin | build | builder | runner | ci | test | debian | ubuntu) NAME="" ;; esac
    [ ${#NAME} -ge 3 ] || NAME=""
    what="the .exe holds no path of the machine that built it (home, user, sources, build, Qt cache, /tmp/)"
    if python3 "$ROOT/scripts/build-paths.py" "${first[zip]}" "$HOME" "$ROOT" "$FIRST" "$WORK" \
            "$QT_CACHE" ${TMPDIR:+"$TMPDIR"} $NAME > "$WORK/paths.log"; then
        check_pass "$what"
    else
        check_fail "$what" "$(wc -l < "$WORK/paths.log") traces"
        head -n 20 "$WORK/paths.log" | sed 's/^/  /'
    fi
fi

# The second build: another folder, another $HOME, a later time; the same Qt
# unless QRIO_REPRO_SECOND_QT=1.
SECOND="$WORK/second"
clone "$SECOND" || { check_fail "cloning $COMMIT"; checks_summary; exit 1; }
mkdir -p "$WORK/home" "$WORK/tmp"
BUILD_ENV=(HOME="$WORK/home" TMPDIR="$WORK/tmp")
if [ "${QRIO_REPRO_SECOND_QT:-0}" != 1 ] && [ -n "${QT_CACHE:-}" ]; then
    BUILD_ENV+=(QRIO_QT_CACHE="$QT_CACHE")
elif [ -n "${first[zip]:-}" ]; then
    # A developer's Qt cache entry was built by whichever commit needed it
    # first, weeks before the one being released: the second Qt is built
    # ahead under another commit's time, as that entry was.
    start=$SECONDS
    if env "${BUILD_ENV[@]}" SOURCE_DATE_EPOCH=$(($(git -C "$ROOT" log -1 --format=%ct "$COMMIT") - 30 * 86400)) \
            bash "$SECOND/scripts/winqt.sh" > "$WORK/second-qt.log" 2>&1; then
        echo "     second Qt for Windows: built under a commit time 30 days earlier ($((SECONDS - start)) s)"
    else
        tail -n 20 "$WORK/second-qt.log"
        check_fail "the second Qt for Windows builds (log: $WORK/second-qt.log)"
    fi
fi
for kind in "${KINDS[@]}"; do
    [ -n "${first[$kind]:-}" ] || continue
    start=$SECONDS
    second=$(build "$SECOND" "$kind" "$WORK/second-$kind.log") ||
        { check_fail "the second $kind builds (in $SECOND)"; continue; }
    echo "     second $kind: $second ($((SECONDS - start)) s)"
    name=$(basename "${first[$kind]}")
    if [ "$(basename "$second")" != "$name" ]; then
        check_fail "both builds name the $kind $name (second: $(basename "$second"))"
    elif cmp -s "${first[$kind]}" "$second"; then
        check_pass "two builds of $COMMIT in two folders under two homes give the same bytes: $name"
    else
        check_fail "two builds of $COMMIT in two folders under two homes give the same bytes: $name"
        echo "  members that differ (first / second):"
        python3 "$ROOT/scripts/archive-members.py" "${first[$kind]}" "$second" | sed 's/^/  /'
    fi
done

checks_summary
