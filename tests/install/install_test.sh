#!/usr/bin/env bash
# Installs the build tree into a temporary prefix, checks what landed there, and builds the
# C program in consumer/ against the installed AVI library twice: through pkg-config and
# through find_package(mirvo_avi) (shared and static), then runs each on the target (behind
# the emulator on a cross build). Arguments: build dir, C compiler, toolchain file (or
# empty), emulator (a ;-list, or empty).
set -euo pipefail
build=$1 cc=$2 toolchain=$3
IFS=';' read -r -a emulator <<<"$4"
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/mirvo-install-XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "install_test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$work/install.log" || {
  cat "$work/install.log" >&2
  fail "cmake --install failed"
}

# The library, its header and both package descriptions, in the usual places.
libdir=$(sed -n 's/^libdir=${prefix}\///p' "$build/package/mirvo-avi.pc")
for f in include/avi/avi.h "$libdir/libmirvo_avi.a" "$libdir/libmirvo_avi.so" \
  "$libdir/pkgconfig/mirvo-avi.pc" "$libdir/cmake/mirvo_avi/mirvo_aviConfig.cmake" \
  "$libdir/cmake/mirvo_avi/mirvo_aviConfigVersion.cmake"; do
  [[ -e $prefix/$f ]] || fail "$f was not installed"
done
cmp -s "$here/../../avi/avi.h" "$prefix/include/avi/avi.h" || fail "installed avi.h differs"
# Every program this tree builds is installed.
for p in mirvo mirvoctl mirvo-avi; do
  if [[ -e $build/bin/$p && ! -x $prefix/bin/$p ]]; then
    fail "bin/$p was built but not installed"
  fi
done
# mirvo needs the device library by the vendor's file name, so that the camera's own
# libqelmain.so takes the stand-in's place; only a PC install carries the stand-in.
if [[ -x $prefix/bin/mirvo ]]; then
  readelf -d "$prefix/bin/mirvo" | grep -q 'NEEDED.*\[libqelmain\.so\]' ||
    fail "bin/mirvo does not need libqelmain.so by that name"
  if [[ -n $toolchain && -e $prefix/$libdir/libqelmain.so ]]; then
    fail "a cross build installed the stand-in libqelmain.so"
  fi
fi

# The shared library exports the operations and nothing of the module's insides.
if command -v nm >/dev/null; then
  nm -D --defined-only "$prefix/$libdir/libmirvo_avi.so" >"$work/symbols"
  grep -q ' T AVI_create_output_file$' "$work/symbols" || fail "AVI_create_output_file not exported"
  grep -q ' [BD] avi_error$' "$work/symbols" || fail "avi_error not exported"
  if grep -q 'put_u32_le\|avi_detail' "$work/symbols"; then
    fail "internal helpers are exported"
  fi
fi

check_run() {  # program, output file
  local out
  out=$(LD_LIBRARY_PATH="$prefix/$libdir" "${emulator[@]}" "$1" "$2") || fail "$1 failed"
  [[ $out == "ok 2436" ]] || fail "$1 said '$out', expected 'ok 2436'"
  [[ $(head -c 4 "$2") == RIFF ]] || fail "$2 is not a RIFF file"
}

# 1. pkg-config, and nothing but the installed tree on its path.
flags=$(PKG_CONFIG_LIBDIR="$prefix/$libdir/pkgconfig" PKG_CONFIG_PATH= \
  pkg-config --cflags --libs mirvo-avi) || fail "pkg-config does not know mirvo-avi"
# shellcheck disable=SC2086 # the flags are words
"$cc" -std=c11 -Wall -Wextra -Wpedantic -Werror "$here/consumer/avi_consumer.c" $flags \
  -o "$work/by_pkg_config" || fail "the C program does not build with pkg-config's flags"
check_run "$work/by_pkg_config" "$work/pkg_config.avi"

# 2. find_package, in a C-only CMake project, with the same compiler and target.
args=(-S "$here/consumer" -B "$work/consumer" -DCMAKE_C_COMPILER="$cc" -DCMAKE_BUILD_TYPE=Release
  -DCMAKE_C_FLAGS="-Wall -Wextra -Wpedantic -Werror")
if [[ -n $toolchain ]]; then
  # A cross build looks for packages in the sysroot only: point at this one directly.
  args+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain" -Dmirvo_avi_DIR="$prefix/$libdir/cmake/mirvo_avi")
else
  args+=(-DCMAKE_PREFIX_PATH="$prefix")
fi
cmake "${args[@]}" >"$work/consumer.log" 2>&1 || { cat "$work/consumer.log" >&2; fail "configure failed"; }
cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1 || {
  cat "$work/consumer.log" >&2
  fail "the C program does not build through find_package"
}
check_run "$work/consumer/consumer_shared" "$work/shared.avi"
check_run "$work/consumer/consumer_static" "$work/static.avi"
echo "install_test: installed tree complete; the C program built and ran through pkg-config and find_package"
