# The camera as it lives (camera.mode=soak): sourced by /init once the card is mounted, it
# records with mirvo and `mirvoctl loop /card` part after part, making room on the card as
# it fills, until the host cuts the power; the loop's first act at each start is to repair
# what the last cut left. The kernel's command line says:
#   camera.part=SECONDS   the length of a part
#   camera.keep=SIZE      the loop's --keep-free (when given)
#   camera.protect=NAME   a recording on the card that the camera's user locks (chmod a-w,
#                         the read-only attribute) before the loop starts
#   camera.stop=N         once the loop has begun its Nth part of this boot and a part's
#                         length has passed, stop cleanly: SIGINT to the loop and to mirvo,
#                         the card unmounted, the power off
# For the host, on the serial console: "camera: card NAME SIZE MODE" for each file on the card
# at the start, every line of the loop's standard output as "camera: loop: ...", the first
# serial of each of mirvo's recordings ("camera: serial N"), a heartbeat with the newest
# part's name and size every 0.2 s ("camera: beat NAME SIZE"); mirvo's and the loop's
# standard error as they are ("mirvo: ...", "mirvoctl: ...").
part=$(arg part)
keep=$(arg keep)
protect=$(arg protect)
stop=$(arg stop)
[ -n "$part" ] || fail "no camera.part="

if [ -n "$protect" ]; then
  chmod a-w "/card/$protect" && sync || fail "protecting $protect"
fi
for file in /card/*; do
  [ -e "$file" ] && say "card ${file#/card/} $(stat -c '%s %A' "$file")"
done

mkfifo /tmp/mirvo.fifo /tmp/loop.fifo
mirvo >/tmp/mirvo.fifo 2>/dev/console &
mirvo_pid=$!
while IFS= read -r line; do
  case $line in "cur serial is "*) say "serial ${line##*serial is }" ;; esac
done </tmp/mirvo.fifo &
for tries in $(seq 100); do [ -S /tmp/bus.sock ] && break; sleep 0.1; done
[ -S /tmp/bus.sock ] || fail "mirvo did not start"

mirvoctl loop /card --part "$part" ${keep:+--keep-free "$keep"} >/tmp/loop.fifo 2>/dev/console &
loop_pid=$!
: >/tmp/loop.out
while IFS= read -r line; do
  say "$line"
  echo "$line" >>/tmp/loop.out
done </tmp/loop.fifo &

# The newest part is the last name of the loop's naming in name order.
while kill -0 "$loop_pid" 2>/dev/null; do
  set -- /card/2*Z.avi
  eval newest=\${$#}
  [ -e "$newest" ] && say "beat ${newest#/card/} $(stat -c %s "$newest")"
  if [ -n "$stop" ] && [ "$(grep -c '^loop: recording ' /tmp/loop.out)" -ge "$stop" ]; then
    sleep "$part"
    kill -INT "$loop_pid"
    wait "$loop_pid"
    say "loop ended ($?)"
    kill -INT "$mirvo_pid"
    wait "$mirvo_pid"
    umount /card || fail "unmounting the card"
    say "stopped cleanly"
    poweroff -f
  fi
  sleep 0.2
done
wait "$loop_pid"
fail "the loop ended by itself ($?)"
