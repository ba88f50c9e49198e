#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite: the layout
# check, the suite once as is, once under AddressSanitizer +
# UndefinedBehaviorSanitizer, the fuzz run, then every scripts/test-*.sh (the
# Windows program under Wine, the packages). The benchmarks are built once,
# in the plain build (the build folder scripts/bench.sh uses), so that a
# change that breaks them shows here; figures from a sanitized build would
# mean nothing.
#
#   scripts/test.sh           everything; what CI runs
#   scripts/test.sh --quick   the plain build and its CTest suite only, for
#                             the edit-build-test loop (no root needed once
#                             the packages are installed)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/common.sh"

QUICK=0
case "${1:-}" in
    --quick) QUICK=1 ;;
    "") ;;
    *)
        echo "usage: $0 [--quick]" >&2
        exit 2
        ;;
esac

# What the CTest suite needs beyond the build: the HEX writers it compares
# with, and Xvfb and xdotool for the window's desktop check.
TEST_PACKAGES=("${BUILD_PACKAGES[@]}" binutils srecord python3-intelhex python3 xvfb xdotool libxcb1-dev)

export QT_QPA_PLATFORM=offscreen
JOBS=${QRIO_TEST_JOBS:-6}
status=0

if [ $QUICK -eq 1 ]; then
    ensure_packages "${TEST_PACKAGES[@]}"
    echo "== build"
    configure_and_build "$ROOT/build" -DQRIO_BUILD_BENCHMARKS=ON
    echo "== tests"
    (cd "$ROOT/build" && ctest -j"$JOBS" --output-on-failure)
    exit
fi

ensure_packages "${TEST_PACKAGES[@]}" clang libclang-rt-14-dev

echo "== layout (clang-format)"
bash "$ROOT/scripts/format-check.sh" || status=1

echo "== build"
configure_and_build "$ROOT/build" -DQRIO_BUILD_BENCHMARKS=ON
echo "== tests"
(cd "$ROOT/build" && ctest -j"$JOBS" --output-on-failure) || status=1

echo "== build (AddressSanitizer + UndefinedBehaviorSanitizer)"
configure_and_build "$ROOT/build-asan" -DQRIO_SANITIZE=ON -DQRIO_BUILD_BENCHMARKS=OFF
echo "== tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
(cd "$ROOT/build-asan" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
    LSAN_OPTIONS=suppressions=$ROOT/tests/lsan.supp:fast_unwind_on_malloc=0 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest -j"$JOBS" --output-on-failure) || status=1

echo "== fuzz (HEX loader)"
bash "$ROOT/scripts/fuzz.sh" || status=1

for extra in "$ROOT"/scripts/test-*.sh; do
    [ -e "$extra" ] || continue
    echo "== $(basename "$extra")"
    bash "$extra" || status=1
done

exit $status
