#!/usr/bin/env bash
# Fails when clang-format (the repository's .clang-format) would change any
# C++ file that git tracks, and names the files and the command that fixes
# them. Layout is checked, not argued over in review.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/common.sh"

ensure_packages clang-format git

cd "$ROOT"
mapfile -t files < <(git ls-files '*.cpp' '*.h')
[ ${#files[@]} -gt 0 ] || exit 0
bad=()
for f in "${files[@]}"; do
    [ -f "$f" ] || continue
    clang-format --dry-run -Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
if [ ${#bad[@]} -gt 0 ]; then
    echo "format-check: clang-format would change ${#bad[@]} file(s):" >&2
    printf '  %s\n' "${bad[@]}" >&2
    echo "fix with: clang-format -i ${bad[*]}" >&2
    exit 1
fi
echo "format-check: ${#files[@]} C++ files as clang-format lays them out"
