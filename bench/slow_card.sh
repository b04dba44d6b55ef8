#!/usr/bin/env bash
# What a slow card costs a recording: mirvo records SECONDS (60) in real time onto a FUSE card
# (tests/support/failing_fs.py) whose every sync takes 0, 0.2, 0.7, 1 or 2 s, and once onto one
# whose sync stalls 15 s once; for each, the video frames kept against 25 a second, the frames
# the source skipped, and what mirvo said. Needs root (a mount namespace of its own) and
# python3-fusepy; run by bench/run. Figures only, no pass or fail.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${SECONDS_PER_RUN:-60}
bin=$PWD/build/bin
if [[ $(id -u) -ne 0 ]] || ! /usr/bin/python3 -c 'import fusepy' 2>/dev/null && ! /usr/bin/python3 -c 'import fuse' 2>/dev/null; then
  echo "slow_card: skipped (needs root and python3-fusepy)"
  exit 0
fi
if [[ -z "${MIRVO_SLOW_CARD_INSIDE:-}" ]]; then
  MIRVO_SLOW_CARD_INSIDE=1 exec unshare -m --propagation private "$0" "$@"
fi

work=$(mktemp -d)
trap 'umount "$work/card" 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/backing" "$work/card"
/usr/bin/python3 tests/support/failing_fs.py "$work/backing" "$work/card" "$work/state" >"$work/fs.log" 2>&1 &
for _ in $(seq 200); do grep -q " $work/card " /proc/self/mounts && break; sleep 0.05; done

export QEL_BUS="$work/bus.sock" QEL_PACE=realtime QEL_RING_SECONDS=10
printf '%-14s %8s %8s %8s  %s\n' "syncs take" "frames" "of" "skipped" "mirvo said"
run_one() {  # name, slow seconds, stall seconds
  rm -f "$work/state".*
  [[ "$2" != 0 ]] && echo "$2" >"$work/state.slow"
  "$bin/mirvo" >"$work/out.log" 2>"$work/err.log" &
  local pid=$!
  for _ in $(seq 100); do [[ -S "$QEL_BUS" ]] && break; sleep 0.05; done
  "$bin/mirvoctl" start "$work/card/$1.avi" --audio 1 >/dev/null
  for _ in $(seq 400); do grep -q "cur serial is" "$work/out.log" && break; sleep 0.05; done
  local started=$(date +%s.%N)
  if [[ "$3" != 0 ]]; then sleep 3; echo "$3" >"$work/state.stall"; sleep $((seconds - 3)); else sleep "$seconds"; fi
  local stopped=$(date +%s.%N)
  "$bin/mirvoctl" stop >/dev/null
  for _ in $(seq 1200); do [[ $(grep -c '^\[avi_close\]' "$work/out.log") -ge 1 ]] && ! ls -l /proc/$pid/fd 2>/dev/null | grep -q "$1.avi" && break; sleep 0.1; done
  kill -INT $pid; wait $pid || true
  local frames skipped expected
  frames=$("$bin/mirvo-avi" frames "$work/card/$1.avi" | grep -c '^video' || true)
  skipped=$({ grep -o 'skipped [0-9]*' "$work/err.log" || true; } | awk '{s += $2} END {print s + 0}')
  expected=$(awk -v a="$started" -v b="$stopped" 'BEGIN {print (b - a) * 25}')
  printf '%-14s %8s %8.0f %8s  %s\n' "$1" "$frames" "$expected" "$skipped" \
    "$({ grep "^mirvo:" "$work/err.log" || true; } | sed "s/^mirvo: //" | paste -sd "|" -)"
}
run_one "0 s" 0 0
run_one "0.2 s" 0.2 0
run_one "0.7 s" 0.7 0
run_one "1 s" 1 0
run_one "2 s" 2 0
run_one "15 s once" 0 15
