#!/bin/sh
# debian-changelog.sh CHANGELOG.md PACKAGE VERSION MAINTAINER
# Writes to stdout the Debian changelog of the package at VERSION: the
# sections of CHANGELOG.md (`## <version> (<date>)`, then `- ` entries with
# indented continuation lines) for VERSION and every older version, newest
# first. A dated section is stamped at noon UTC of its date; an `unreleased`
# one at SOURCE_DATE_EPOCH (the commit's time in scripts/package.sh), so the
# text follows the sources only. Fails when VERSION has no section.
set -eu
[ $# -eq 4 ] || { echo "usage: $0 CHANGELOG.md PACKAGE VERSION MAINTAINER" >&2; exit 2; }
changelog=$1 package=$2 version=$3 maintainer=$4

stamp() {
    if [ "$1" = unreleased ]; then
        LC_ALL=C date -u -R -d "@${SOURCE_DATE_EPOCH:-$(date +%s)}"
    else
        LC_ALL=C date -u -R -d "$1 12:00:00 UTC"
    fi
}

grep -q "^## $(printf '%s' "$version" | sed 's/\./\\./g') (" "$changelog" || {
    echo "$0: $changelog has no section '## $version (...)'" >&2
    exit 1
}

# One line per section: version and date, in the file's order.
grep '^## ' "$changelog" | sed -n 's/^## \([^ ]*\) (\([^)]*\))$/\1 \2/p' |
while read -r v date; do
    # Only this version and older ones: a later section is not released yet.
    [ "$(printf '%s\n%s\n' "$v" "$version" | sort -V | tail -n 1)" = "$version" ] || continue
    printf '%s (%s) unstable; urgency=medium\n\n' "$package" "$v"
    awk -v v="$v" '
        /^## / { inside = ($2 == v); next }
        !inside { next }
        /^- / { sub(/^- /, "  * "); print; next }
        /^  [^ ]/ { sub(/^  /, "    "); print; next }
    ' "$changelog"
    printf '\n -- %s  %s\n\n' "$maintainer" "$(stamp "$date")"
done | sed '$d'
