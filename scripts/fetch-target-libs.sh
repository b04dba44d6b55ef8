#!/usr/bin/env bash
# Puts the target's own copies of the libraries our tests link (zlib) into DIR, for a cross
# build whose sysroot lacks them: Debian's packages for the target architecture are
# downloaded and unpacked there, not installed, so the machine's own system stays as it is
# (installing them would put a second ARM C library beside the cross compiler's). Other
# packages of the target (the camera box's kernel and busybox) come the same way.
# Usage: scripts/fetch-target-libs.sh DIR [ARCH [PACKAGE...]]   (armhf, zlib1g-dev)
set -euo pipefail
dir=${1:?usage: scripts/fetch-target-libs.sh DIR [ARCH [PACKAGE...]]}
arch=${2:-armhf}
packages=("${@:3}")
[[ ${#packages[@]} -gt 0 ]] || packages=(zlib1g-dev)

[[ -f "$dir/.complete" ]] && exit 0
source "$(dirname "$0")/apt.sh"
if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
  $apt_sudo dpkg --add-architecture "$arch"
fi
if ! apt-cache show "${packages[0]}:$arch" >/dev/null 2>&1; then
  apt_refresh
fi

mkdir -p "$dir"
download=$(mktemp -d)
chmod 755 "$download"  # apt's own user downloads into it
trap 'rm -rf "$download"' EXIT
(cd "$download" && apt_retry apt-get download -q "${packages[@]/%/:$arch}")
for deb in "$download"/*.deb; do
  dpkg-deb -x "$deb" "$dir"
done
touch "$dir/.complete"
echo "fetch-target-libs: ${packages[*]} for $arch unpacked in $dir"
