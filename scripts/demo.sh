#!/usr/bin/env bash
# `make demo`: runs mirvo on the stand-in device as the camera would, records about five
# seconds of the main stream with audio into recordings/demo.avi, stops at a key frame
# (stop mode 1), ends mirvo with SIGINT and shows what the file holds. Leaves no process
# behind, also when interrupted.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=build/bin
mkdir -p recordings
rm -f recordings/demo.avi

work=$(mktemp -d)
export QEL_BUS="$work/bus.sock" QEL_PACE=realtime
pid=""
finish() {
  if [[ -n "$pid" ]] && kill -0 "$pid" 2>/dev/null; then
    kill -INT "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap finish EXIT
trap 'exit 130' INT TERM

"$bin/mirvo" > >(tee "$work/mirvo.log" | sed -u 's/^/  mirvo | /') 2>&1 &
pid=$!
for _ in $(seq 100); do [[ -S "$QEL_BUS" ]] && break; sleep 0.05; done
[[ -S "$QEL_BUS" ]] || { echo "demo: mirvo did not start its message bus" >&2; exit 1; }

echo "demo: start recording into recordings/demo.avi"
"$bin/mirvoctl" start recordings/demo.avi --audio 1
sleep 5
echo "demo: stop at the next key frame"
"$bin/mirvoctl" stop --mode 1
# The key frame comes within a second; then the file is closed.
for _ in $(seq 50); do grep -q '^\[avi_close\]' "$work/mirvo.log" && break; sleep 0.1; done
echo "demo: end mirvo with SIGINT"
kill -INT "$pid"
wait "$pid" || true
pid=""

echo
echo "demo: recordings/demo.avi holds:"
if [[ -x "$bin/mirvo-avi" ]]; then
  "$bin/mirvo-avi" info recordings/demo.avi
else
  ffprobe -v error -count_packets -show_entries \
    stream=codec_type,codec_name,width,height,r_frame_rate,nb_read_packets,sample_rate,channels:format=duration,size \
    -of default=noprint_wrappers=1 recordings/demo.avi
fi
