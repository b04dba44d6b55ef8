#!/usr/bin/env bash
# Builds a uClibc-ng sysroot for the camera's 32-bit ARM (little-endian, EABI, hard float,
# native threads) from Debian's uclibc-source tarball with Debian's ARM cross compiler, into
# DIR/sysroot. The result is kept: a second run with the same tarball and the same settings
# does nothing. Usage: scripts/uclibc-sysroot.sh DIR   (packages: install-deps.sh uclibc)
set -euo pipefail
dir=${1:?usage: scripts/uclibc-sysroot.sh DIR}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
triple=arm-linux-gnueabihf
jobs=${JOBS:-2}

tarball=$(ls /usr/src/uClibc-ng-*.tar.* 2>/dev/null | head -n1 || true)
[[ -n "$tarball" ]] || { echo "uclibc-sysroot: no uClibc-ng tarball in /usr/src (install-deps.sh uclibc)" >&2; exit 1; }
command -v "$triple-gcc" >/dev/null || { echo "uclibc-sysroot: $triple-gcc missing (install-deps.sh uclibc)" >&2; exit 1; }

# Settings changed from the ARM defaults, which are big-endian, old ABI and no threads.
# usleep and the other calls that need the legacy option stay out, so that the code is shown
# to do without them. The Debian linker writes only .gnu.hash sections, which the dynamic
# loader must then read.
settings=(
  'CONFIG_ARM_EABI=y'
  'ARCH_WANTS_LITTLE_ENDIAN=y'
  '# ARCH_WANTS_BIG_ENDIAN is not set'
  "CROSS_COMPILER_PREFIX=\"$triple-\""
  "KERNEL_HEADERS=\"@KERNEL@\""
  '# HAS_NO_THREADS is not set'
  'UCLIBC_HAS_THREADS_NATIVE=y'
  'UCLIBC_HAS_WCHAR=y'
  'DO_C99_MATH=y'
  'LDSO_GNU_HASH_SUPPORT=y'
  'RUNTIME_PREFIX="/"'
  'DEVEL_PREFIX="/usr/"'
)

# The stamp names what the sysroot was built from; anything else means building it anew.
stamp_text="$(basename "$tarball") $(stat -c %s "$tarball") $($triple-gcc -dumpfullversion) ${settings[*]}"
stamp="$dir/sysroot/.built"
if [[ -f "$stamp" && "$(cat "$stamp")" == "$stamp_text" ]]; then
  exit 0
fi

echo "uclibc-sysroot: building $(basename "$tarball") for $triple into $dir/sysroot"
rm -rf "$dir/src" "$dir/kernel-headers" "$dir/sysroot"
mkdir -p "$dir/src" "$dir/kernel-headers"

# The cross include folder holds glibc's headers beside the kernel's: take only the files of
# the kernel headers package.
kernel="$dir/kernel-headers/include"
mkdir -p "$kernel"
headers=$(dpkg -L linux-libc-dev-armhf-cross 2>/dev/null) ||
  { echo "uclibc-sysroot: linux-libc-dev-armhf-cross missing (install-deps.sh uclibc)" >&2; exit 1; }
while read -r f; do
  case "$f" in
    /usr/$triple/include/*) [[ -f "$f" ]] && install -D -m 644 "$f" "$kernel/${f#/usr/$triple/include/}" ;;
  esac
done <<<"$headers"

tar -xf "$tarball" -C "$dir/src" --strip-components=1
cd "$dir/src"
make -s ARCH=arm defconfig >/dev/null
for s in "${settings[@]}"; do
  s=${s//@KERNEL@/$kernel}
  if [[ $s == "# "* ]]; then name=${s#\# }; name=${name%% *}; else name=${s%%=*}; fi
  sed -i -e "/^$name=/d" -e "/^# $name is not set/d" .config
  echo "$s" >>.config
done
make -s ARCH=arm olddefconfig >/dev/null

# The settings must have survived olddefconfig: a dropped one would build a different library.
for s in "${settings[@]}"; do
  s=${s//@KERNEL@/$kernel}
  grep -qxF "$s" .config || { echo "uclibc-sysroot: setting '$s' did not hold" >&2; exit 1; }
done

make -s ARCH=arm -j"$jobs" >"$dir/build.log" 2>&1 ||
  { tail -n 40 "$dir/build.log" >&2; echo "uclibc-sysroot: build failed, log in $dir/build.log" >&2; exit 1; }
make -s ARCH=arm PREFIX="$dir/sysroot" install >>"$dir/build.log" 2>&1
cp -a "$kernel/." "$dir/sysroot/usr/include/"
# An empty library cache in the loader's own format ("ld.so-" "1.7.0", no entries): under
# qemu-arm -L the loader would otherwise read the host's glibc cache and call it corrupt.
mkdir -p "$dir/sysroot/etc"
printf 'ld.so-1.7.0\0\0\0\0\0' >"$dir/sysroot/etc/ld.so.cache"
rm -rf "$dir/src"
echo "$stamp_text" >"$stamp"
echo "uclibc-sysroot: done"
