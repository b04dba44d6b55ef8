#!/usr/bin/env bash
# `make demo`: installs what is missing of the few packages it needs, builds only mirvo, the
# stand-in device, mirvoctl and mirvo-avi (preset `demo`, in build-demo/), then runs mirvo on
# the stand-in as the camera would: records about five seconds of the main stream with
# audio into recordings/demo.avi, stops at a key frame (stop mode 1), ends mirvo with SIGINT
# and shows what the file holds. Prints its own lines and mirvo's; the package manager's and
# the build's output go to a log, shown when a step fails. Leaves no process behind, also
# when interrupted.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=build-demo/bin
mkdir -p recordings build-demo
log=build-demo/demo-build.log
: >"$log"

step_failed() {
  echo "demo: $1 failed; the last lines of $log:" >&2
  tail -n 40 "$log" >&2
  exit 1
}

# Only the script's own "installing ..." line reaches the terminal.
if ! scripts/install-deps.sh demo 2>&1 | tee -a "$log" | sed -un 's/^install-deps: /demo: /p'; then
  step_failed "installing the packages"
fi
echo "demo: building mirvo, the stand-in device, mirvoctl and mirvo-avi in build-demo/"
cmake --preset demo >>"$log" 2>&1 || step_failed "configuring the build"
cmake --build --preset demo -j "${JOBS:-$(nproc)}" >>"$log" 2>&1 || step_failed "building"

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

# The recorder resolves a relative name in its own working directory, which is this one;
# the full name spares mirvoctl's warning about that, where it fits the request's 63 bytes.
name=$PWD/recordings/demo.avi
(( ${#name} <= 63 )) || name=recordings/demo.avi
echo "demo: start recording into recordings/demo.avi"
"$bin/mirvoctl" start "$name" --audio 1
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
"$bin/mirvo-avi" info recordings/demo.avi
