#!/usr/bin/env bash
# Runs the real-client tests in tests/clients (the openai package, the AI SDK, a page in headless Chromium)
# against a brindle-server binary that is already built, serving its built-in model on a free loopback port, and
# against a second one whose built-in model is unavailable.
#   BRINDLE_SERVER_BINARY   the binary to test (default build-test/brindle-server, which scripts/test.sh builds)
set -euo pipefail
cd "$(dirname "$0")/.."
binary="${BRINDLE_SERVER_BINARY:-build-test/brindle-server}"
clients=tests/clients

fail() { echo "test-clients: $*" >&2; exit 1; }

[ -x "$binary" ] || fail "no server binary at $binary (scripts/test.sh builds it; or set BRINDLE_SERVER_BINARY)"
command -v node >/dev/null && command -v npm >/dev/null || fail "needs node and npm: scripts/install-deps.sh --test"
node_major=$(node -p 'process.versions.node.split(".")[0]')
[ "$node_major" -ge 20 ] || fail "Node.js 20 or later is needed, found $(node --version)"

# npm ci only when node_modules is missing or was installed from another lock file.
lock_hash=$(sha256sum "$clients/package-lock.json" | cut -d' ' -f1)
installed_from="$clients/node_modules/.installed-from-lock"
if [ "$(cat "$installed_from" 2>/dev/null)" != "$lock_hash" ]; then
  echo "installing the client packages (npm ci)"
  (cd "$clients" && npm ci --ignore-scripts --no-audit --no-fund)
  echo "$lock_hash" >"$installed_from"
fi

logs=()
server_pids=()
stop_servers() {
  for pid in "${server_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -f "${logs[@]}"
}
trap stop_servers EXIT

# Starts the server, with any further arguments, on a port the kernel just handed out and sets `port`;
# another program may take that port first, so try again.
start_server() {
  local log pid
  log=$(mktemp)
  logs+=("$log")
  for _ in 1 2 3 4 5; do
    port=$(node -e 'const s = require("net").createServer().listen(0, "127.0.0.1", () => {
      console.log(s.address().port); s.close(); })')
    "$binary" serve --port "$port" "$@" 2>"$log" &
    pid=$!
    for _ in $(seq 100); do
      if grep -q "listening on 127.0.0.1:$port" "$log"; then
        server_pids+=("$pid")
        return 0
      fi
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    cat "$log" >&2
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  return 1
}

start_server || fail "brindle-server did not start"
echo "brindle-server ($binary) listening on 127.0.0.1:$port"
available_port=$port
# A second server whose built-in model is unavailable, for the 503 road.
start_server --builtin-availability modelNotReady || fail "brindle-server --builtin-availability did not start"
echo "brindle-server --builtin-availability modelNotReady listening on 127.0.0.1:$port"
unavailable_port=$port

cd "$clients"
BRINDLE_BASE_URL="http://127.0.0.1:$available_port" \
BRINDLE_UNAVAILABLE_BASE_URL="http://127.0.0.1:$unavailable_port" \
  node --test --test-timeout=120000
