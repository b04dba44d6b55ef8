#!/usr/bin/env bash
# The AVI module built for uClibc against the reference build: each writes its example
# files (a static program), and the files must be the same bytes; our reader (the shared
# library) must then list every one of them, and the files other programs wrote
# (tests/data/peers), as the reference reader does.
source "$(dirname "$0")/builds.sh"

mkdir "$work/reference" "$work/ours"
check "the reference writes its examples" reference avi_write_examples "$work/reference"
check "ours writes its examples" ours avi_write_examples "$work/ours"
same_files "$work/reference" "$work/ours"
for file in "$work/reference"/*.avi; do
  same_listing "$file" "$work/ours/$(basename "$file")"
done
for file in "$SOURCE"/tests/data/peers/*.avi; do
  same_listing "$file" "$file"
done
finish
