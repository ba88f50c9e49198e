#!/usr/bin/env bash
# Builds the Linux program in Release and packs it, with the link to its
# firmware folder, menu entry, icon, manual page and documents, into a
# Debian package: dist/<executable name>_<version>_<arch>.deb
# (its contents: the install rules, packaging/install.cmake and linux.cmake).
# Installs the Debian packages it needs first. The last line of output is the
# package's path.
#
# The package's bytes depend on the commit only: not on the folder it is
# built in, nor on when. Times come from the commit (SOURCE_DATE_EPOCH, which
# CPack uses for every member of the package), paths in the program are mapped
# to fixed names, and the staging tree's modes do not follow the umask.
set -euo pipefail
umask 022
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/common.sh"

# dpkg-shlibdeps (dpkg-dev) works out the package's dependencies; CPack needs
# `file` to find the programs to hand it.
ensure_packages "${BUILD_PACKAGES[@]}" dpkg-dev file git

BUILD=${QRIO_DEB_BUILD:-$ROOT/build-deb}
DIST="$ROOT/dist"

source_date_epoch || {
    echo "package.sh: not a git checkout: set SOURCE_DATE_EPOCH to the sources' time" >&2
    exit 1
}
if [ -n "$(git -C "$ROOT" status --porcelain --untracked-files=no 2>/dev/null)" ]; then
    echo "package.sh: note: uncommitted changes; the package is not that of the commit" >&2
fi

# Debian's build flags with all hardening; the source and build folders are
# mapped to fixed names (the last map that matches wins, so the build folder
# may lie inside the sources).
flags() { (cd "$ROOT" && DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"); }
CXXFLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS) -ffile-prefix-map=$ROOT=. -ffile-prefix-map=$BUILD=build"
LDFLAGS=$(flags LDFLAGS)

# Only the program is built: CPack's install step is told not to build
# everything first (the simulator and its demo firmware are not shipped).
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DQRIO_BUILD_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_CXX_FLAGS="$CXXFLAGS" \
    -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
load_names || { echo "cmake -P cmake/names.cmake gives no names" >&2; exit 1; }
cmake --build "$BUILD" -j"$(nproc)" --target "$QRIO_EXE_NAME"

# CPack stages under the build tree and leaves the package there; only the
# package goes to dist/.
log="$BUILD/cpack.log"
if ! (cd "$BUILD" && cpack -G DEB) > "$log" 2>&1; then
    cat "$log" >&2
    echo "package.sh: cpack failed (log: $log)" >&2
    exit 1
fi
deb=$(sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' "$log" | tail -n 1)
if [ -z "$deb" ] || [ ! -f "$deb" ]; then
    cat "$log" >&2
    echo "package.sh: cpack named no package (log: $log)" >&2
    exit 1
fi
mkdir -p "$DIST"
cp -f "$deb" "$DIST/"
echo "$DIST/$(basename "$deb")"
