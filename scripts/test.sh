#!/usr/bin/env bash
# Installs what is missing, checks the layout of the C++ sources, builds, and runs every test: the unit and
# end-to-end suite, the same suite under sanitizers, the fuzzers for a bounded time, and the real-client tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --test

echo "== layout of the C++ sources (.clang-format)"
scripts/check-format.sh

echo "== build, unit and end-to-end tests"
scripts/build.sh build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRINDLE_TESTS=ON -DBRINDLE_BENCH=OFF
ctest --test-dir build-test --output-on-failure -j 2

# The platform backend through a real Swift compiler, in a Debian 13 root kept between runs. The client tests
# go last, so the run ends with their runner's summary. A step that is missing fails the run.
for step in scripts/test-sanitizers.sh scripts/test-fuzz.sh scripts/test-platform.sh scripts/test-clients.sh; do
  [ -x "$step" ] || { echo "test.sh: missing step $step" >&2; exit 1; }
  echo "== $step"
  "$step"
done
