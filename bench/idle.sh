#!/usr/bin/env bash
# Idle cost of a running Kestrabo: resident memory after start-up and CPU over a quiet minute
# (goals: 80 MiB, 0.2 % of one core). It runs on a private X display with a private runtime
# directory and home, no keyring and no sound server, so nothing of yours is touched.
#   bench/idle.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
seconds=${2:-60}
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrabo-idle.XXXXXX")
pids=()
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 1280x800x24 +extension Composite -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
mkdir -m 700 "$work/runtime"
env -u WAYLAND_DISPLAY DISPLAY=":$(head -n1 "$work/display")" HOME="$work" XDG_RUNTIME_DIR="$work/runtime" \
  XDG_CONFIG_HOME="$work" DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus" PULSE_SERVER="unix:$work/no-pulse" \
  "$build/src/kestrabo" >/dev/null 2>&1 &
app=$!
pids+=($app)
sleep 5
ticks() { awk '{print $14 + $15}' "/proc/$app/stat"; }
start=$(ticks)
sleep "$seconds"
end=$(ticks)
rss=$(awk '/VmRSS/ {print $2}' "/proc/$app/status")
hz=$(getconf CLK_TCK)
awk -v rss="$rss" -v t=$((end - start)) -v hz="$hz" -v s="$seconds" 'BEGIN {
  printf "idle resident memory: %.1f MiB (goal 80)\n", rss / 1024
  printf "idle CPU over %d s: %.3f %% of one core (goal 0.2)\n", s, 100 * t / hz / s
}'
