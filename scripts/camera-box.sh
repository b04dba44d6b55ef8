#!/usr/bin/env bash
# Builds the camera box in DIR: what qemu-system-arm boots as a camera. DIR/vmlinuz is
# Debian's armhf kernel (armmp) and DIR/initramfs.cpio.gz holds busybox, the kernel's modules
# for the virtio disk, FAT and exFAT, the uClibc-ng build of mirvo with the stand-in device
# (build-uclibc) and its C library, mirvoctl built statically for ARM, the stand-in's clips,
# tests/camera/guest_init.sh as /init and guest_soak.sh (its camera.mode=soak) beside it.
# Debian's packages are downloaded and unpacked, not installed. A second run only rebuilds
# the initramfs.
# With --fetch-only, only the packages are fetched (kept in DIR for later runs).
# Usage: scripts/camera-box.sh DIR [--fetch-only]
#        (packages: install-deps.sh camera; the build of make uclibc-test)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:?usage: scripts/camera-box.sh DIR [--fetch-only]}
uclibc=build-uclibc
triple=arm-linux-gnueabihf
mkdir -p "$dir"

# busybox, and the kernel that Debian's armmp kernel package stands for today.
scripts/fetch-target-libs.sh "$dir/busybox" armhf busybox-static
if [[ ! -f "$dir/kernel/.complete" ]]; then
  kernel=$(apt-cache depends linux-image-armmp:armhf |
    sed -n 's/^ *Depends: \(linux-image-[0-9][^:]*-armmp\).*/\1/p' | head -n1)
  [[ -n "$kernel" ]] || { echo "camera-box: no armhf armmp kernel in the package lists" >&2; exit 1; }
  scripts/fetch-target-libs.sh "$dir/kernel" armhf "$kernel"
fi
[[ "${2:-}" != --fetch-only ]] || exit 0

for f in bin/mirvo lib/libqelmain.so sysroot/lib/ld-uClibc.so.0 sysroot/lib/libc.so.0; do
  [[ -e "$uclibc/$f" ]] || { echo "camera-box: no $uclibc/$f (make uclibc-test builds it)" >&2; exit 1; }
done
release=$(ls "$dir/kernel/lib/modules" | head -n1)
cp "$dir/kernel/boot/vmlinuz-$release" "$dir/vmlinuz"

root="$dir/root"
rm -rf "$root"
mkdir -p "$root"/{bin,lib,modules,clips,proc,sys,dev,tmp}
cp "$dir/busybox/bin/busybox" "$root/bin/"
ln -s busybox "$root/bin/sh"  # /init installs the other commands
# The drivers, in the order they load (vfat needs fat; virtio itself is built in).
for module in virtio_mmio virtio_blk fat vfat nls_cp437 nls_ascii exfat; do
  found=$(find "$dir/kernel/lib/modules/$release" -name "$module.ko")
  [[ -n "$found" ]] || { echo "camera-box: the kernel $release has no $module.ko" >&2; exit 1; }
  cp "$found" "$root/modules/"
  echo "$module" >>"$root/modules/order"  # /init loads them in this order
done
cp -L "$uclibc"/sysroot/lib/{ld-uClibc.so.0,libc.so.0} "$uclibc/lib/libqelmain.so" "$root/lib/"
cp "$uclibc/bin/mirvo" "$root/bin/"
# The camera's main process is not ours: mirvoctl plays it, built with the cross compiler's
# own C and C++ libraries, linked in; its loop (`mirvoctl loop`) keeps the card with the
# keeper and repairs with the AVI module, compiled in with it.
shopt -s nullglob
$triple-g++ -std=c++20 -O2 -Wno-psabi -static -D_FILE_OFFSET_BITS=64 -D_LARGEFILE64_SOURCE \
  -I. -I"$uclibc/generated" -o "$root/bin/mirvoctl" \
  device/mirvoctl*.cpp device/bus_message.cpp device/bus_path.cpp device/parse_number.cpp \
  keeper/*.cpp avi/common/*.cpp avi/writer/*.cpp avi/reader/*.cpp avi/recovery/*.cpp
shopt -u nullglob
cp device/clips/main.h264 device/clips/sub.h264 "$root/clips/"
cp tests/camera/guest_init.sh "$root/init"
cp tests/camera/guest_soak.sh "$root/soak.sh"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$dir/initramfs.cpio.gz"
echo "camera-box: kernel $release, initramfs of $(du -sh "$root" | cut -f1) in $dir"
