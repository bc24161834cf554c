#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer and UndefinedBehaviorSanitizer) in build-fuzz and runs
# each for a bounded time from its seed corpus. Any crash, leak, sanitizer report or broken invariant fails.
#   BRINDLE_FUZZ_SECONDS   seconds per target (default 60)
#   BRINDLE_FUZZ_JOBS      targets run at once (default 2)
#   BRINDLE_FUZZ_TARGETS   a space-separated subset (default: all)
#   BRINDLE_FUZZ_TIMEOUT   seconds one input may take before it counts as a finding (default 2): every input
#                          is small, so a slow one means work that grows faster than its input
# Inputs that the fuzzers find interesting go to build-fuzz/corpus/<target>, never into fuzz/corpus: copy a
# crash input into fuzz/corpus/<target>/ by hand, with a regression test, once it is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${BRINDLE_FUZZ_SECONDS:-60}"
jobs="${BRINDLE_FUZZ_JOBS:-2}"
timeout="${BRINDLE_FUZZ_TIMEOUT:-2}"
targets=(${BRINDLE_FUZZ_TARGETS:-framing chatRequest schemaTranslator transcriptBuilder streamDeltas toolArguments})

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBRINDLE_FUZZ=ON -DBRINDLE_TESTS=OFF -DBRINDLE_BENCH=OFF >/dev/null
ninja -C build-fuzz -j "$(nproc)" "${targets[@]/#/fuzz_}"

export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

run_target() {
  local target="$1" work="build-fuzz/corpus/$1" log="build-fuzz/fuzz-$1.log"
  mkdir -p "$work" "build-fuzz/crashes/$target"
  # Runs of the same target share the working corpus, so each run starts where the last one stopped.
  if build-fuzz/fuzz/"fuzz_$target" "$work" "fuzz/corpus/$target" -max_total_time="$seconds" -max_len=8192 \
      -timeout="$timeout" -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="build-fuzz/crashes/$target/" \
      >"$log" 2>&1; then
    echo "fuzz_$target: $(grep -m1 '^stat::number_of_executed_units' "$log" | awk '{print $2}') executions in ${seconds}s, no finding"
  else
    echo "fuzz_$target: FAILED; the input is in build-fuzz/crashes/$target/, the report follows" >&2
    tail -n 60 "$log" >&2
    return 1
  fi
}

status=0
pids=()
for target in "${targets[@]}"; do
  run_target "$target" &
  pids+=($!)
  if [ "${#pids[@]}" -ge "$jobs" ]; then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
exit "$status"
