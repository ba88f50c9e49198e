#!/usr/bin/env bash
# Builds both downloads of this version and what goes beside them, in dist/:
#   <executable name>-<version>-win64.zip   (scripts/build-windows.sh)
#   <executable name>_<version>_<arch>.deb  (scripts/package.sh; the name is
#                     cmake/names.cmake's QRIO_EXE_NAME)
#   SHA256SUMS        both files, in sha256sum's format (sha256sum -c SHA256SUMS)
#   BUILD-INFO.txt    what went into them: the commit, SOURCE_DATE_EPOCH, and
#                     the Debian package versions of the compilers, binutils,
#                     CMake, Qt and the Qt source the Windows Qt was built from;
#                     with the same, anyone can build the same bytes later
#   RELEASE-NOTES.md  this version's section of CHANGELOG.md
# The version is the project's (CMakeLists.txt), as the package states it.
# CHANGELOG.md must have a section for it. A section still marked
# "unreleased" is dated today (UTC) and that change committed before the
# build, so that the files are those of a commit that says when it was
# released; that needs a clean checkout. QRIO_RELEASE_DRAFT=1 builds a trial
# instead, leaving the section and the checkout as they are. Each build's
# output is in dist/release-logs/. Both builds are reproducible: the same
# commit and package versions give the same files, so SHA256SUMS can be
# checked against a build of one's own.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/common.sh"
DIST=$ROOT/dist
LOGS=$DIST/release-logs
mkdir -p "$LOGS"

fail() {
    echo "release.sh: $1" >&2
    exit 1
}

# run NAME SCRIPT: the script's output in its log; its last line (the file
# it made) on stdout.
run() {
    echo "building: $1 (log: $LOGS/$1.log)" >&2
    bash "$ROOT/scripts/$2" > "$LOGS/$1.log" 2>&1 || { tail -n 20 "$LOGS/$1.log" >&2; fail "$2 failed"; }
    tail -n 1 "$LOGS/$1.log"
}

# The user guide and the manual page tell users where to send a log: a
# release names a real contact; a trial may go without.
if ! support_contact_set; then
    [ "${QRIO_RELEASE_DRAFT:-0}" = 1 ] ||
        fail "packaging/support-contact.txt still holds the placeholder: put the support contact users send their logs to there"
    echo "release.sh: note: trial build without a support contact (packaging/support-contact.txt)" >&2
fi

[ -z "$(git -C "$ROOT" status --porcelain --untracked-files=no 2>/dev/null)" ] ||
    echo "release.sh: note: uncommitted changes; these files are not those of the commit" >&2

# This version's section: its heading line, then everything up to the next.
VERSION=$(sed -n 's/^project([^ ]* VERSION \([0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt")
[ -n "$VERSION" ] || fail "CMakeLists.txt states no project(... VERSION x.y ...)"
SECTION=$(awk -v v="$VERSION" '
    /^## / { inside = ($2 == v); next }
    inside { print }
' "$ROOT/CHANGELOG.md")
HEADING=$(grep -m1 "^## $VERSION (" "$ROOT/CHANGELOG.md" || true)
[ -n "$HEADING" ] && [ -n "$(echo "$SECTION" | tr -d '[:space:]')" ] ||
    fail "CHANGELOG.md has no section '## $VERSION (<date>)' with entries"
if [[ $HEADING == *"(unreleased)" ]] && [ "${QRIO_RELEASE_DRAFT:-0}" != 1 ]; then
    [ -z "$(git -C "$ROOT" status --porcelain --untracked-files=no)" ] ||
        fail "CHANGELOG.md marks $VERSION unreleased and the checkout has uncommitted changes: commit them first, the release dates the section in a commit of its own"
    DATE=$(date -u +%F)
    HEADING="## $VERSION ($DATE)"
    sed -i "s/^## $VERSION (unreleased)\$/$HEADING/" "$ROOT/CHANGELOG.md"
    git -C "$ROOT" commit -q -m "CHANGELOG.md: $VERSION released $DATE" -- CHANGELOG.md ||
        fail "committing the dated CHANGELOG.md failed"
    echo "release.sh: dated $VERSION $DATE in CHANGELOG.md, committed as $(git -C "$ROOT" rev-parse --short HEAD)" >&2
fi

# Every build and BUILD-INFO.txt take the time of the commit being released.
source_date_epoch || fail "not a git checkout: a release is made from a commit"
ZIP=$(run zip build-windows.sh)
DEB=$(run deb package.sh)
[ -f "$ZIP" ] && [ -f "$DEB" ] || fail "a build named no file ($ZIP, $DEB)"
load_names || fail "cmake -P cmake/names.cmake gives no product name"
[ "$(dpkg-deb -f "$DEB" Version)" = "$VERSION" ] || fail "the package $(basename "$DEB") is not of version $VERSION"
[[ $(basename "$ZIP") == *"-$VERSION-"* ]] || fail "the zip $(basename "$ZIP") is not of version $VERSION"
{
    echo "# $QRIO_PRODUCT_NAME ${HEADING#\#\# }"
    echo
    echo "$SECTION" | sed -e '/./,$!d'
} > "$DIST/RELEASE-NOTES.md"

# The build inputs: the package that holds each tool that went in, with its
# version, and the record of the Qt for Windows the zip was linked with.
QT_INPUTS=$(sed -n 's/^Qt for Windows: //p' "$LOGS/zip.log" | tail -n 1)/BUILD-INPUTS.txt
[ -f "$QT_INPUTS" ] || fail "the zip's build names no Qt for Windows with its inputs (log: $LOGS/zip.log)"
package_of() { dpkg -S "$(readlink -f "$(command -v "$1")")" | cut -d: -f1; }
{
    echo "# What went into the files of SHA256SUMS. The same commit, built with"
    echo "# scripts/release.sh on Debian $(cat /etc/debian_version) with these package versions, gives the same bytes."
    echo "version $VERSION"
    echo "commit $(git -C "$ROOT" rev-parse HEAD)"
    echo "SOURCE_DATE_EPOCH $SOURCE_DATE_EPOCH ($(date -u -d "@$SOURCE_DATE_EPOCH" +%FT%TZ))"
    echo "# Debian packages: the Linux build"
    for p in g++ "$(package_of g++)" binutils "$(package_of ld)" cmake qtbase5-dev dpkg-dev; do
        echo "$p $(dpkg-query -W -f='${Version}' "$p")"
    done
    echo "# Qt for Windows: built from this Debian source with these mingw-w64 packages and options"
    cat "$QT_INPUTS"
} > "$DIST/BUILD-INFO.txt"
(cd "$DIST" && sha256sum "$(basename "$ZIP")" "$(basename "$DEB")" > SHA256SUMS)
(cd "$DIST" && sha256sum -c --quiet SHA256SUMS) || fail "SHA256SUMS does not match the files"
echo "release $VERSION in $DIST:" >&2
cat "$DIST/SHA256SUMS" >&2
echo "$DIST/SHA256SUMS"
