#!/usr/bin/env bash
# Puts the target's own copies of the libraries our tests link (zlib) into DIR, for a cross
# build whose sysroot lacks them: Debian's packages for the target architecture are
# downloaded and unpacked there, not installed, so the machine's own system stays as it is
# (installing them would put a second ARM C library beside the cross compiler's).
# Usage: scripts/fetch-target-libs.sh DIR [ARCH]   (ARCH defaults to armhf)
set -euo pipefail
dir=${1:?usage: scripts/fetch-target-libs.sh DIR [ARCH]}
arch=${2:-armhf}
packages=(zlib1g-dev)

[[ -f "$dir/.complete" ]] && exit 0
sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
  $sudo dpkg --add-architecture "$arch"
fi
if ! apt-cache show "${packages[0]}:$arch" >/dev/null 2>&1; then
  $sudo apt-get update -q
fi

mkdir -p "$dir"
download=$(mktemp -d)
trap 'rm -rf "$download"' EXIT
(cd "$download" && apt-get download -q "${packages[@]/%/:$arch}")
for deb in "$download"/*.deb; do
  dpkg-deb -x "$deb" "$dir"
done
touch "$dir/.complete"
echo "fetch-target-libs: ${packages[*]} for $arch unpacked in $dir"
