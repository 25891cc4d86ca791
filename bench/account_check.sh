#!/usr/bin/env bash
# Runs bench/account_check_bench with a generated user and group database of ACCOUNTS accounts
# (200000 by default), each with a group of its own, in place of the machine's: in a mount
# namespace of its own, the generated files are mounted over /etc/passwd and /etc/group, so that
# the system's readers walk them and nothing else on the machine sees them. Needs root.
#
# Usage: bench/account_check.sh [build-dir]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
accounts=${ACCOUNTS:-200000}
[ "$(id -u)" -eq 0 ] || { echo "bench/account_check.sh needs root (it mounts the generated database)" >&2; exit 1; }
cmake --build "$build" --target account_check_bench >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp /etc/passwd "$work/passwd"
cp /etc/group "$work/group"
awk -v n="$accounts" 'BEGIN { for (i = 1; i <= n; i++) printf "gen%06d:x:%d:%d::/nonexistent:/usr/sbin/nologin\n", i, 200000 + i, 200000 + i }' >>"$work/passwd"
awk -v n="$accounts" 'BEGIN { for (i = 1; i <= n; i++) printf "gen%06d:x:%d:\n", i, 200000 + i }' >>"$work/group"
chmod 0644 "$work/passwd" "$work/group"
echo "bench/account_check.sh: $(wc -l <"$work/passwd") accounts, $(wc -l <"$work/group") groups"
unshare --mount --propagation private bash -c '
  mount --bind "$1/passwd" /etc/passwd
  mount --bind "$1/group" /etc/group
  exec "$2" --benchmark_min_time=2
' bash "$work" "$build/bench/account_check_bench"
