#!/usr/bin/env bash
# Loads GET /status of the helper's API with wrk on loopback (8 connections, 10 s) and prints the
# requests per second and the 99th-percentile latency. Runs the helper of the build in $BUILD_DIR
# (default "build"; a Release build gives the figures that matter) in a throw-away home, with
# pairing not required so that every reply is the full status.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
cmake --build "$build" --target cordavelle-helper >/dev/null

scratch=$(mktemp -d)
helper_pid=
cleanup() {
  if [ -n "$helper_pid" ]; then kill "$helper_pid" 2>/dev/null || true; wait "$helper_pid" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
port=
for _ in $(seq 50); do
  candidate=$((20000 + RANDOM % 30000))
  if ! port_in_use "$candidate"; then port=$candidate; break; fi
done
[ -n "$port" ] || { echo "no free port found" >&2; exit 1; }

mkdir -p "$scratch/config/cordavelle-helper" "$scratch/data" "$scratch/home"
cat >"$scratch/config/cordavelle-helper/com.cordavelle.helper.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
  <key>apiPort</key><integer>$port</integer>
  <key>requirePairing</key><false/>
  <key>bundleMigrationCompleted_v1</key><true/>
</dict></plist>
PLIST
# The tools root keeps the helper's start-up sweep (pkill rigctld, wineserver -k) off this machine.
XDG_CONFIG_HOME="$scratch/config" XDG_DATA_HOME="$scratch/data" HOME="$scratch/home" \
  CORDAVELLE_HELPER_TOOLS_ROOT="$scratch/tools" "$build/src/cordavelle-helper" >/dev/null 2>"$scratch/helper.log" &
helper_pid=$!
for _ in $(seq 100); do
  port_in_use "$port" && break
  sleep 0.1
done
port_in_use "$port" || { echo "helper did not listen on $port" >&2; cat "$scratch/helper.log" >&2; exit 1; }

wrk -t 4 -c 8 -d 10s --latency "http://127.0.0.1:$port/status" >"$scratch/wrk.txt"
grep -E 'Non-2xx|Socket errors' "$scratch/wrk.txt" || true
echo "requests/s: $(awk '/^Requests\/sec:/ {print $2}' "$scratch/wrk.txt")"
echo "p99 latency: $(awk '$1 == "99%" {print $2}' "$scratch/wrk.txt")"
