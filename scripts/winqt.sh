# Sourced by the Windows scripts: a static Qt 5.15 for x86_64-w64-mingw32,
# built once from Debian's qtbase source package into a cache outside the work
# tree and reused on every later run.
#
# Needs ROOT and common.sh. ensure_windows_qt sets:
#   QT_WIN_PREFIX  the installed Qt (its lib/cmake holds the CMake packages)
#   QT_WIN_INPUTS  the entry's record of what went into it (BUILD-INPUTS.txt:
#                  the Qt source version, the mingw-w64 package versions, the
#                  configure options)
#   MINGW_BIN      a folder whose x86_64-w64-mingw32-{gcc,g++,c++,cpp} are the
#                  posix-thread compilers (Qt's mkspec calls the plain names)
# The cache is $QRIO_QT_CACHE, default ~/.cache/quorvex-qt-mingw.
#
# The same inputs give the same Qt libraries on any machine, wherever the
# cache and the build folder lie and whoever builds: Qt is configured for a
# fixed prefix (QT_WIN_FIXED_PREFIX, which the static QtCore records) and
# installed into the cache with -extprefix (Qt's CMake packages find their
# files relative to themselves), and the compiler writes the temporary build
# folder into file names (__FILE__ in the asserts of libpng, freetype and
# harfbuzz) as a fixed name. The dates rcc gives Qt's own resources are the
# Qt source's, whichever commit's build made the entry.
#
# An entry is keyed by its record: the exact Debian version of the Qt source
# as apt offers it now, the installed mingw-w64 package versions and the
# options; when any of them changes, a new entry is built and replaces the
# old. When apt knows no Qt source version (no network for the deb-src
# entry), the newest complete entry is used with a warning. An entry is used
# only when its stamp file exists; the stamp is written last, so a build that
# stopped half-way is found and rebuilt, never used.

QT_WIN_PACKAGES=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
                 make perl python3 xz-utils dpkg-dev)
QT_WIN_SOURCE_PACKAGE=qtbase-opensource-src
# The packages whose versions go into the key: the compilers, their binutils,
# and the mingw-w64 headers and C runtime Qt is compiled against and links.
QT_WIN_TOOLCHAIN=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
                  mingw-w64-x86-64-dev mingw-w64-common)

# Where the Qt inside the .exe says it lives. Nothing is ever installed there
# (the program links Qt statically and its plugins are built in); it only has
# to be the same on every machine.
QT_WIN_FIXED_PREFIX=/opt/quorvex-qt-mingw
# The name the build folder takes in the objects.
QT_WIN_FIXED_BUILD=/quorvex-qt-build

# Only what a Widgets program needs. The +dfsg tarball has no wintab and no
# sqlite, hence tabletevent and sql off.
QT_WIN_CONFIGURE_OPTIONS=(
    -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32-
    -static -release -opensource -confirm-license -nomake examples -nomake tests
    -qt-zlib -qt-libpng -no-libjpeg -qt-pcre -qt-freetype -qt-harfbuzz
    -no-opengl -no-dbus -no-feature-sql -no-feature-network -no-feature-xml
    -no-feature-testlib -no-feature-concurrent -no-feature-printer -no-direct2d
    -no-feature-tabletevent
)

winqt_fail() {
    echo "build-windows: $1" >&2
    exit 1
}

# The posix-thread mingw compilers under their plain names, first on PATH for
# Qt's build only; the system alternatives stay as they are.
winqt_mingw_bin() {
    MINGW_BIN=$1/mingw-posix-bin
    mkdir -p "$MINGW_BIN"
    local tool
    for tool in gcc g++ c++ cpp; do
        ln -sfn "/usr/bin/x86_64-w64-mingw32-$tool-posix" "$MINGW_BIN/x86_64-w64-mingw32-$tool"
    done
}

# A deb-src entry for the main archive, beside the existing one, if none exists.
winqt_ensure_deb_src() {
    if grep -Rqs -E '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        return 0
    fi
    local src=/etc/apt/sources.list.d/debian.sources
    [ -r "$src" ] || return 1
    local uri suite signed
    uri=$(sed -n 's/^URIs: *//p' "$src" | head -n1)
    suite=$(sed -n 's/^Suites: *\([^ ]*\).*/\1/p' "$src" | head -n1)
    signed=$(sed -n 's/^Signed-By: *//p' "$src" | head -n1)
    [ -n "$uri" ] && [ -n "$suite" ] || return 1
    printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: %s\n' \
        "$uri" "$suite" "$signed" | "${AS_ROOT[@]}" tee /etc/apt/sources.list.d/quorvex-deb-src.sources >/dev/null
    "${APT_GET[@]}" -qq update
}

# winqt_record SOURCE_VERSION: what goes into an entry, one "name version"
# line each, then the configure options, one per line. Its hash is the key.
winqt_record() {
    echo "$QT_WIN_SOURCE_PACKAGE $1"
    local p
    for p in "${QT_WIN_TOOLCHAIN[@]}"; do
        echo "$p $(dpkg-query -W -f='${Version}' "$p" 2>/dev/null || echo none)"
    done
    echo "prefix $QT_WIN_FIXED_PREFIX"
    echo "build-folder-name $QT_WIN_FIXED_BUILD"
    echo "resource-dates newest-file-of-the-source"
    echo "configure:"
    printf '  %s\n' "${QT_WIN_CONFIGURE_OPTIONS[@]}"
}

# winqt_build DEST LOGDIR SOURCE_VERSION: downloads, configures, builds and
# installs into DEST.
winqt_build() {
    local dest=$1 logs=$2 version=$3
    local work
    work=$(mktemp -d "${TMPDIR:-/tmp}/quorvex-qt-build.XXXXXX")
    echo "building Qt $version for Windows (13 to 26 minutes on 2 cores), logs in $logs"
    (cd "$work" && apt-get source --download-only "$QT_WIN_SOURCE_PACKAGE=$version") \
        >"$logs/download.log" 2>&1 \
        || { rm -rf "$work"; winqt_fail "downloading the Qt source failed (log: $logs/download.log)"; }
    local tarball
    tarball=$(ls "$work"/*.orig.tar.xz 2>/dev/null | head -n1 || true)
    [ -n "$tarball" ] || { rm -rf "$work"; winqt_fail "no Qt source tarball downloaded (log: $logs/download.log)"; }
    tar -C "$work" -xf "$tarball" >"$logs/unpack.log" 2>&1 \
        || { rm -rf "$work"; winqt_fail "unpacking the Qt source failed (log: $logs/unpack.log)"; }
    local srcdir
    srcdir=$(ls -d "$work"/qtbase-everywhere-src-* 2>/dev/null | head -n1 || true)
    [ -n "$srcdir" ] || { rm -rf "$work"; winqt_fail "the Qt source has no qtbase tree (log: $logs/unpack.log)"; }
    mkdir -p "$work/build"
    # The temporary folder's name (sources and build both lie in it) becomes
    # the fixed one in every file name the compiler writes into an object.
    local map="-ffile-prefix-map=$work=$QT_WIN_FIXED_BUILD"
    # rcc dates each file it packs into Qt's resources (the style's icons, the
    # message box's, the mime database) SOURCE_DATE_EPOCH, which the calling
    # build has set to its commit's time: an entry built by last month's commit
    # differed from one built by today's. Qt's build takes the time of the
    # newest file of the Qt source instead, which tar has kept.
    local epoch
    epoch=$(find "$srcdir" -type f -printf '%T@\n' | sort -n | tail -n1 | cut -d. -f1)
    local qtenv=(env PATH="$MINGW_BIN:$PATH" SOURCE_DATE_EPOCH="$epoch")
    local step
    for step in configure make install; do
        local ok=0
        case $step in
        configure)
            (cd "$work/build" && "${qtenv[@]}" "$srcdir/configure" \
                -prefix "$QT_WIN_FIXED_PREFIX" -extprefix "$dest" "${QT_WIN_CONFIGURE_OPTIONS[@]}" \
                "QMAKE_CFLAGS+=$map" "QMAKE_CXXFLAGS+=$map") >"$logs/configure.log" 2>&1 && ok=1 ;;
        make)
            (cd "$work/build" && "${qtenv[@]}" make -j"$(nproc)") >"$logs/make.log" 2>&1 && ok=1 ;;
        install)
            (cd "$work/build" && "${qtenv[@]}" make install) >"$logs/install.log" 2>&1 && ok=1 ;;
        esac
        if [ $ok -ne 1 ]; then
            rm -rf "$work" "$dest"
            winqt_fail "Qt $step failed (log: $logs/$step.log)"
        fi
    done
    rm -rf "$work"
}

# winqt_complete ENTRY: the entry's build finished and its CMake packages are there.
winqt_complete() {
    [ -e "$1/.complete" ] && [ -e "$1/BUILD-INPUTS.txt" ] \
        && [ -e "$1/lib/cmake/Qt5Widgets/Qt5WidgetsConfig.cmake" ]
}

ensure_windows_qt() {
    local cache=${QRIO_QT_CACHE:-$HOME/.cache/quorvex-qt-mingw}
    mkdir -p "$cache/logs"
    ensure_packages "${QT_WIN_PACKAGES[@]}" || winqt_fail "installing ${QT_WIN_PACKAGES[*]} failed"
    winqt_mingw_bin "$cache"
    # One build at a time per cache: a second run waits and then finds the entry.
    exec {QT_WIN_LOCK_FD}>"$cache/.lock"
    flock "$QT_WIN_LOCK_FD"
    winqt_find_or_build "$cache"
    exec {QT_WIN_LOCK_FD}>&-
}

winqt_find_or_build() {
    local cache=$1

    local version=""
    if winqt_ensure_deb_src; then
        version=$(apt-cache showsrc "$QT_WIN_SOURCE_PACKAGE" 2>/dev/null \
            | sed -n 's/^Version: *//p' | sort -V | tail -n1)
    fi
    if [ -z "$version" ]; then
        local newest
        newest=$(ls -td "$cache"/qt-*/.complete 2>/dev/null | head -n1 || true)
        newest=${newest%/.complete}
        if [ -n "$newest" ] && winqt_complete "$newest"; then
            echo "build-windows: warning: apt offers no $QT_WIN_SOURCE_PACKAGE (no network?);" \
                "using the newest Qt in the cache, $(head -n1 "$newest/BUILD-INPUTS.txt")" >&2
            QT_WIN_PREFIX=$newest QT_WIN_INPUTS=$newest/BUILD-INPUTS.txt
            return 0
        fi
        winqt_fail "apt knows no source package $QT_WIN_SOURCE_PACKAGE (deb-src entry missing, or no network)"
    fi

    local record key
    record=$(winqt_record "$version")
    key=$(echo "$record" | sha256sum | cut -c1-12)
    local qt_version
    qt_version=$(echo "$version" | sed 's/^[0-9]*://; s/[+~-].*//')
    local dest=$cache/qt-$qt_version-$key
    if ! winqt_complete "$dest"; then
        # A half-built or broken entry is removed, never used.
        rm -rf "$dest"
        winqt_build "$dest" "$cache/logs" "$version"
        [ -e "$dest/lib/cmake/Qt5Widgets/Qt5WidgetsConfig.cmake" ] \
            || { rm -rf "$dest"; winqt_fail "Qt install is incomplete (log: $cache/logs/install.log)"; }
        echo "$record" >"$dest/BUILD-INPUTS.txt"
        date -u +%FT%TZ >"$dest/.complete"
        # Entries of older inputs are not used again.
        local old
        for old in "$cache"/qt-*; do
            [ "$old" = "$dest" ] || rm -rf "$old"
        done
    fi
    QT_WIN_PREFIX=$dest QT_WIN_INPUTS=$dest/BUILD-INPUTS.txt
}

# Run as a script (bash scripts/winqt.sh), it makes sure the cache holds the
# entry for today's inputs and prints its folder.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -euo pipefail
    ROOT=$(cd "$(dirname "$0")/.." && pwd)
    source "$ROOT/scripts/common.sh"
    ensure_windows_qt
    echo "$QT_WIN_PREFIX"
fi
