#!/usr/bin/env bash
# Loads GET /status of the API server with wrk on loopback (8 connections, 10 s) and prints the
# requests per second and the 99th-percentile latency. Uses the build in $BUILD_DIR (default
# "build"); a Release build gives the figures that matter.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
cmake --build "$build" --target http_status_server >/dev/null

scratch=$(mktemp -d)
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

# Settings and log of a throw-away home: nothing of the user's is read or changed.
mkdir -p "$scratch/config" "$scratch/data" "$scratch/home"
XDG_CONFIG_HOME="$scratch/config" XDG_DATA_HOME="$scratch/data" HOME="$scratch/home" \
  "$build/bench/http_status_server" >"$scratch/port" 2>"$scratch/server.log" &
server_pid=$!
for _ in $(seq 100); do
  grep -q '^listening ' "$scratch/port" 2>/dev/null && break
  sleep 0.1
done
port=$(sed -n 's/^listening //p' "$scratch/port")
[ -n "$port" ] || { echo "server did not start" >&2; cat "$scratch/server.log" >&2; exit 1; }

wrk -t 4 -c 8 -d 10s --latency "http://127.0.0.1:$port/status" >"$scratch/wrk.txt"
grep -E 'Non-2xx|Socket errors' "$scratch/wrk.txt" || true
echo "requests/s: $(awk '/^Requests\/sec:/ {print $2}' "$scratch/wrk.txt")"
echo "p99 latency: $(awk '$1 == "99%" {print $2}' "$scratch/wrk.txt")"
