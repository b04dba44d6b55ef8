#!/bin/sh
# The camera's start, as /init of the camera box (busybox sh on the emulated ARM board): loads
# the drivers of the virtio disk and of the card's file system, mounts the card (/dev/vda,
# the file system named by camera.fs= on the kernel's command line), copies a file onto it
# that must survive everything after, and records with mirvo on the stand-in device: a.avi
# for two seconds, closed, then b.avi until the host cuts the power. Every line for the host
# begins with "camera: " and goes to the serial console; while b.avi is written, a heartbeat
# gives its size every 0.2 s. With camera.mode=soak it records as a camera lives instead
# (/soak.sh, from tests/camera/guest_soak.sh).
/bin/busybox --install -s /bin
export PATH=/bin LD_LIBRARY_PATH=/lib QEL_BUS=/tmp/bus.sock QEL_PACE=realtime \
  QEL_CLIP_MAIN=/clips/main.h264 QEL_CLIP_SUB=/clips/sub.h264
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp

say() { echo "camera: $*"; }
fail() {
  say "FAILED: $*"
  poweroff -f
}

# arg NAME: the value of camera.NAME= on the kernel's command line (empty when it is not there).
arg() { sed -n "s/.*camera\.$1=\([^ ]*\).*/\1/p" /proc/cmdline; }
fs=$(arg fs)
for module in $(cat /modules/order); do
  insmod "/modules/$module.ko" || fail "insmod $module"
done
for tries in $(seq 50); do [ -b /dev/vda ] && break; sleep 0.1; done
mkdir -p /card
mount -t "$fs" /dev/vda /card || fail "mount $fs"
say "card mounted ($fs)"
[ "$(arg mode)" != soak ] || . /soak.sh  # never returns
cp /clips/main.h264 /card/other.h264 && sync || fail "writing other.h264"

# count TEXT: how many lines of mirvo's output hold TEXT; wait_for TEXT COUNT: waits (30 s at most).
count() { grep -cF -- "$1" /tmp/mirvo.out; }
wait_for() {
  for tries in $(seq 300); do [ "$(count "$1")" -ge "$2" ] && return 0; sleep 0.1; done
  fail "no '$1' from mirvo"
}

mirvo >/tmp/mirvo.out 2>/dev/console &
for tries in $(seq 100); do [ -S /tmp/bus.sock ] && break; sleep 0.1; done
mirvoctl start /card/a.avi || fail "start a.avi"
wait_for "cur serial is" 1
sleep 2
mirvoctl stop || fail "stop a.avi"
wait_for "[avi_close]" 1
mirvoctl start /card/b.avi || fail "start b.avi"
wait_for "cur serial is" 2
# serial N: the serial of the first frame of mirvo's recording number N.
serial() { grep -F 'cur serial is' /tmp/mirvo.out | sed -n "$1s/.*serial is //p"; }
# b.avi begins only once a.avi is closed: a.avi is whole now, as mirvo wrote it.
say "closed a.avi $(stat -c %s /card/a.avi) $(md5sum </card/a.avi | cut -d' ' -f1) from serial $(serial 1)"
say "recording b.avi from serial $(serial 2)"
while :; do
  say "beat $(stat -c %s /card/b.avi)"
  sleep 0.2
done
