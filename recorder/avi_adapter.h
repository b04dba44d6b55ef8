// The recorder's thin layer over the AVI module: the five operations that record_avi uses to
// open a file, declare its streams, write frames and close it, with their progress lines.
#pragma once

#include "avi/avi.h"

#include <cstdint>

enum avi_write_kind { AVI_WRITE_VIDEO = 0, AVI_WRITE_AUDIO = 1 };

avi_handle *avi_open(const char *path);
int avi_set_video(avi_handle *handle, int32_t width, int32_t height, int32_t frame_rate,
                  const char *compressor);
int avi_set_audio(avi_handle *handle, int32_t channels, int32_t rate, int32_t bits,
                  int32_t format, int32_t bitrate);
int avi_write(int kind, avi_handle *handle, const void *data, int32_t length, int32_t key_frame);
// Holds the last picture for `count` more frame times (empty video chunks).
int avi_fill_video(avi_handle *handle, int32_t count);
// The frame rate the file is to declare from now on: written into the header with the next
// sync (so that repair keeps it) and at the close.
int avi_declare_rate(avi_handle *handle, double fps);
int avi_close(avi_handle *handle);
