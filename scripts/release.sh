#!/usr/bin/env bash
# Builds both downloads of this version and what goes beside them, in dist/:
#   QuorvexRemoteIOFirmwareUpdater-<version>-win64.zip  (scripts/build-windows.sh)
#   QuorvexRemoteIOFirmwareUpdater_<version>_<arch>.deb (scripts/package.sh)
#   SHA256SUMS        both files, in sha256sum's format (sha256sum -c SHA256SUMS)
#   RELEASE-NOTES.md  this version's section of CHANGELOG.md
# The version is the project's (CMakeLists.txt), as the package states it. A
# section still marked "unreleased" stops the release (date it first);
# QRIO_RELEASE_DRAFT=1 lets it through for a trial. Each build's output is in
# dist/release-logs/. Both builds are reproducible: the same commit gives the
# same files, so SHA256SUMS can be checked against a build of one's own.
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

ZIP=$(run zip build-windows.sh)
DEB=$(run deb package.sh)
[ -f "$ZIP" ] && [ -f "$DEB" ] || fail "a build named no file ($ZIP, $DEB)"
load_names || fail "cmake -P cmake/names.cmake gives no product name"
VERSION=$(dpkg-deb -f "$DEB" Version)
[[ $(basename "$ZIP") == *"-$VERSION-"* ]] || fail "the zip $(basename "$ZIP") is not of version $VERSION"

# This version's section: its heading line, then everything up to the next.
SECTION=$(awk -v v="$VERSION" '
    /^## / { inside = ($2 == v); next }
    inside { print }
' "$ROOT/CHANGELOG.md")
HEADING=$(grep -m1 "^## $VERSION (" "$ROOT/CHANGELOG.md" || true)
[ -n "$HEADING" ] && [ -n "$(echo "$SECTION" | tr -d '[:space:]')" ] ||
    fail "CHANGELOG.md has no section '## $VERSION (<date>)' with entries"
if [[ $HEADING == *"(unreleased)" ]] && [ "${QRIO_RELEASE_DRAFT:-0}" != 1 ]; then
    fail "CHANGELOG.md marks $VERSION unreleased: give its section the release date"
fi
{
    echo "# $QRIO_PRODUCT_NAME ${HEADING#\#\# }"
    echo
    echo "$SECTION" | sed -e '/./,$!d'
} > "$DIST/RELEASE-NOTES.md"

(cd "$DIST" && sha256sum "$(basename "$ZIP")" "$(basename "$DEB")" > SHA256SUMS)
(cd "$DIST" && sha256sum -c --quiet SHA256SUMS) || fail "SHA256SUMS does not match the files"
echo "release $VERSION in $DIST:" >&2
cat "$DIST/SHA256SUMS" >&2
echo "$DIST/SHA256SUMS"
