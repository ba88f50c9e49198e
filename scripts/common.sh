# Sourced by the scripts: installs Debian packages that are missing.

# ensure_packages PKG...: apt-get installs those not yet installed.
ensure_packages() {
    local missing=()
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

BUILD_PACKAGES=(cmake make g++ qtbase5-dev qtbase5-dev-tools fonts-liberation)

# configure_and_build DIR [cmake args...]
configure_and_build() {
    local dir=$1
    shift
    cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j"$(nproc)"
}

# The test scripts' checks: one line per check ("PASS name", "FAIL name"),
# then "N passed, N failed" as the last line, which CI reads.
CHECKS_PASSED=0
CHECKS_FAILED=0

# check_pass NAME / check_fail NAME [WHY]: counts one check.
check_pass() {
    echo "PASS $1"
    CHECKS_PASSED=$((CHECKS_PASSED + 1))
}
check_fail() {
    echo "FAIL $1${2:+: $2}"
    CHECKS_FAILED=$((CHECKS_FAILED + 1))
}

# checks_summary: prints the closing line; its status is non-zero when a
# check failed or none ran.
checks_summary() {
    echo "$CHECKS_PASSED passed, $CHECKS_FAILED failed"
    [ "$CHECKS_FAILED" -eq 0 ] && [ "$CHECKS_PASSED" -gt 0 ]
}

# checks_abort WHY: a script that cannot run its checks at all (a package
# that will not install, a build that fails) says why and counts as one
# failed check.
checks_abort() {
    echo "FAIL $1"
    echo "0 passed, 1 failed"
    exit 1
}
