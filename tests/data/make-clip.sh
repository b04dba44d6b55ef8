#!/usr/bin/env bash
# Makes tests/data/clip.h264: 4 seconds of 320x240 H.264 at 25 fps (Annex-B, an access unit
# delimiter before every picture, a key frame every second, no B-frames), like a camera's
# stream. Needs ffmpeg with libx264. The committed clip was made by this script.
set -euo pipefail
cd "$(dirname "$0")"
ffmpeg -v error -y -f lavfi -i "testsrc2=size=320x240:rate=25:duration=4" \
  -c:v libx264 -profile:v baseline -preset veryfast -crf 30 -pix_fmt yuv420p \
  -x264-params "keyint=25:min-keyint=25:scenecut=0:aud=1:bframes=0" \
  -bsf:v h264_mp4toannexb -f h264 clip.h264
ls -l clip.h264
