#!/usr/bin/env bash
# Makes the stand-in device's default clips: main.h264 (640x360) and sub.h264 (320x180),
# 10 seconds each at 25 fps, H.264 Annex-B with an access unit delimiter before every
# picture and a key frame every second, as a camera's two encoders would give them.
# Needs ffmpeg with libx264. The committed clips were made by this script.
set -euo pipefail
cd "$(dirname "$0")"
make_clip() {  # name size crf
  ffmpeg -v error -y -f lavfi -i "testsrc2=size=$2:rate=25:duration=10" \
    -c:v libx264 -profile:v main -preset veryfast -crf "$3" -pix_fmt yuv420p \
    -x264-params "keyint=25:min-keyint=25:scenecut=0:aud=1:bframes=0" \
    -bsf:v h264_mp4toannexb -f h264 "$1.h264"
}
make_clip main 640x360 34
make_clip sub 320x180 32
ls -l main.h264 sub.h264
