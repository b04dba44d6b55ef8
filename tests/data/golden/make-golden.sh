#!/usr/bin/env bash
# Makes the golden files the writer's tests compare byte for byte: outputs of the example
# writer (tests/uclibc/write_examples.c, target avi_write_examples), whole or in the slices
# the tests check. Run it after a build (BUILD, default build) when the writer's layout
# changes on purpose, and commit the files with that change:
#   tests/data/golden/make-golden.sh [BUILD]
#   empty.avi               the empty file, whole
#   while-writing.head      the first 2048 bytes of a recording in progress (one PCM track)
#   closed-at-500000.head   the final header of 250 frames and 10 audio chunks
#   closed-at-500000.idx1   that file's index, from offset 500000 to the end
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../../build}" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$build/bin/avi_write_examples" "$tmp"
cp "$tmp/empty.avi" "$here/empty.avi"
head -c 2048 "$tmp/while-writing.avi" >"$here/while-writing.head"
head -c 2048 "$tmp/closed-at-500000.avi" >"$here/closed-at-500000.head"
tail -c +500001 "$tmp/closed-at-500000.avi" >"$here/closed-at-500000.idx1"
ls -l "$here"
