#!/usr/bin/env bash
# Loads the helper's API on loopback the way clients poll it, and nginx serving the same bytes:
# wrk with HTTP/1.1 keep-alive, 2 threads, 8 connections. The helper serves one request per
# connection and answers each with "Connection: close", so wrk connects anew for every request;
# nginx is measured twice, keeping its connections and, as the helper does, closing each after
# one request (wrk sending "Connection: close"). Every server runs on one core (the last one), wrk
# on the others.
#
# Routes, each in three alternating 3 s rounds (median printed):
#   GET /status                (no authentication)
#   GET /services/rigctld      (pairing required, with a paired client's bearer token)
# for the helper headless and with its management window open (offscreen platform), and both
# routes from nginx (one worker, its default access log, the helper's replies as static files).
# Then, with the window open, a client's pace: two polls a second for 10 s, of /status and of the
# gated route in alternating rounds, and the helper's processor time per poll (all its threads,
# from /proc/<pid>/task/*/schedstat).
#
# Usage: bench/http_status.sh [build-dir ...]
# The default build folder is build-run, the optimised build of scripts/run; a folder that is not
# configured yet is configured the same way (RelWithDebInfo) and the helper built in it. With
# several build folders, their rounds alternate too, so figures taken before and after a change
# come from the same machine at the same time. BENCH_ROUNDS sets the number of rounds.
# Needs wrk, nginx, curl and python3 (scripts/deps test installs them).
set -euo pipefail
cd "$(dirname "$0")/.."
for tool in wrk curl python3 taskset; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed (scripts/deps test installs it)" >&2; exit 1; }
done
# Debian keeps nginx in /usr/sbin, which an ordinary user's PATH may leave out.
nginx=$(PATH="$PATH:/usr/sbin" command -v nginx) ||
  { echo "nginx is not installed (scripts/deps test installs it)" >&2; exit 1; }
builds=("$@")
[ ${#builds[@]} -gt 0 ] || builds=("${BUILD_DIR:-build-run}")
for build in "${builds[@]}"; do
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHELPER_BUILD_TESTS=OFF \
      -DHELPER_BUILD_BENCH=OFF >/dev/null
  fi
  cmake --build "$build" --target cordavelle-helper >/dev/null
done

scratch=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  [ -n "${BENCH_KEEP:-}" ] && echo "kept $scratch" >&2 || rm -rf "$scratch"
}
trap cleanup EXIT

cores=$(nproc)
server_core=$((cores - 1))
load_cores=0-$((cores > 1 ? cores - 2 : 0))
rounds=${BENCH_ROUNDS:-3}
seconds=3

port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
free_port() {
  local candidate
  for _ in $(seq 50); do
    candidate=$((20000 + RANDOM % 30000))
    if ! port_in_use "$candidate"; then echo "$candidate"; return 0; fi
  done
  echo "no free port found" >&2
  exit 1
}
wait_for_port() {
  for _ in $(seq 150); do
    port_in_use "$1" && return 0
    sleep 0.1
  done
  echo "nothing listens on $1" >&2
  return 1
}

# The settings of a helper on port $2 in the throw-away home $1, pairing not required yet.
write_settings() {
  mkdir -p "$1/config/cordavelle-helper" "$1/data" "$1/home"
  cat >"$1/config/cordavelle-helper/com.cordavelle.helper.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
  <key>apiPort</key><integer>$2</integer>
  <key>requirePairing</key><false/>
  <key>hasCompletedHelperSetup</key><true/>
  <key>bundleMigrationCompleted_v1</key><true/>
</dict></plist>
PLIST
}
# A helper of build $2 in home $1, window open when $3 is "window". No session bus: the tokens go
# to the helper's file store in that home, never to the desktop's keyring. The tools root keeps
# the helper's start-up sweep (pkill rigctld, wineserver -k) off this machine.
launch_helper() {
  local home=$1 build=$2 mode=$3
  local -a how=(--headless)
  local -a platform=(-u DISPLAY -u WAYLAND_DISPLAY)
  if [ "$mode" = window ]; then how=(); platform+=(QT_QPA_PLATFORM=offscreen); fi
  env -u DBUS_SESSION_BUS_ADDRESS "${platform[@]}" XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" \
    HOME="$home/home" CORDAVELLE_HELPER_TOOLS_ROOT="$home/tools" \
    taskset -c "$server_core" "$build/src/cordavelle-helper" "${how[@]}" >/dev/null 2>>"$home/helper.log" &
  launched=$!
}
# Starts helper $1 (build $2, mode $3) with a paired client: paired while pairing is not required
# (a local request is approved at once), then started again with pairing required.
declare -A pid_of port_of token_of
start_helper() {
  local name=$1 build=$2 mode=$3 home="$scratch/$1" port
  port=$(free_port)
  write_settings "$home" "$port"
  launch_helper "$home" "$build" headless
  wait_for_port "$port" || { cat "$home/helper.log" >&2; exit 1; }
  curl -sf -X POST --data '{"clientId":"bench","hostname":"bench","platform":"linux"}' \
    "http://127.0.0.1:$port/pair/request" >/dev/null
  token_of[$name]=$(curl -sf "http://127.0.0.1:$port/pair/status/bench" |
    python3 -c 'import json, sys; print(json.load(sys.stdin)["token"])')
  kill "$launched"; wait "$launched" 2>/dev/null || true
  python3 - "$home/config/cordavelle-helper/com.cordavelle.helper.plist" <<'PY'
import plistlib, sys
with open(sys.argv[1], "rb") as f:
    settings = plistlib.load(f)
settings["requirePairing"] = True
with open(sys.argv[1], "wb") as f:
    plistlib.dump(settings, f)
PY
  launch_helper "$home" "$build" "$mode"
  pids+=("$launched")
  wait_for_port "$port" || { cat "$home/helper.log" >&2; exit 1; }
  pid_of[$name]=$launched
  port_of[$name]=$port
}

# nginx on one core, serving helper $1's replies to both routes as they are now.
start_nginx() {
  local dir="$scratch/nginx" port
  port=$(free_port)
  mkdir -p "$dir/www/services"
  curl -sf "http://127.0.0.1:${port_of[$1]}/status" >"$dir/www/status"
  curl -sf -H "Authorization: Bearer ${token_of[$1]}" "http://127.0.0.1:${port_of[$1]}/services/rigctld" \
    >"$dir/www/services/rigctld"
  cat >"$dir/nginx.conf" <<CONF
worker_processes 1;
master_process off;
daemon off;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 1024; }
http {
  access_log $dir/access.log;
  client_body_temp_path $dir;
  proxy_temp_path $dir;
  fastcgi_temp_path $dir;
  uwsgi_temp_path $dir;
  scgi_temp_path $dir;
  server {
    listen 127.0.0.1:$port;
    root $dir/www;
    location / { default_type application/json; }
  }
}
CONF
  taskset -c "$server_core" "$nginx" -e "$dir/error.log" -p "$dir" -c "$dir/nginx.conf" &
  pids+=("$!")
  pid_of[nginx]=$!
  port_of[nginx]=$port
  wait_for_port "$port"
}

# Processor time (ns) that process $1 has used so far, all its threads.
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ sum += $1 } END { printf "%.0f", sum }'; }

# One round of server $1 at path $2 (extra wrk arguments after): appends "rate cpu-µs-per-request"
# to $scratch/<server>:<label>.
round() {
  local name=$1 label=$2 path=$3
  shift 3
  local before after
  before=$(cpu_ns "${pid_of[$name]}")
  taskset -c "$load_cores" wrk -t 2 -c 8 -d "${seconds}s" "$@" "http://127.0.0.1:${port_of[$name]}$path" \
    >"$scratch/wrk.txt"
  after=$(cpu_ns "${pid_of[$name]}")
  if grep -qE 'Non-2xx|Socket errors' "$scratch/wrk.txt"; then
    echo "$name $label: $(grep -E 'Non-2xx|Socket errors' "$scratch/wrk.txt" | tr -s ' ')" >&2
  fi
  awk -v d=$((after - before)) '/ requests in / { n = $1 } /^Requests\/sec:/ { r = $2 }
    END { printf "%s %.2f\n", r, d / 1000 / n }' "$scratch/wrk.txt" >>"$scratch/$name:$label"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
rate_of() { awk '{ print $1 }' "$scratch/$1:$2" | median; }
cpu_of() { awk '{ print $2 }' "$scratch/$1:$2" | median; }

# Polls server $1 at path $2 (header $3, if any) two times a second for 10 s (a new connection each
# time, as the helper closes them); appends the helper's processor time per poll (µs) to
# $scratch/<server>:poll<label $4>.
poll_round() {
  local name=$1 path=$2 header=$3 pid=${pid_of[$1]} before after
  before=$(cpu_ns "$pid")
  python3 - "${port_of[$name]}" "$path" "$header" <<'PY'
import socket, sys, time
port, path, header = int(sys.argv[1]), sys.argv[2], sys.argv[3]
extra = header + "\r\n" if header else ""
request = f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n{extra}\r\n".encode()
start = time.monotonic()
for i in range(20):
    time.sleep(max(0.0, start + i * 0.5 - time.monotonic()))
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.sendall(request)
        while s.recv(65536):
            pass
# Whatever a poll sets going later (the last-seen time written a second after) counts too.
time.sleep(max(0.0, start + 11 - time.monotonic()))
PY
  after=$(cpu_ns "$pid")
  echo $(((after - before) / 20 / 1000)) >>"$scratch/$name:poll$4"
}

index=0
for build in "${builds[@]}"; do
  start_helper "h$index" "$build" headless
  start_helper "w$index" "$build" window
  index=$((index + 1))
done
start_nginx h0

for r in $(seq "$rounds"); do
  for i in $(seq 0 $((${#builds[@]} - 1))); do
    for mode in h w; do
      round "$mode$i" status /status
      round "$mode$i" gated /services/rigctld -H "Authorization: Bearer ${token_of[$mode$i]}"
    done
  done
  round nginx status /status
  round nginx gated /services/rigctld
  round nginx status-close /status -H "Connection: close"
  round nginx gated-close /services/rigctld -H "Connection: close"
done

echo "nginx, one worker on one core:"
for route in status gated; do
  path=/status
  [ "$route" = gated ] && path=/services/rigctld
  printf '  GET %-18s keep-alive %8.0f requests/s (%5.1f µs CPU each), a connection per request %8.0f requests/s (%5.1f µs CPU each)\n' \
    "$path" "$(rate_of nginx "$route")" "$(cpu_of nginx "$route")" "$(rate_of nginx "$route-close")" "$(cpu_of nginx "$route-close")"
done
for i in $(seq 0 $((${#builds[@]} - 1))); do
  echo "== ${builds[$i]} (a connection per request, as the helper serves)"
  for mode in h w; do
    what=headless
    [ "$mode" = w ] && what="window open"
    for route in status gated; do
      path=/status
      [ "$route" = gated ] && path="/services/rigctld (pairing required, bearer token)"
      awk -v r="$(rate_of "$mode$i" "$route")" -v c="$(cpu_of "$mode$i" "$route")" \
        -v k="$(rate_of nginx "$route")" -v n="$(rate_of nginx "$route-close")" -v what="$what" -v path="$path" \
        'BEGIN { printf "  %s: GET %s %.0f requests/s (%.1f µs CPU each): %.2f of nginx with keep-alive, %.2f of nginx with a connection per request\n", what, path, r, c, r / k, r / n }'
    done
    awk -v s="$(rate_of "$mode$i" status)" -v g="$(rate_of "$mode$i" gated)" -v what="$what" \
      'BEGIN { printf "  %s: gated / /status %.2f\n", what, g / s }'
  done
done

# A client's pace, with the window open: alternating rounds of an open /status poll and a gated one.
for r in $(seq "$rounds"); do
  for i in $(seq 0 $((${#builds[@]} - 1))); do
    poll_round "w$i" /status "" status
    poll_round "w$i" /services/rigctld "Authorization: Bearer ${token_of[w$i]}" gated
  done
done
for i in $(seq 0 $((${#builds[@]} - 1))); do
  status_poll=$(median <"$scratch/w$i:pollstatus")
  gated_poll=$(median <"$scratch/w$i:pollgated")
  awk -v s="$status_poll" -v g="$gated_poll" -v b="${builds[$i]}" 'BEGIN {
    printf "%s, window open, two polls a second: GET /status %d µs CPU per poll, gated %d µs (%.1f times)\n", b, s, g, g / s }'
done
