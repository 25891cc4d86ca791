#!/usr/bin/env bash
# Loads the helper's API with wrk on loopback (8 connections, 10 s each, one request per
# connection) and prints the requests per second and the 99th-percentile latency of:
#   GET /status              (no authentication),
#   GET /services/rigctld    (behind the bearer gate, with a paired client's token), and
#   GET /status from nginx   (one worker serving the same bytes as a file, when nginx is installed),
# with the gated route's and nginx's rates next to /status's. Both servers run on one core (the
# last one) and wrk on the others. Runs the helper of the build in $BUILD_DIR (default "build"; a
# Release build gives the figures that matter) in a throw-away home. The client is paired while
# pairing is not required (a local request is approved at once), then the helper is started again
# with pairing required.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
cmake --build "$build" --target cordavelle-helper >/dev/null

scratch=$(mktemp -d)
helper_pid=
nginx_pid=
server_pid=
stop_helper() {
  if [ -n "$helper_pid" ]; then kill "$helper_pid" 2>/dev/null || true; wait "$helper_pid" 2>/dev/null || true; fi
  helper_pid=
}
cleanup() {
  stop_helper
  if [ -n "$nginx_pid" ]; then kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

# The servers share one core; wrk gets the rest.
cores=$(nproc)
server_core=$((cores - 1))
load_cores=0-$((cores > 1 ? cores - 2 : 0))

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
    taskset -c "$server_core" "$build/src/cordavelle-helper" --headless >/dev/null 2>>"$scratch/helper.log" &
  helper_pid=$!
  server_pid=$helper_pid
  for _ in $(seq 100); do
    port_in_use "$port" && return 0
    sleep 0.1
  done
  echo "helper did not listen on $port" >&2
  cat "$scratch/helper.log" >&2
  exit 1
}

# Processor time (user and system) that process $1 has used, in clock ticks.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

# Loads $path of the server $server_pid; prints the rate and leaves wrk's report in wrk.txt and
# the server's processor time per request (µs), which the machine's other load disturbs less, in
# cpu.txt.
load() {
  local before after
  before=$(cpu_ticks "$server_pid")
  taskset -c "$load_cores" wrk -t 4 -c 8 -d 10s --latency -H "Connection: close" "$@" "http://127.0.0.1:$port$path" >"$scratch/wrk.txt"
  after=$(cpu_ticks "$server_pid")
  grep -E 'Non-2xx|Socket errors' "$scratch/wrk.txt" || true
  awk -v t="$(getconf CLK_TCK)" -v d=$((after - before)) '/ requests in / { printf "%.1f", d / t * 1e6 / $1 }' \
    "$scratch/wrk.txt" >"$scratch/cpu.txt"
  awk '/^Requests\/sec:/ {print $2}' "$scratch/wrk.txt"
}
# What a load gave besides the rate.
report() { echo "p99 latency $(awk '$1 == "99%" {print $2}' "$scratch/wrk.txt"), $(cat "$scratch/cpu.txt") µs CPU per request"; }

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
echo "GET /status: $status_rate requests/s, $(report)"
status_cpu=$(cat "$scratch/cpu.txt")
path=/services/rigctld
gated_rate=$(load -H "Authorization: Bearer $token")
echo "GET /services/rigctld (gated): $gated_rate requests/s, $(report)"
awk -v g="$gated_rate" -v s="$status_rate" 'BEGIN { printf "gated / status: %.0f %%\n", 100 * g / s }'

# nginx with one worker, its default access log and no keep-alive, serving the bytes of the
# helper's /status reply body from a file.
command -v nginx >/dev/null || { echo "nginx is not installed (scripts/deps test installs it)"; exit 0; }
mkdir -p "$scratch/www" "$scratch/nginx"
curl -sf "http://127.0.0.1:$port/status" >"$scratch/www/status"
stop_helper
cat >"$scratch/nginx/nginx.conf" <<CONF
worker_processes 1;
master_process off;
daemon off;
pid $scratch/nginx/nginx.pid;
error_log $scratch/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log $scratch/nginx/access.log;
  client_body_temp_path $scratch/nginx;
  proxy_temp_path $scratch/nginx;
  fastcgi_temp_path $scratch/nginx;
  uwsgi_temp_path $scratch/nginx;
  scgi_temp_path $scratch/nginx;
  keepalive_timeout 0;
  server {
    listen 127.0.0.1:$port;
    root $scratch/www;
    location = /status { default_type application/json; }
  }
}
CONF
taskset -c "$server_core" nginx -e "$scratch/nginx/error.log" -p "$scratch/nginx" -c "$scratch/nginx/nginx.conf" &
nginx_pid=$!
server_pid=$nginx_pid
for _ in $(seq 100); do
  port_in_use "$port" && break
  sleep 0.1
done
path=/status
nginx_rate=$(load)
echo "GET /status from nginx: $nginx_rate requests/s, $(report)"
awk -v h="$status_rate" -v n="$nginx_rate" -v hc="$status_cpu" -v nc="$(cat "$scratch/cpu.txt")" \
  'BEGIN { printf "helper / nginx: %.2f by rate, %.2f by CPU per request\n", h / n, nc / hc }'
