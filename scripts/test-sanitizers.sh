#!/usr/bin/env bash
# Runs the whole test suite under AddressSanitizer and UndefinedBehaviorSanitizer (build-asan), then the tests
# that involve threads under ThreadSanitizer (build-tsan); both with clang. The tests that start the real
# binary start the sanitized binary of the same build. Any report, from the test process or from a server it
# started, fails the run: reports are written to files, and any file at the end is a failure.
set -euo pipefail
cd "$(dirname "$0")/.."

logs="$(mktemp -d)"
trap 'rm -rf "$logs"' EXIT

# The tests' own verdict, then any report: a report can come from a server whose test still passed.
check() {
  local kind="$1" tests_status="$2"
  if compgen -G "$logs/*" >/dev/null; then
    echo "$kind: sanitizer reports:" >&2
    for report in "$logs"/*; do echo "== $report" >&2; cat "$report" >&2; done
    exit 1
  fi
  [ "$tests_status" -eq 0 ] || exit "$tests_status"
}

build() {
  local dir="$1" sanitizer="$2"
  CC=clang CXX=clang++ scripts/build.sh "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRINDLE_SANITIZE="$sanitizer" \
    -DBRINDLE_TESTS=ON -DBRINDLE_BENCH=OFF
}

echo "-- AddressSanitizer and UndefinedBehaviorSanitizer: every test"
build build-asan address
status=0
ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:log_path=$logs/asan" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan" \
  ctest --test-dir build-asan --output-on-failure -j 2 || status=$?
check "AddressSanitizer/UndefinedBehaviorSanitizer" "$status"

echo "-- ThreadSanitizer: the tests labelled threads"
build build-tsan thread
status=0
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$logs/tsan" \
  ctest --test-dir build-tsan --output-on-failure -j 2 -L threads --no-tests=error || status=$?
check "ThreadSanitizer" "$status"
