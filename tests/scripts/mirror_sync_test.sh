#!/usr/bin/env bash
# The download steps against a package mirror that is mid-sync, played by stand-ins for
# apt-get, apt-cache, dpkg, dpkg-query and sudo on PATH: refreshing the lists always fails on
# one index, and the first FAILS downloads or installs fail too, as while the mirror's files
# change. fetch-target-libs.sh must still unpack the package and install-deps.sh must still
# install, having said that they tried again; a mirror that never serves them fails both.
set -euo pipefail
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/mirvo-mirror-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
export FAKE=$work PATH=$work/bin:$PATH APT_RETRY_WAIT=0 APT_TRIES=3

fake() { printf '#!/usr/bin/env bash\n%s\n' "$2" >"$work/bin/$1" && chmod +x "$work/bin/$1"; }
fake sudo 'exec "$@"'
fake dpkg '[[ $1 != --print-foreign-architectures ]] || echo armhf'
fake dpkg-query 'exit 1'
fake apt-cache 'exit 100'
fake apt-get '
echo "apt-get $1" >>"$FAKE/log"
if [[ $1 == update ]]; then
  echo "E: Failed to fetch Packages.xz  File has unexpected size (359552 != 360800). Mirror sync in progress?" >&2
  exit 100
fi
if (($(grep -cx "apt-get $1" "$FAKE/log") <= FAILS)); then
  echo "E: Failed to fetch $1: Hash Sum mismatch" >&2
  exit 100
fi
if [[ $1 == download ]]; then
  mkdir -p pkg/DEBIAN pkg/usr/lib && echo fake >pkg/usr/lib/libfake.a
  printf "Package: fake\nVersion: 1\nArchitecture: armhf\nMaintainer: m\nDescription: d\n" >pkg/DEBIAN/control
  dpkg-deb -b pkg fake_1_armhf.deb >/dev/null && rm -rf pkg
fi'

failed=0
# expect WHAT FAILS STATUS COMMAND...: with the first FAILS tries failing, the command ends
# in success (STATUS 0) or failure (1).
expect() {
  local what=$1 status=0
  rm -f "$work/log"
  FAILS=$2 "${@:4}" >"$work/out" 2>&1 || status=$?
  if [[ $3 == 0 && $status != 0 || $3 != 0 && $status == 0 ]]; then
    echo "FAILED: $what: exit status $status, expected $3; it said:" && cat "$work/out"
    failed=1
  elif [[ $2 -gt 0 ]] && ! grep -q "trying again" "$work/out"; then
    echo "FAILED: $what: no word of trying again" && failed=1
  fi
}

expect "fetch, one failed download" 1 0 "$scripts/fetch-target-libs.sh" "$work/libs" armhf fake
[[ -f $work/libs/usr/lib/libfake.a ]] || { echo "FAILED: nothing unpacked"; failed=1; }
expect "fetch, the mirror never serves" 9 1 "$scripts/fetch-target-libs.sh" "$work/none" armhf fake
expect "install, two failed installs" 2 0 "$scripts/install-deps.sh" tidy
expect "install, the mirror never serves" 9 1 "$scripts/install-deps.sh" tidy
exit $failed
