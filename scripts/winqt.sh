# Sourced by the Windows scripts: a static Qt 5.15 for x86_64-w64-mingw32,
# built once from Debian's qtbase source package into a cache outside the work
# tree and reused on every later run.
#
# Needs ROOT and common.sh. ensure_windows_qt sets:
#   QT_WIN_PREFIX  the installed Qt (its lib/cmake holds the CMake packages)
#   MINGW_BIN      a folder whose x86_64-w64-mingw32-{gcc,g++,c++,cpp} are the
#                  posix-thread compilers (Qt's mkspec calls the plain names)
# The cache is $QRIO_QT_CACHE, default ~/.cache/quorvex-qt-mingw. An entry is
# used only when its stamp file exists; the stamp is written last, so a build
# that stopped half-way is found and rebuilt, never used.

QT_WIN_PACKAGES=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
                 make perl python3 xz-utils dpkg-dev)
QT_WIN_SOURCE_PACKAGE=qtbase-opensource-src

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

# winqt_build DEST LOGDIR: downloads, configures, builds and installs into DEST.
winqt_build() {
    local dest=$1 logs=$2
    local work
    work=$(mktemp -d "${TMPDIR:-/tmp}/quorvex-qt-build.XXXXXX")
    echo "building Qt $QT_WIN_VERSION for Windows (about 13 minutes on 2 cores), logs in $logs"
    (cd "$work" && apt-get source --download-only "$QT_WIN_SOURCE_PACKAGE=$QT_WIN_SOURCE_VERSION") \
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
    local step
    for step in configure make install; do
        local ok=0
        case $step in
        configure)
            (cd "$work/build" && PATH="$MINGW_BIN:$PATH" "$srcdir/configure" -prefix "$dest" \
                "${QT_WIN_CONFIGURE_OPTIONS[@]}") >"$logs/configure.log" 2>&1 && ok=1 ;;
        make)
            (cd "$work/build" && PATH="$MINGW_BIN:$PATH" make -j"$(nproc)") >"$logs/make.log" 2>&1 && ok=1 ;;
        install)
            (cd "$work/build" && PATH="$MINGW_BIN:$PATH" make install) >"$logs/install.log" 2>&1 && ok=1 ;;
        esac
        if [ $ok -ne 1 ]; then
            rm -rf "$work" "$dest"
            winqt_fail "Qt $step failed (log: $logs/$step.log)"
        fi
    done
    rm -rf "$work"
}

ensure_windows_qt() {
    local cache=${QRIO_QT_CACHE:-$HOME/.cache/quorvex-qt-mingw}
    mkdir -p "$cache/logs"
    ensure_packages "${QT_WIN_PACKAGES[@]}" || winqt_fail "installing ${QT_WIN_PACKAGES[*]} failed"
    winqt_mingw_bin "$cache"

    # The key: the Qt version and the configure options. A cached entry is
    # found without asking apt, so a warm cache needs no network.
    local opts_key
    opts_key=$(printf '%s\n' "${QT_WIN_CONFIGURE_OPTIONS[@]}" | sha256sum | cut -c1-12)
    local found
    found=$(ls -d "$cache"/qt-*-"$opts_key" 2>/dev/null | sort -V | tail -n1 || true)
    if [ -n "$found" ] && [ -e "$found/.complete" ] \
        && [ -e "$found/lib/cmake/Qt5Widgets/Qt5WidgetsConfig.cmake" ]; then
        QT_WIN_PREFIX=$found
        return 0
    fi

    winqt_ensure_deb_src || winqt_fail "no deb-src entry and none could be added (see /etc/apt/sources.list.d/)"
    QT_WIN_SOURCE_VERSION=$(apt-cache showsrc "$QT_WIN_SOURCE_PACKAGE" 2>/dev/null \
        | sed -n 's/^Version: *//p' | sort -V | tail -n1)
    [ -n "$QT_WIN_SOURCE_VERSION" ] || winqt_fail "apt knows no source package $QT_WIN_SOURCE_PACKAGE (deb-src entry missing?)"
    QT_WIN_VERSION=$(echo "$QT_WIN_SOURCE_VERSION" | sed 's/^[0-9]*://; s/[+~-].*//')
    local dest=$cache/qt-$QT_WIN_VERSION-$opts_key
    # A half-built or broken entry is removed, never used.
    rm -rf "$dest" "$cache"/qt-*-"$opts_key"
    winqt_build "$dest" "$cache/logs"
    [ -e "$dest/lib/cmake/Qt5Widgets/Qt5WidgetsConfig.cmake" ] \
        || { rm -rf "$dest"; winqt_fail "Qt install is incomplete (log: $cache/logs/install.log)"; }
    date -u +%FT%TZ >"$dest/.complete"
    QT_WIN_PREFIX=$dest
}
