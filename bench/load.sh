#!/usr/bin/env bash
# Load figures for brindle-server, side by side with nginx answering the same health body, in one run:
#   bench/load.sh                          5 rounds of 5 s per wrk scenario, then the probe scenarios
#   ROUNDS=3 SECONDS_PER_RUN=10 bench/load.sh
#
# Installs what it needs (scripts/install-deps.sh --bench), builds Release into build-bench, starts
# brindle-server and two nginx servers configured here in a temporary directory, all on 127.0.0.1, and
# runs the same wrk scenarios against each for several rounds. The runs whose rates are compared follow each
# other, in an order that alternates from round to round, and each ratio is the median of the rounds' ratios,
# so that a noisy neighbour on a shared machine weighs on both sides alike. Then the figures of
# bench/brindle_probe. Everything it starts is stopped on the way out.
#
# The reference nginx runs one worker per core (worker_processes auto): brindle-server's connection threads
# use every core, so nginx may as well. A one-worker nginx is shown beside it at 64 connections. Both also
# listen on a second port with backlog 16, brindle-server's, for the burst test.
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${ROUNDS:-5}
seconds=${SECONDS_PER_RUN:-5}
build=build-bench

scripts/install-deps.sh --bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRINDLE_TESTS=OFF -DBRINDLE_BENCH=ON >/dev/null
ninja -C "$build" -j2 brindle-server brindle_probe >/dev/null

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

is_listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

free_port() {
  local port
  for port in $(seq "$1" $(($1 + 200))); do
    is_listening "$port" || { echo "$port"; return; }
  done
  echo "no free port from $1" >&2
  exit 1
}

await_port() {
  local try
  for try in $(seq 100); do
    is_listening "$1" && return
    sleep 0.05
  done
  echo "nothing listens on $1" >&2
  exit 1
}

brindle_port=$(free_port 18300)
"$build/brindle-server" serve --port "$brindle_port" 2>"$work/brindle.log" &
brindle_pid=$!
pids+=("$brindle_pid")
await_port "$brindle_port"

# start_nginx NAME WORKERS PORT [PORT_WITH_BACKLOG_16]: an nginx answering every path as /health is answered.
start_nginx() {
  local name=$1 workers=$2 port=$3 small_backlog_port=${4:-} dir=$work/$1
  mkdir -p "$dir"
  cat >"$dir/nginx.conf" <<CONF
worker_processes $workers;
daemon off;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  client_body_temp_path $dir/body;
  proxy_temp_path $dir/proxy;
  fastcgi_temp_path $dir/fastcgi;
  uwsgi_temp_path $dir/uwsgi;
  scgi_temp_path $dir/scgi;
  # brindle-server never closes a keep-alive connection; nginx's default closes one every 1,000 requests.
  keepalive_requests 100000000;
  server {
    listen 127.0.0.1:$port;
    ${small_backlog_port:+listen 127.0.0.1:$small_backlog_port backlog=16;}
    location / { default_type application/json; return 200 '{"status":"ok"}'; }
  }
}
CONF
  nginx -e "$dir/error.log" -p "$dir" -c "$dir/nginx.conf" &
  pids+=($!)
  await_port "$port"
}

nginx_port=$(free_port $((brindle_port + 1)))
nginx_backlog16_port=$(free_port $((nginx_port + 1)))
start_nginx nginx auto "$nginx_port" "$nginx_backlog16_port"
nginx1_port=$(free_port $((nginx_backlog16_port + 1)))
nginx1_backlog16_port=$(free_port $((nginx1_port + 1)))
start_nginx nginx1 1 "$nginx1_port" "$nginx1_backlog16_port"

# A 200-byte chat request; the built-in model answers it at once.
cat >"$work/post.lua" <<'LUA'
wrk.method = "POST"
wrk.headers["Content-Type"] = "application/json"
wrk.body = '{"model":"brindle-core","messages":[{"role":"user","content":"Please write a short note to the team about moving the weekly planning meeting from Monday morning to Tuesday at ten, if that is fine."}]}'
LUA

load_average() { cut -d' ' -f1-3 /proc/loadavg; }

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), kernel $(uname -r)"
echo "load average before: $(load_average)"

# Milliseconds from a wrk latency such as 35.00us, 1.20ms or 2.01s.
to_ms() {
  awk -v v="$1" 'BEGIN {
    if (v ~ /us$/) printf "%.3f", substr(v, 1, length(v) - 2) / 1000;
    else if (v ~ /ms$/) printf "%.3f", substr(v, 1, length(v) - 2);
    else if (v ~ /s$/) printf "%.3f", substr(v, 1, length(v) - 1) * 1000;
    else printf "%s", v }'
}

results="$work/results"
: >"$results"

# run ROUND SCENARIO SERVER THREADS CONNECTIONS PATH [LUA]: one wrk run, one line of results.
run() {
  local round=$1 scenario=$2 server=$3 threads=$4 connections=$5 path=$6 script=${7:-} port
  case "$server" in
    brindle) port=$brindle_port ;;
    nginx) port=$nginx_port ;;
    nginx1) port=$nginx1_port ;;
  esac
  local args=(-t"$threads" -c"$connections" -d"${seconds}s" --latency)
  [ -n "$script" ] && args+=(-s "$script")
  local out rate p50 p99
  out=$(wrk "${args[@]}" "http://127.0.0.1:$port$path")
  rate=$(awk '/^Requests\/sec:/ { print $2 }' <<<"$out")
  p50=$(to_ms "$(awk '$1 == "50%" { print $2 }' <<<"$out")")
  p99=$(to_ms "$(awk '$1 == "99%" { print $2 }' <<<"$out")")
  if grep -qE 'Non-2xx|Socket errors' <<<"$out"; then
    echo "warning: $scenario on $server:" >&2
    grep -E 'Non-2xx|Socket errors' <<<"$out" >&2
  fi
  echo "$round $scenario $server $rate $p50 $p99" >>"$results"
}

# in_order ROUND ITEM...: the items, reversed in even rounds.
in_order() {
  local round=$1
  shift
  if [ $((round % 2)) -eq 1 ]; then echo "$@"; else echo "$@" | tr ' ' '\n' | tac | tr '\n' ' '; fi
}

# One round. The runs whose rates are compared follow each other, so that they meet the same neighbours.
run_round() {
  local round=$1 item
  for item in $(in_order "$round" nginx:health brindle:health brindle:chat); do
    case $item in
      nginx:health) run "$round" health-c1 nginx 1 1 /health ;;
      brindle:health) run "$round" health-c1 brindle 1 1 /health ;;
      brindle:chat) run "$round" chat-c1 brindle 1 1 /v1/chat/completions "$work/post.lua" ;;
    esac
  done
  for item in $(in_order "$round" nginx nginx1 brindle); do run "$round" health-c64 "$item" 2 64 /health; done
  for item in $(in_order "$round" health chat); do
    case $item in
      health) run "$round" health-c16 brindle 2 16 /health ;;
      chat) run "$round" chat-c16 brindle 2 16 /v1/chat/completions "$work/post.lua" ;;
    esac
  done
}

overflows() { awk '/^TcpExt:/ { if (!n) { for (i = 1; i <= NF; i++) if ($i == "ListenOverflows") c = i; n = 1 } else print $c }' /proc/net/netstat; }
overflows_before=$(overflows)
for round in $(seq "$rounds"); do
  echo "round $round of $rounds ($seconds s per run)..."
  run_round "$round"
done
overflows_during_wrk=$(($(overflows) - overflows_before))

median_of() {
  sort -g | awk '{ a[NR] = $1 } END { if (NR == 0) print 0; else if (NR % 2) print a[(NR + 1) / 2]; else print (a[NR / 2] + a[NR / 2 + 1]) / 2 }'
}

# median SCENARIO SERVER COLUMN (4 rate, 5 p50, 6 p99)
median() { awk -v s="$1" -v v="$2" -v c="$3" '$2 == s && $3 == v { print $c }' "$results" | median_of; }

# The median over the rounds of brindle's rate divided by the reference's rate in the same round: a
# neighbour that slowed one round down slows both sides of its ratio.
median_ratio() {
  awk -v s="$1" -v r="$2" -v rs="$3" '
    $2 == s && $3 == "brindle" { b[$1] = $4 }
    $2 == rs && $3 == r { ref[$1] = $4 }
    END { for (k in b) if (ref[k] > 0) print b[k] / ref[k] }' "$results" | median_of
}

# row LABEL SCENARIO REFERENCE_SERVER REFERENCE_SCENARIO: brindle's figures beside the reference's.
row() {
  local label=$1 scenario=$2 reference=$3 reference_scenario=$4
  printf '%-34s %-19s %9.0f %7.3f %7.3f %9.0f %7.3f %7.3f %6.2f\n' "$label" "$reference $reference_scenario" \
    "$(median "$reference_scenario" "$reference" 4)" "$(median "$reference_scenario" "$reference" 5)" \
    "$(median "$reference_scenario" "$reference" 6)" \
    "$(median "$scenario" brindle 4)" "$(median "$scenario" brindle 5)" "$(median "$scenario" brindle 6)" \
    "$(median_ratio "$scenario" "$reference" "$reference_scenario")"
}

echo
echo "wrk, median of $rounds rounds of $seconds s; rates in requests/s, latencies in ms;"
echo "ratio: the median of the rounds' ratios of brindle's rate to the reference's"
printf '%-34s %-19s %9s %7s %7s %9s %7s %7s %6s\n' "brindle scenario" "reference" "ref/s" p50 p99 "brindle/s" \
  p50 p99 ratio
row "GET /health, 1 conn" health-c1 nginx health-c1
row "GET /health, 64 conns, 2 threads" health-c64 nginx health-c64
row "GET /health, 64 conns, 2 threads" health-c64 nginx1 health-c64
row "POST chat, 1 conn" chat-c1 brindle health-c1
row "POST chat, 16 conns, 2 threads" chat-c16 brindle health-c16
echo "(nginx: one worker per core; nginx1: one worker; brindle: its own GET /health at the same concurrency)"
echo "goals: ratio >= 0.8 against nginx and against brindle's /health; p99 < 10 ms at 64 connections;"
echo "       chat p99 < 3 x its p50"
echo "listen queue overflows during the wrk runs (all servers, all of TCP): $overflows_during_wrk"
echo
echo "every wrk run (round scenario server rate p50 p99):"
sed 's/^/  /' "$results"
echo

probe=$build/bench/brindle_probe
"$probe" streams --port "$brindle_port" --streams 16 --words 50 --rounds 20
for port in "$brindle_port" "$nginx1_backlog16_port" "$nginx_backlog16_port" "$nginx_port"; do
  case "$port" in
    "$brindle_port") echo "brindle-server (backlog 16, one accept thread):" ;;
    "$nginx1_backlog16_port") echo "nginx, one worker, backlog 16:" ;;
    "$nginx_backlog16_port") echo "nginx, one worker per core, backlog 16:" ;;
    *) echo "nginx, one worker per core, its default backlog (511):" ;;
  esac
  "$probe" burst --port "$port" --clients 64 --rounds 5
done
"$probe" idle --port "$brindle_port" --pid "$brindle_pid" --connections 1000 --samples 200
"$probe" body --port "$brindle_port" --pid "$brindle_pid" --mib 8 --rounds 10
"$probe" memory --port "$brindle_port" --pid "$brindle_pid" --requests 50 --mib 1 --parallel 5
echo
echo "load average after: $(load_average)"
