#!/usr/bin/env bash
# Builds the Linux program in Release and packs it, with its Kelvo Firmware
# folder, menu entry and icon, into a Debian package:
# dist/QuorvexRemoteIOFirmwareUpdater_<version>_<arch>.deb. Installs the
# Debian packages it needs first. The last line of output is the package's path.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/common.sh"

# dpkg-shlibdeps (dpkg-dev) works out the package's dependencies; CPack needs
# `file` to find the programs to hand it.
ensure_packages "${BUILD_PACKAGES[@]}" dpkg-dev file

BUILD=${QRIO_DEB_BUILD:-$ROOT/build-deb}
DIST="$ROOT/dist"

# Only the program is built: CPack's install step is told not to build
# everything first (the simulator and its demo firmware are not shipped).
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DQRIO_BUILD_TESTS=OFF \
    -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target QuorvexRemoteIOFirmwareUpdater

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
