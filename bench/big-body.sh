#!/usr/bin/env bash
# The big-body figure: a 32 MiB chat body of tens of thousands of short turns in mixed scripts, answered
# 400 context_length_exceeded, timed end to end (connect to answer) through the real binary, in MiB/s.
#   bench/big-body.sh                     this tree's server
#   bench/big-body.sh OTHER-SERVER        also another brindle-server binary (say, one built from an earlier
#                                         commit), alternating with this one round by round, so that a noisy
#                                         neighbour weighs on both alike
#   ROUNDS=9 bench/big-body.sh ...        rounds of 3 requests each (default 7)
#
# Builds Release into build-bench like bench/load.sh; starts the servers on 127.0.0.1 and stops them on the
# way out. Goal: at least 200 MiB/s (the median of the rounds' medians).
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${ROUNDS:-7}
build=build-bench
other=${1:-}

scripts/install-deps.sh --bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRINDLE_TESTS=OFF -DBRINDLE_BENCH=ON >/dev/null
ninja -C "$build" -j2 brindle-server brindle_probe >/dev/null

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

is_listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# start BINARY FROM-PORT: serves on the first free port from FROM-PORT; prints "port pid".
start() {
  local port try
  for port in $(seq "$2" $(($2 + 200))); do is_listening "$port" || break; done
  "$1" serve --port "$port" 2>/dev/null &
  for try in $(seq 100); do is_listening "$port" && { echo "$port $!"; return; }; sleep 0.05; done
  echo "$1 does not listen on $port" >&2
  exit 1
}

read -r port pid < <(start "$build/brindle-server" 18500)
pids+=("$pid")
servers=("this:$port:$pid")
if [ -n "$other" ]; then
  read -r other_port other_pid < <(start "$other" 18700)
  pids+=("$other_pid")
  servers+=("other:$other_port:$other_pid")
fi

median() { sort -g | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }

results=$(mktemp)
for round in $(seq "$rounds"); do
  # Alternate which server goes first.
  order=("${servers[@]}")
  [ $((round % 2)) -eq 0 ] && [ ${#servers[@]} -eq 2 ] && order=("${servers[1]}" "${servers[0]}")
  for server in "${order[@]}"; do
    IFS=: read -r name server_port server_pid <<<"$server"
    "$build/bench/brindle_probe" body --port "$server_port" --pid "$server_pid" --mib 32 --mixed 1 --rounds 3 |
      sed "s/^/$name /" >>"$results"
  done
done

grep -m1 "body:" "$results" | cut -d' ' -f2-
for server in "${servers[@]}"; do
  name=${server%%:*}
  printf '%-6s %8.1f MiB/s end to end, %6.1f ms of server CPU per request (medians of %d rounds)\n' "$name" \
    "$(awk -v n="$name" '$1 == n && /request bytes per second/ { print $(NF - 1) }' "$results" | median)" \
    "$(awk -v n="$name" '$1 == n && /server CPU time/ { print $(NF - 1) }' "$results" | median)" "$rounds"
done
rm -f "$results"
