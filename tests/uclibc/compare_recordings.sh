#!/usr/bin/env bash
# mirvo built for uClibc, under the emulator, against the reference build's mirvo: each
# records two parts from its stand-in frame source, driven by the host's mirvoctl over the
# real socket; the files must be the same bytes and read back the same, and the two must
# print the same lines (but for the build date and the lines that tell the time).
#
# Which frames a part holds must not depend on timing. The stand-in names the same frame
# with the same serial in every run, and at QEL_FPS=4 its clips (a key frame every 25
# pictures) give a key frame every 6.25 s of its clock, the first at serial 1. Part 1 starts
# within the first seconds, so at the newest key frame, serial 1; a stop in mode 1 ends it at
# the key frame of 6.25 s. Part 2 (the sub stream, no audio, --parttime 1) continues at that
# key frame, and a second stop in mode 1 ends it at the key frame of 12.5 s. Each stop is
# sent a second after its part began, long before the key frame that ends it.
source "$(dirname "$0")/builds.sh"

# wait_for FILE TEXT COUNT: until FILE holds COUNT lines with TEXT (at most 30 s).
wait_for() {
  local tries
  for ((tries = 0; tries < 600; ++tries)); do
    [[ $(grep -cF -- "$2" "$1" 2>/dev/null || true) -ge $3 ]] && return 0
    sleep 0.05
  done
  echo "timed out waiting for '$2' (x$3) in $1"
  return 1
}

# record_parts DIR MIRVO...: starts the recorder (the command MIRVO...) on its own bus in
# DIR and records part1.avi and part2.avi there; its output goes to DIR/out and DIR/err.
record_parts() (
  dir=$1
  shift
  mkdir "$dir"
  QEL_PACE=realtime QEL_FPS=4 QEL_RING_SECONDS=60 QEL_AUDIO=tone QEL_BUS="$dir/bus.sock" \
    "$@" >"$dir/out" 2>"$dir/err" </dev/null &
  pid=$!
  trap 'kill -KILL $pid 2>/dev/null || true' EXIT
  ctl() { QEL_BUS="$dir/bus.sock" "$REFERENCE/bin/mirvoctl" "$@"; }
  tries=0
  while [[ ! -S "$dir/bus.sock" ]] && ((tries++ < 600)); do sleep 0.05; done

  ctl start "$dir/part1.avi" --fps 4 --size 640x360 &&
    wait_for "$dir/out" "cur serial is" 1 && sleep 1 && ctl stop --mode 1 &&
    wait_for "$dir/out" "[avi_close]" 1 &&
    ctl start "$dir/part2.avi" --stream 1 --audio 0 --parttime 1 --fps 4 --size 320x180 &&
    wait_for "$dir/out" "cur serial is" 2 && sleep 1 && ctl stop --mode 1 &&
    wait_for "$dir/out" "[avi_close]" 2 || return 1
  kill -INT $pid
  wait $pid
)

# What a recorder printed, without what depends on the build or the moment: the build date,
# the lines of the wait for the first key frame and of the source's current serial, and the
# serial at which a start request came (the key frame found before it is the same); with its
# folder's name replaced.
steady_lines() {
  grep -v -e '^\[mirvo\] ' -e '^\[record_avi\]: ret is ' -e '^cur serial is ' "$1/out" |
    sed -e "s|$1/|DIR/|g" -e 's/start request at serial -\{0,1\}[0-9]*,/start request at serial N,/'
}

record_parts "$work/reference" "$REFERENCE/bin/mirvo" &
reference_job=$!
# shellcheck disable=SC2086 # the emulator's words
record_parts "$work/ours" $EMULATOR "$OURS/bin/mirvo" &
our_job=$!
check "the reference mirvo records both parts and exits with 0" wait $reference_job
check "our mirvo records both parts and exits with 0" wait $our_job
for build in reference ours; do
  check "$build printed nothing on standard error" [ ! -s "$work/$build/err" ]
done
check "both print the same lines" diff -u <(steady_lines "$work/reference") <(steady_lines "$work/ours")
for part in part1.avi part2.avi; do
  check "$part the same bytes in both builds" cmp "$work/reference/$part" "$work/ours/$part"
  same_listing "$work/reference/$part" "$work/ours/$part"
done
if [[ $failed -gt 0 ]]; then
  for build in reference ours; do
    echo "--- $build: standard output, then standard error"
    cat "$work/$build/out" "$work/$build/err" 2>/dev/null || true
  done
fi
finish
