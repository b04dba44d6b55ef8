#!/usr/bin/env bash
# Runs clang-tidy, with the checks in .clang-tidy, over mirvo's own sources (avi/, recorder/,
# device/, tools/, keeper/ and the headers they include) from a build directory's compile
# database.
# Tests, benchmarks and third-party code are left out. Fails on any finding.
# Usage: scripts/tidy.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
if [[ ! -f $build/compile_commands.json ]]; then
  echo "tidy: $build/compile_commands.json is missing: configure first (make configure)" >&2
  exit 2
fi
tidy=$(command -v clang-tidy-14 || command -v clang-tidy || true)
if [[ -z $tidy ]]; then
  echo "tidy: clang-tidy is missing: scripts/install-deps.sh tidy" >&2
  exit 2
fi

mapfile -t files < <(sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p' "$build/compile_commands.json" |
  grep -E "^$PWD/(avi|recorder|device|tools|keeper)/" | sort -u)
if [[ ${#files[@]} -eq 0 ]]; then
  echo "tidy: no sources of ours in $build/compile_commands.json" >&2
  exit 2
fi
echo "tidy: checking ${#files[@]} files"
# "N warnings generated." counts warnings in code outside the header filter: not findings.
if printf '%s\n' "${files[@]}" |
  xargs -P "$(nproc 2>/dev/null || echo 2)" -n 1 "$tidy" --quiet -p "$build" 2>&1 |
  { grep -v '^[0-9]* warnings\{0,1\} generated\.$' || true; }; then
  echo "tidy: clean"
else
  echo "tidy: findings above" >&2
  exit 1
fi
