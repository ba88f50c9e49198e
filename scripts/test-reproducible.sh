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

passed=0
failed=0
pass() { echo "PASS $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1"; failed=$((failed + 1)); }
summary() { echo "$passed passed, $failed failed"; }

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
trap 'exit 130' INT TERM HUP

COMMIT=$(git -C "$ROOT" rev-parse HEAD) || { fail "$ROOT is a git checkout"; summary; exit 1; }

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
    # Each tree builds in its own folders, whatever the caller set.
    if ! env -u QRIO_DEB_BUILD -u QRIO_WIN_APP_BUILD bash "$tree/scripts/$script" > "$log" 2>&1; then
        tail -n 20 "$log" >&2
        return 1
    fi
    tail -n 1 "$log"
}

FIRST=$ROOT
if [ -n "$(git -C "$ROOT" status --porcelain --untracked-files=no)" ]; then
    echo "NOTE uncommitted changes: the first build is made from a clone of $COMMIT too"
    FIRST="$WORK/first"
    clone "$FIRST" || { fail "cloning $COMMIT"; summary; exit 1; }
fi
KINDS=(deb)
[ "${QRIO_REPRO_WINDOWS:-1}" = 0 ] || KINDS+=(zip)

declare -A first
for kind in "${KINDS[@]}"; do
    start=$SECONDS
    first[$kind]=$(build "$FIRST" "$kind" "$WORK/first-$kind.log") ||
        { fail "the first $kind builds"; continue; }
    echo "     first $kind: ${first[$kind]} ($((SECONDS - start)) s)"
done

# The second build: another folder, a later time.
SECOND="$WORK/second"
clone "$SECOND" || { fail "cloning $COMMIT"; summary; exit 1; }
for kind in "${KINDS[@]}"; do
    [ -n "${first[$kind]:-}" ] || continue
    start=$SECONDS
    second=$(build "$SECOND" "$kind" "$WORK/second-$kind.log") ||
        { fail "the second $kind builds (in $SECOND)"; continue; }
    echo "     second $kind: $second ($((SECONDS - start)) s)"
    name=$(basename "${first[$kind]}")
    if [ "$(basename "$second")" != "$name" ]; then
        fail "both builds name the $kind $name (second: $(basename "$second"))"
    elif cmp -s "${first[$kind]}" "$second"; then
        pass "two builds of $COMMIT in two folders give the same bytes: $name"
    else
        fail "two builds of $COMMIT in two folders give the same bytes: $name"
        echo "  members that differ (first / second):"
        python3 "$ROOT/scripts/archive-members.py" "${first[$kind]}" "$second" | sed 's/^/  /'
    fi
done

summary
[ "$failed" -eq 0 ]
