#!/usr/bin/env bash
# Proves the tests catch the faults listed in tests/data/mutations.tsv: for each row, puts the fault into the
# product (one exact text replaced in one file), builds, runs ctest, and expects a failure; then puts the file
# back. Prints one line a row and fails when a fault went unnoticed or a text is not found exactly once.
#   scripts/check-mutations.sh [build dir, default build]   (configured already)
# CHECK_TARGETS names what to rebuild for each fault (default: everything) and CTEST_ARGS narrows the test run,
# e.g. CHECK_TARGETS=brindle-server CTEST_ARGS='-R WireReplay|CommandLine|Resilience' for the tests that run
# the binary alone. MUTATIONS_MATCHING, a regular expression, picks the faults whose description it matches.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
[ -f "$build/build.ninja" ] || { echo "check-mutations: no configured build in $build" >&2; exit 1; }

saved=""
restore() { if [ -n "$saved" ]; then cp "$saved" "$target"; rm -f "$saved"; saved=""; fi; }
trap restore EXIT

ninja -C "$build" -j 2 >/dev/null
ctest --test-dir "$build" -j 2 ${CTEST_ARGS:-} >/dev/null || { echo "check-mutations: the tests fail unmutated" >&2; exit 1; }
missed=0
while IFS=$'\t' read -r target original replacement fault; do
  [[ -z "$target" || "$target" == \#* ]] && continue
  [[ -n "${MUTATIONS_MATCHING:-}" && ! "$fault" =~ $MUTATIONS_MATCHING ]] && continue
  saved=$(mktemp)
  cp "$target" "$saved"
  if ! python3 - "$target" "$original" "$replacement" <<'EOF'; then
import sys
path, original, replacement = sys.argv[1:]
text = open(path, encoding="utf-8").read()
if text.count(original) != 1:
    sys.exit(f"{path}: the text is found {text.count(original)} times: {original}")
open(path, "w", encoding="utf-8").write(text.replace(original, replacement))
EOF
    missed=$((missed + 1)); restore; continue
  fi
  log=$(mktemp)
  if ! ninja -C "$build" -j 2 ${CHECK_TARGETS:-} >"$log" 2>&1; then
    verdict="BROKEN (does not build)"; missed=$((missed + 1))
  # The quick tests first; the load and limit tests only when those pass.
  elif ctest --test-dir "$build" -j 2 --stop-on-failure -E '^Resilience[.]' ${CTEST_ARGS:-} >"$log" 2>&1 &&
    ctest --test-dir "$build" -j 2 --stop-on-failure -R '^Resilience[.]' ${CTEST_ARGS:-} >"$log" 2>&1; then
    verdict="MISSED"; missed=$((missed + 1))
  else
    verdict="caught by $(grep -m1 -E '\*\*\*[A-Z]' "$log" | sed -E 's/.*Test +#[0-9]+: ([^ ]+) .*/\1/')"
  fi
  rm -f "$log"
  printf '%s\t%s\n' "$fault" "$verdict"
  restore
done <tests/data/mutations.tsv
ninja -C "$build" -j 2 >/dev/null
[ "$missed" -eq 0 ] || { echo "check-mutations: $missed fault(s) not caught" >&2; exit 1; }
