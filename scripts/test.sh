#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The CalvornTest developers
# Installs what is missing, builds, and runs the whole test suite. Every test
# gets a private session bus of its own (dbus-run-session) and runs offscreen
# or on a private virtual display (Xvfb), never on the user's desktop.
#
# Then it runs the suite a second time, built with AddressSanitizer,
# LeakSanitizer and UndefinedBehaviorSanitizer in build-sanitize, and runs
# each fuzz target, built with clang in build-fuzz, for CALVORN_FUZZ_SECONDS
# (default 30). After the plain suite, scripts/check-install.sh builds and runs
# a program against the installed package. CALVORN_SKIP_SANITIZE=1 leaves out both, for a quick local run.
# Extra arguments go to both suite runs' ctest (for example -R contract).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

SANITIZE_DIR="${SANITIZE_DIR:-$ROOT/build-sanitize}"
FUZZ_DIR="${FUZZ_DIR:-$ROOT/build-fuzz}"

# run_suite DIR [CTEST_ARG...]: runs the tests of one build folder, with the
# user's own bus and display kept away from them.
run_suite() {
    local dir=$1
    shift
    env -u DBUS_SESSION_BUS_ADDRESS -u DISPLAY -u WAYLAND_DISPLAY \
        ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" "$@"
}

ensure_packages
build -DBUILD_TESTING=ON
say "Running the tests"
run_suite "$BUILD_DIR" "$@"
say "Checking the installed package with a program that uses it"
"$ROOT/scripts/check-install.sh" "$BUILD_DIR"

if [ "${CALVORN_SKIP_SANITIZE:-0}" = 1 ]; then
    say "CALVORN_SKIP_SANITIZE=1: no sanitizer pass and no fuzzing"
    exit 0
fi

build_in "$SANITIZE_DIR" -DBUILD_TESTING=ON -DCALVORN_SANITIZE=ON
say "Running the tests under AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer"
# Tests start sanitized child programs too, and not every test looks at how
# its children ended. So every sanitized process writes its AddressSanitizer
# and LeakSanitizer reports into one folder, and any report there fails the
# run. GCC's UndefinedBehaviorSanitizer ignores log_path and always writes to
# standard error: its findings stop the process, and they are also looked
# for in the output of every test, passed or not.
reports="$SANITIZE_DIR/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"
status=0
ASAN_OPTIONS="log_path=$reports/asan:detect_leaks=1" \
    LSAN_OPTIONS="suppressions=$ROOT/tests/sanitizers/lsan.supp:print_suppressions=0" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    run_suite "$SANITIZE_DIR" "$@" || status=$?
if grep -qs "runtime error:" "$SANITIZE_DIR/Testing/Temporary/LastTest.log"; then
    grep -A 30 "runtime error:" "$SANITIZE_DIR/Testing/Temporary/LastTest.log"
    status=1
fi
for report in "$reports"/*; do
    [ -e "$report" ] || continue
    say "Sanitizer report $report"
    cat "$report"
    status=1
done
if [ "$status" -ne 0 ]; then
    echo "The sanitizer pass failed; the reports are above and in $reports" >&2
    exit "$status"
fi

build_in "$FUZZ_DIR" -DCMAKE_CXX_COMPILER=clang++-14 -DCALVORN_FUZZ=ON \
    -DCALVORN_FUZZ_SECONDS="${CALVORN_FUZZ_SECONDS:-30}"
say "Fuzzing each target for ${CALVORN_FUZZ_SECONDS:-30} seconds"
ctest --test-dir "$FUZZ_DIR" --output-on-failure -j"$(nproc)"
