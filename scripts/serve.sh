#!/usr/bin/env bash
# Installs what is missing, builds, and serves on 127.0.0.1: scripts/serve.sh [port] [--model-id <id>]
set -euo pipefail
cd "$(dirname "$0")/.."
port="${1:-8080}"; shift || true
scripts/install-deps.sh
scripts/build.sh build -DCMAKE_BUILD_TYPE=Release -DBRINDLE_TESTS=OFF -DBRINDLE_BENCH=OFF
exec build/brindle-server serve --port "$port" "$@"
