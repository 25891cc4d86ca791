#!/usr/bin/env bash
# Loads the helper's API with wrk on loopback (8 connections, 10 s each, one request per
# connection) and prints the requests per second and the 99th-percentile latency of:
#   GET /status              (no authentication), and
#   GET /services/rigctld    (behind the bearer gate, with a paired client's token),
# and the gated route's rate as a share of /status's. Runs the helper of the build in $BUILD_DIR
# (default "build"; a Release build gives the figures that matter) in a throw-away home. The client
# is paired while pairing is not required (a local request is approved at once), then the helper
# is started again with pairing required.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
cmake --build "$build" --target cordavelle-helper >/dev/null

scratch=$(mktemp -d)
helper_pid=
stop_helper() {
  if [ -n "$helper_pid" ]; then kill "$helper_pid" 2>/dev/null || true; wait "$helper_pid" 2>/dev/null || true; fi
  helper_pid=
}
cleanup() { stop_helper; rm -rf "$scratch"; }
trap cleanup EXIT

port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
port=
for _ in $(seq 50); do
  candidate=$((20000 + RANDOM % 30000))
  if ! port_in_use "$candidate"; then port=$candidate; break; fi
done
[ -n "$port" ] || { echo "no free port found" >&2; exit 1; }

settings="$scratch/config/cordavelle-helper/com.cordavelle.helper.plist"
mkdir -p "$(dirname "$settings")" "$scratch/data" "$scratch/home"
cat >"$settings" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
  <key>apiPort</key><integer>$port</integer>
  <key>requirePairing</key><false/>
  <key>bundleMigrationCompleted_v1</key><true/>
</dict></plist>
PLIST

# No session bus: the tokens go to the helper's file store in the throw-away home, never to the
# desktop's keyring. The tools root keeps the helper's start-up sweep (pkill rigctld,
# wineserver -k) off this machine.
start_helper() {
  env -u DBUS_SESSION_BUS_ADDRESS XDG_CONFIG_HOME="$scratch/config" XDG_DATA_HOME="$scratch/data" \
    HOME="$scratch/home" CORDAVELLE_HELPER_TOOLS_ROOT="$scratch/tools" \
    "$build/src/cordavelle-helper" >/dev/null 2>>"$scratch/helper.log" &
  helper_pid=$!
  for _ in $(seq 100); do
    port_in_use "$port" && return 0
    sleep 0.1
  done
  echo "helper did not listen on $port" >&2
  cat "$scratch/helper.log" >&2
  exit 1
}

load() {
  wrk -t 4 -c 8 -d 10s --latency -H "Connection: close" "$@" "http://127.0.0.1:$port$path" >"$scratch/wrk.txt"
  grep -E 'Non-2xx|Socket errors' "$scratch/wrk.txt" || true
  awk '/^Requests\/sec:/ {print $2}' "$scratch/wrk.txt"
}

start_helper
curl -sf -X POST --data '{"clientId":"bench","hostname":"bench","platform":"linux"}' \
  "http://127.0.0.1:$port/pair/request" >/dev/null
token=$(curl -sf "http://127.0.0.1:$port/pair/status/bench" | python3 -c 'import json, sys; print(json.load(sys.stdin)["token"])')
stop_helper
python3 - "$settings" <<'PY'
import plistlib, sys
with open(sys.argv[1], "rb") as f:
    settings = plistlib.load(f)
settings["requirePairing"] = True
with open(sys.argv[1], "wb") as f:
    plistlib.dump(settings, f)
PY
start_helper

path=/status
status_rate=$(load)
echo "GET /status: $status_rate requests/s, p99 latency $(awk '$1 == "99%" {print $2}' "$scratch/wrk.txt")"
path=/services/rigctld
gated_rate=$(load -H "Authorization: Bearer $token")
echo "GET /services/rigctld (gated): $gated_rate requests/s, p99 latency $(awk '$1 == "99%" {print $2}' "$scratch/wrk.txt")"
awk -v g="$gated_rate" -v s="$status_rate" 'BEGIN { printf "gated / status: %.0f %%\n", 100 * g / s }'
