#!/usr/bin/env bash
# Installs, on a Debian machine, the packages that building and testing mirvo need and
# that are not there yet. Nothing is done when everything is present, so it is cheap to run
# before every build. Usage: scripts/install-deps.sh [group...] (default: build test).
set -euo pipefail

declare -A groups=(
  [build]="cmake g++ make pkg-config googletest zlib1g-dev nlohmann-json3-dev"
  [test]="groff-base ffmpeg gstreamer1.0-tools gstreamer1.0-plugins-base-apps gstreamer1.0-plugins-good gstreamer1.0-plugins-bad util-linux e2fsprogs exfatprogs exfat-fuse fuse3 python3-fusepy"
  [fuzz]="clang libclang-rt-14-dev"
  [coverage]="clang libclang-rt-14-dev llvm-14"
  [bench]="ffmpeg strace"
  [peers]="ffmpeg gstreamer1.0-tools gstreamer1.0-plugins-good gstreamer1.0-plugins-bad"
  [cross]="g++-arm-linux-gnueabihf qemu-user"
  [uclibc]="g++-arm-linux-gnueabihf linux-libc-dev-armhf-cross qemu-user uclibc-source xz-utils bzip2"
  [tidy]="clang-tidy"
  [camera]="g++-arm-linux-gnueabihf qemu-system-arm dosfstools mtools exfatprogs exfat-fuse fuse3 cpio"
  [demo]="cmake gcc g++ make nlohmann-json3-dev"
)

wanted=()
for g in "${@:-build test}"; do
  for g2 in $g; do
    [[ -n "${groups[$g2]:-}" ]] || { echo "install-deps: unknown group '$g2'" >&2; exit 2; }
    wanted+=(${groups[$g2]})
  done
done

missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "install-deps: installing ${missing[*]}"
source "$(dirname "$0")/apt.sh"
if [[ -n "$apt_sudo" ]] && ! command -v sudo >/dev/null; then
  echo "install-deps: need root (or sudo) to install: ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
# Refresh the package lists only when they are missing or a first attempt fails.
if ! $apt_sudo apt-get install -y -q --no-install-recommends "${missing[@]}"; then
  apt_refresh
  apt_retry $apt_sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
