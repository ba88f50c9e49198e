#!/usr/bin/env bash
# Two builds of one commit give the same bytes. Builds the Debian package
# (scripts/package.sh) and the Windows zip (scripts/build-windows.sh) here,
# then once more from a fresh clone of the same commit in another folder, at a
# later time, and compares the files with cmp. On a difference it lists the
# members of the package or zip that differ (scripts/archive-members.py).
# One line per check, then "N passed, N failed"; non-zero on any failure.
#
# The second build shares nothing with the first but the caches outside the
# sources (the static Qt for Windows). With uncommitted changes here, both
# builds are made from clones, so that both are the commit's.
# QRIO_REPRO_WINDOWS=0 leaves the zip out.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/common.sh"
ensure_packages git python3

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
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
    if ! env -u QRIO_DEB_BUILD -u QRIO_WIN_APP_BUILD -u QRIO_DIST bash "$tree/scripts/$script" > "$log" 2>&1; then
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

declare -A first
for kind in "${KINDS[@]}"; do
    start=$SECONDS
    first[$kind]=$(build "$FIRST" "$kind" "$WORK/first-$kind.log") ||
        { check_fail "the first $kind builds"; continue; }
    echo "     first $kind: ${first[$kind]} ($((SECONDS - start)) s)"
done

# The second build: another folder, a later time.
SECOND="$WORK/second"
clone "$SECOND" || { check_fail "cloning $COMMIT"; checks_summary; exit 1; }
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
        check_pass "two builds of $COMMIT in two folders give the same bytes: $name"
    else
        check_fail "two builds of $COMMIT in two folders give the same bytes: $name"
        echo "  members that differ (first / second):"
        python3 "$ROOT/scripts/archive-members.py" "${first[$kind]}" "$second" | sed 's/^/  /'
    fi
done

checks_summary
