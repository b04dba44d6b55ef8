#!/usr/bin/env bash
# Installs the build tree into a temporary prefix and checks it as a user of it would.
#   library: what landed there (no stand-in, no run paths), and the C program in consumer/
#     linked with the static and with the shared AVI library through pkg-config and through
#     a C-only CMake project, each needing nothing but the C library, and run.
#   standin: the stand-in device library and mirvoctl install only as their component, in a
#     directory of their own, and the installed mirvo records on them through LD_LIBRARY_PATH.
# Programs run on the target (behind the emulator on a cross build). Arguments: what to
# check (library or standin), build dir, C compiler, toolchain file (or empty), emulator (a
# ;-list, or empty).
set -euo pipefail
what=$1 build=$2 cc=$3 toolchain=$4
IFS=';' read -r -a emulator <<<"$5"
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/mirvo-install-XXXXXX")
pid=""
cleanup() {
  [[ -z $pid ]] || kill -KILL "$pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
prefix=$work/prefix
libdir=$(sed -n 's/^libdir=${prefix}\///p' "$build/package/mirvo-avi.pc")
fail() { echo "install_test: $*" >&2; exit 1; }

install_tree() {  # extra arguments for cmake --install
  cmake --install "$build" --prefix "$prefix" "$@" >>"$work/install.log" || {
    cat "$work/install.log" >&2
    fail "cmake --install $* failed"
  }
}

# The shared libraries a file needs, one a line.
needed() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'; }

# A file needs the C library and the given libraries, nothing else (no C++ runtime, no
# libgcc_s).
needs_only() {  # file, library name patterns beyond the C library's
  local file=$1 lib
  shift
  while read -r lib; do
    case $lib in
      libc.so.* | ld-linux*) ;;
      *) local allowed=""
         for pattern in "$@"; do [[ $lib == $pattern ]] && allowed=1; done
         [[ -n $allowed ]] || fail "$file needs $lib"$'\n'"$(needed "$file")" ;;
    esac
  done < <(needed "$file")
}

# An installed file tells the loader to look nowhere but where the system keeps libraries.
no_run_path() {
  if readelf -d "$1" | grep -q '(RPATH)\|(RUNPATH)'; then
    fail "$1 has a run path: $(readelf -d "$1" | grep 'R.*PATH')"
  fi
}

# A program's manual page renders without a warning and its bash completion offers every
# subcommand: those that `PROGRAM --help` lists for mirvo-avi, the two requests for mirvoctl.
check_docs() {  # program name
  local name=$1 man=$prefix/share/man/man1/$1.1 completion=$prefix/share/bash-completion/completions/$1
  [[ -f $man && -f $completion ]] || fail "$name: no manual page or bash completion installed"
  local warnings
  warnings=$(groff -man -Tutf8 -ww -z "$man" 2>&1) || fail "$man does not render"
  [[ -z $warnings ]] || fail "$man: $warnings"
  local commands="start stop"
  if [[ $name == mirvo-avi ]]; then
    commands=$("${emulator[@]}" "$prefix/bin/mirvo-avi" --help | sed -n 's/^  mirvo-avi \([a-z]*\) .*/\1/p')
  fi
  local c offered
  for c in $commands; do
    offered=$(bash -c 'source "$1"; COMP_WORDS=("$2" "$3"); COMP_CWORD=1; "_${2//-/_}"; echo "${COMPREPLY[@]}"' \
      _ "$completion" "$name" "$c")
    [[ " $offered " == *" $c "* ]] || fail "$completion does not offer '$c' (offered: $offered)"
    grep -q "^\.B $name $c\$" "$man" || fail "$man has no synopsis of '$c'"
  done
}

check_library() {
  install_tree
  # The library, its header and both package descriptions, in the usual places.
  for f in include/avi/avi.h "$libdir/libmirvo_avi.a" "$libdir/libmirvo_avi.so" \
    "$libdir/pkgconfig/mirvo-avi.pc" "$libdir/cmake/mirvo_avi/mirvo_aviConfig.cmake" \
    "$libdir/cmake/mirvo_avi/mirvo_aviConfigVersion.cmake"; do
    [[ -e $prefix/$f ]] || fail "$f was not installed"
  done
  cmp -s "$here/../../avi/avi.h" "$prefix/include/avi/avi.h" || fail "installed avi.h differs"
  # mirvo and mirvo-avi are installed when built; the stand-in only when asked for.
  for p in mirvo mirvo-avi; do
    if [[ -e $build/bin/$p && ! -x $prefix/bin/$p ]]; then
      fail "bin/$p was built but not installed"
    fi
  done
  local found
  found=$(cd "$prefix" && find . -name 'libqelmain*' -o -name mirvoctl)
  [[ -z $found ]] || fail "a plain install put the stand-in in place: $found"
  # mirvo needs the device library by the vendor's file name and nothing tells the loader
  # to look anywhere but where the system keeps it.
  if [[ -x $prefix/bin/mirvo ]]; then
    needed "$prefix/bin/mirvo" | grep -qx 'libqelmain\.so' ||
      fail "bin/mirvo does not need libqelmain.so by that name"
    no_run_path "$prefix/bin/mirvo"
  fi
  [[ ! -x $prefix/bin/mirvo-avi ]] || { no_run_path "$prefix/bin/mirvo-avi"; check_docs mirvo-avi; }
  [[ ! -e $prefix/share/man/man1/mirvoctl.1 ]] || fail "a plain install put mirvoctl's manual page in place"

  # The shared library exports the operations and nothing of the module's insides, and
  # needs nothing but the C library.
  local so=$prefix/$libdir/libmirvo_avi.so
  nm -D --defined-only "$so" >"$work/symbols"
  grep -q ' T AVI_create_output_file$' "$work/symbols" || fail "AVI_create_output_file not exported"
  grep -q ' [BD] avi_error$' "$work/symbols" || fail "avi_error not exported"
  if grep -q 'put_u32_le\|avi_detail' "$work/symbols"; then
    fail "internal helpers are exported"
  fi
  needs_only "$so"
  no_run_path "$so"
  # Neither package description asks for more than the library itself.
  local pc=(env PKG_CONFIG_LIBDIR="$prefix/$libdir/pkgconfig" PKG_CONFIG_PATH= pkg-config)
  local static_libs
  static_libs=$("${pc[@]}" --static --libs-only-l mirvo-avi)
  [[ ${static_libs//[[:space:]]/} == -lmirvo_avi ]] || fail "pkg-config --static asks for $static_libs"

  # 1. pkg-config, and nothing but the installed tree on its path: shared, then static.
  local cflags libpath lib
  cflags=$("${pc[@]}" --cflags mirvo-avi) libpath=$("${pc[@]}" --libs-only-L mirvo-avi)
  lib=$("${pc[@]}" --static --libs-only-l mirvo-avi)
  local strict=(-std=c11 -Wall -Wextra -Wpedantic -Werror)
  # shellcheck disable=SC2086 # the flags are words
  "$cc" "${strict[@]}" "$here/consumer/avi_consumer.c" $cflags $libpath $lib \
    -o "$work/pkg_config_shared" || fail "the C program does not build with pkg-config's flags"
  # shellcheck disable=SC2086
  "$cc" "${strict[@]}" "$here/consumer/avi_consumer.c" $cflags $libpath \
    -Wl,-Bstatic $lib -Wl,-Bdynamic -o "$work/pkg_config_static" ||
    fail "the C program does not link the static library with pkg-config's flags"

  # 2. find_package, in a C-only CMake project, with the same compiler and target.
  local args=(-S "$here/consumer" -B "$work/consumer" -DCMAKE_C_COMPILER="$cc"
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS="${strict[*]}")
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

  local program out
  for program in pkg_config_shared pkg_config_static consumer/consumer_shared consumer/consumer_static; do
    if [[ $program == *static ]]; then
      needs_only "$work/$program"
    else
      needs_only "$work/$program" 'libmirvo_avi.so.*'
    fi
    out=$(LD_LIBRARY_PATH="$prefix/$libdir" "${emulator[@]}" "$work/$program" "$work/out.avi") ||
      fail "$program failed"
    [[ $out == "ok 2436" ]] || fail "$program said '$out', expected 'ok 2436'"
    [[ $(head -c 4 "$work/out.avi") == RIFF ]] || fail "$program did not write a RIFF file"
  done
  echo "install_test: installed tree complete, without the stand-in or run paths; the C" \
    "program linked the static and the shared library with the C library alone, through" \
    "pkg-config and through find_package, and ran"
}

check_standin() {
  install_tree
  install_tree --component standin
  [[ ! -e $prefix/$libdir/libqelmain.so ]] || fail "the stand-in went beside the system's libraries"
  local standin=$prefix/$libdir/mirvo-standin
  [[ -e $standin/libqelmain.so && -x $prefix/bin/mirvoctl ]] ||
    fail "the standin component did not install $standin/libqelmain.so and bin/mirvoctl"
  check_docs mirvoctl

  # The installed mirvo, asked to use the stand-in, records what the installed mirvoctl asks.
  export QEL_BUS=$work/bus.sock QEL_PACE=burst
  LD_LIBRARY_PATH=$standin "${emulator[@]}" "$prefix/bin/mirvo" >"$work/mirvo.log" 2>&1 &
  pid=$!
  for _ in $(seq 200); do [[ -S $QEL_BUS ]] && break; sleep 0.05; done
  [[ -S $QEL_BUS ]] || fail "the installed mirvo did not start on the stand-in: $(cat "$work/mirvo.log")"
  local file=$work/standin.avi
  "${emulator[@]}" "$prefix/bin/mirvoctl" start "$file" --audio 0 || fail "mirvoctl start failed"
  for _ in $(seq 200); do grep -q 'first serial' "$work/mirvo.log" && break; sleep 0.05; done
  "${emulator[@]}" "$prefix/bin/mirvoctl" stop || fail "mirvoctl stop failed"
  for _ in $(seq 200); do grep -q '^\[avi_close\]' "$work/mirvo.log" && break; sleep 0.05; done
  kill -INT "$pid"
  wait "$pid" || fail "mirvo ended with status $?: $(cat "$work/mirvo.log")"
  pid=""
  grep -q '^\[avi_close\]' "$work/mirvo.log" || fail "no recording was closed: $(cat "$work/mirvo.log")"
  [[ $(head -c 4 "$file") == RIFF ]] && grep -qa idx1 "$file" ||
    fail "the recording is not a finished AVI file"
  "${emulator[@]}" "$prefix/bin/mirvo-avi" info "$file" >"$work/info.log" ||
    fail "mirvo-avi cannot read the recording: $(cat "$work/info.log")"
  echo "install_test: the stand-in installs only as its component, in $libdir/mirvo-standin;" \
    "the installed mirvo recorded on it through LD_LIBRARY_PATH"
}

case $what in
  library) check_library ;;
  standin) check_standin ;;
  *) fail "say library or standin, not '$what'" ;;
esac
