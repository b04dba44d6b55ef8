#!/usr/bin/env bash
# `make camera-test`: builds what the camera box needs (the uClibc-ng sysroot and build, the
# default build for mirvo-avi and the tests), the box itself (scripts/camera-box.sh, in
# build-box), and runs the power-cut tests, each booting the box, and the soak (mirvoctl
# loop through power cuts on a full card, booting it again and again). When the packages or
# Debian's kernel cannot be had (no qemu-system-arm for this machine, no mirror), it says so
# on one line beginning "camera-test: SKIPPED" and succeeds; a failure of anything of ours
# fails it. Extra arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-2}

skipped() {
  echo "camera-test: SKIPPED: $1 (the camera's power cuts were not tested)"
  exit 0
}

scripts/install-deps.sh build test uclibc || skipped "the build's packages cannot be installed"
scripts/install-deps.sh camera || skipped "qemu-system-arm and the card tools cannot be installed"
JOBS=$jobs scripts/uclibc-sysroot.sh build-uclibc
make --no-print-directory build PRESET=default JOBS="$jobs"
make --no-print-directory build PRESET=uclibc JOBS="$jobs"
if ! scripts/camera-box.sh build-box --fetch-only; then
  skipped "Debian's armhf kernel or busybox cannot be downloaded"
fi
scripts/camera-box.sh build-box
# CTest lists a test binary's cases once per build of it; the cuts are cases, counted from
# this run's MIRVO_CAMERA_CUTS_*, so they are listed anew. Verbose: each cut prints its line
# (the loss, what the check said, what repair kept).
touch build/bin/camera_box_tests
MIRVO_CAMERA_BOX=$PWD/build-box ctest --preset default -L camera --verbose "$@"
