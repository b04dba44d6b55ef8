#!/usr/bin/env bash
# Makes the AVI files of other programs that the reader's tests read back: ffmpeg's muxer
# (H.264 alone, with 8 kHz PCM audio, with two PCM tracks) and GStreamer's avimux (H.264 and
# PCM). Each holds 1.6 s of 160x120 H.264 at 25 fps. Needs ffmpeg with libx264,
# gst-launch-1.0 with avimux (plugins-good) and h264parse (plugins-bad): install them with
# scripts/install-deps.sh peers. The committed files were made by this script.
set -euo pipefail
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

video=(-f lavfi -i "testsrc2=size=160x120:rate=25:duration=1.6")
tone8k=(-f lavfi -i "sine=frequency=440:sample_rate=8000:duration=1.6")
tone16k=(-f lavfi -i "sine=frequency=660:sample_rate=16000:duration=1.6")
x264=(-c:v libx264 -profile:v baseline -preset veryfast -crf 32 -pix_fmt yuv420p
      -x264-params "keyint=25:min-keyint=25:scenecut=0:bframes=0")
ff=(ffmpeg -v error -y -nostdin -fflags +bitexact -flags:v +bitexact)

"${ff[@]}" "${video[@]}" "${x264[@]}" -f avi ffmpeg-video.avi
"${ff[@]}" "${video[@]}" "${tone8k[@]}" -map 0:v -map 1:a "${x264[@]}" \
  -c:a pcm_s16le -ac 1 -f avi ffmpeg-pcm.avi
"${ff[@]}" "${video[@]}" "${tone8k[@]}" "${tone16k[@]}" -map 0:v -map 1:a -map 2:a "${x264[@]}" \
  -c:a:0 pcm_s16le -ac:a:0 1 -c:a:1 pcm_s16le -ac:a:1 2 -f avi ffmpeg-two-tracks.avi

# GStreamer muxes an Annex-B stream and 20 ms buffers of an 8 kHz tone.
"${ff[@]}" "${video[@]}" "${x264[@]}" -bsf:v h264_mp4toannexb -f h264 "$tmp/clip.h264"
gst-launch-1.0 -q \
  filesrc location="$tmp/clip.h264" ! h264parse ! video/x-h264,stream-format=byte-stream,framerate=25/1 ! \
  avimux name=mux ! filesink location=gst-avimux.avi \
  audiotestsrc num-buffers=80 samplesperbuffer=160 freq=440 ! \
  audio/x-raw,format=S16LE,rate=8000,channels=1 ! mux.
ls -l ./*.avi
