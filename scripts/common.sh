# Sourced by the scripts (which set ROOT first): what several of them do.

# AS_ROOT: the prefix that runs a command as root (sudo unless we are root).
AS_ROOT=()
[ "$(id -u)" -eq 0 ] || AS_ROOT=(sudo)
# APT_GET: apt-get as root, unattended, waiting for another one's lock.
APT_GET=("${AS_ROOT[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=600)

# ensure_packages PKG...: apt-get installs those not yet installed.
ensure_packages() {
    local missing=()
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    "${APT_GET[@]}" -qq update
    "${APT_GET[@]}" -qq install --no-install-recommends "${missing[@]}" >/dev/null
}

BUILD_PACKAGES=(cmake make g++ qtbase5-dev qtbase5-dev-tools fonts-liberation)

# load_names: the names the build gives the product (cmake/names.cmake) as
# shell variables: QRIO_COMPANY, QRIO_APP_NAME, QRIO_EXE_NAME,
# QRIO_FIRMWARE_FOLDER, QRIO_PACKAGE_NAME, QRIO_PRODUCT_NAME and the others.
# Needs cmake; non-zero status when it cannot run.
load_names() {
    local names
    names=$(cmake -P "$ROOT/cmake/names.cmake") || return 1
    source <(printf '%s\n' "$names")
}

# source_date_epoch: exports SOURCE_DATE_EPOCH, the time every date in a
# build's output takes: the environment's, else the commit's. Non-zero status
# (and nothing exported) outside a git checkout.
source_date_epoch() {
    if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
        local epoch
        epoch=$(git -C "$ROOT" log -1 --format=%ct 2>/dev/null) && [ -n "$epoch" ] || return 1
        SOURCE_DATE_EPOCH=$epoch
    fi
    export SOURCE_DATE_EPOCH
}

# support_contact_set: true when packaging/support-contact.txt names the
# contact users send their logs to (its first line that is no comment);
# false while that line is missing or still the placeholder, which starts
# with "UNSET". The guides and the manual page print that line.
support_contact_set() {
    local contact
    contact=$(grep -v -m1 -e '^#' -e '^[[:space:]]*$' "$ROOT/packaging/support-contact.txt" 2>/dev/null) || return 1
    [[ $contact != UNSET* ]]
}

# build_windows_zip: builds the Windows zip with scripts/build-windows.sh
# (which reuses what is built already) and sets ZIP to its path; a test
# script that cannot have it stops with checks_abort.
build_windows_zip() {
    echo "building the Windows program (scripts/build-windows.sh)"
    local out
    if ! out=$(bash "$ROOT/scripts/build-windows.sh" 2>&1); then
        echo "$out" | tail -n 5
        checks_abort "scripts/build-windows.sh failed"
    fi
    ZIP=$(echo "$out" | tail -n 1)
    [ -f "$ZIP" ] || checks_abort "scripts/build-windows.sh named no zip"
}

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

# check NAME COMMAND...: runs the command and counts it: passed when its
# status is zero.
check() {
    local name=$1
    shift
    if "$@"; then check_pass "$name"; else check_fail "$name"; fi
}
# check_status NAME STATUS [WHY]: counts a check whose outcome is STATUS (0:
# passed), with WHY on its line when it failed.
check_status() {
    if [ "$2" -eq 0 ]; then check_pass "$1"; else check_fail "$1" "${3:-}"; fi
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
