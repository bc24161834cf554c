#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --test

echo "== build and unit/end-to-end tests"
scripts/build.sh build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRINDLE_BENCH=OFF
ctest --test-dir build-test --output-on-failure -j 2
