#!/usr/bin/env bash
# Builds the HEX loader's libFuzzer target with clang through CMake (address
# and undefined behaviour sanitizers) and fuzzes it for a bounded time.
#   scripts/fuzz.sh          about 25 s
#   scripts/fuzz.sh 600      ten minutes
# The build goes to $QRIO_FUZZ_BUILD_DIR (default build-fuzz). Inputs the
# fuzzer finds are kept there between runs; the seed corpus in
# tests/fuzz/corpus is only read. A crash leaves hexfuzz-crash-* there and
# makes the script fail.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/common.sh"

SECONDS_TO_RUN=${1:-25}
BUILD=${QRIO_FUZZ_BUILD_DIR:-$ROOT/build-fuzz}
FUZZ_SRC="$ROOT/tests/fuzz"

ensure_packages "${BUILD_PACKAGES[@]}" clang libclang-rt-14-dev

# The target is defined in tests/hexfuzz.cmake; this is a clang build of the
# project with it switched on, of which only that target is built.
echo "== fuzz: building fuzz_hexloader"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DQRIO_FUZZ=ON -DQRIO_BUILD_TESTS=ON -DQRIO_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$BUILD" --target fuzz_hexloader -j"$(nproc)"
FUZZER=$BUILD/tests/fuzz_hexloader
mkdir -p "$BUILD/hexfuzz-corpus"

echo "== fuzz: running for ${SECONDS_TO_RUN} s"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$FUZZER" \
    -max_total_time="$SECONDS_TO_RUN" \
    -max_len=4096 \
    -timeout=10 \
    -dict="$FUZZ_SRC/hex.dict" \
    -artifact_prefix="$BUILD/hexfuzz-" \
    -print_final_stats=1 \
    "$BUILD/hexfuzz-corpus" "$FUZZ_SRC/corpus" 2>"$BUILD/fuzz_hexloader.log" || {
        tail -n 60 "$BUILD/fuzz_hexloader.log"
        echo "fuzz: fuzz_hexloader failed; see $BUILD/fuzz_hexloader.log" >&2
        exit 1
    }
grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|Done)|INFO: .*corpus' \
    "$BUILD/fuzz_hexloader.log" | tail -n 4
