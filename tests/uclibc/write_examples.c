/* Writes the AVI module's example files into a folder: the layouts the writer's tests check
 * (an empty file; video only; video with the recorder's PCM track; 29.97 fps with an RGB
 * code; eight tracks of every block size; a repeated frame; an extended audio chunk; 250
 * frames and 10 audio chunks closed at offset 500000), the header as it stands while a file
 * is written, and a recording cut off in the middle of a chunk together with its repair.
 * Every file depends only on the module, so two builds of it must write the same bytes; the
 * writer's tests compare some of them with the copies in tests/data/golden, which this
 * program wrote (make-golden.sh there). Usage: write_examples DIR. Exit status 0, or 1 after
 * saying which call failed. */
#include "avi/avi.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static const char *out_dir;
static unsigned char pattern[4096];

static void fail(const char *what)
{
    fprintf(stderr, "write_examples: %s: %s\n", what, AVI_error_text());
    exit(1);
}

static void check(int result, const char *what)
{
    if (result != 0)
        fail(what);
}

static const char *path_of(const char *name)
{
    static char path[4096];
    snprintf(path, sizeof path, "%s/%s", out_dir, name);
    return path;
}

static avi_handle *create(const char *name)
{
    avi_handle *h = AVI_create_output_file(path_of(name));
    if (!h)
        fail(name);
    return h;
}

/* Frame data: an H.264 NAL unit head (IDR slice for key frames, else a P slice), so that a
 * repair finds the key frames again, then bytes of a fixed pseudo-random pattern. */
static void put_frame(avi_handle *h, int32_t length, int key)
{
    static unsigned char frame[sizeof pattern];
    memcpy(frame, pattern, (size_t)length);
    const unsigned char head[] = {0, 0, 0, 1, key ? 0x65 : 0x41, 0x88};
    memcpy(frame, head, (size_t)length < sizeof head ? (size_t)length : sizeof head);
    check(AVI_put_video_frame(h, frame, length, key), "a video frame");
}

static void close_file(avi_handle *h, const char *what)
{
    check(AVI_close_handle(h), what);
}

/* Copies the first `length` bytes of file `from` (length 0: all of it) to file `to`. */
static void copy_file(const char *from, const char *to, off_t length)
{
    char from_path[4096];
    snprintf(from_path, sizeof from_path, "%s", path_of(from));
    int in = open(from_path, O_RDONLY);
    int out = open(path_of(to), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0)
        fail("copying a file");
    static unsigned char buffer[65536];
    off_t copied = 0;
    ssize_t got;
    while ((length == 0 || copied < length) &&
           (got = read(in, buffer, length == 0 || length - copied > (off_t)sizeof buffer
                                       ? sizeof buffer
                                       : (size_t)(length - copied))) > 0) {
        if (write(out, buffer, (size_t)got) != got)
            fail("copying a file");
        copied += got;
    }
    close(in);
    close(out);
}

static void empty_file(void)
{
    avi_handle *h = create("empty.avi");
    AVI_define_video(h, 640, 480, 25.0, "H264");
    close_file(h, "empty.avi");
}

static void video_only(void)
{
    avi_handle *h = create("video.avi");
    AVI_define_video(h, 640, 480, 25.0, "H264");
    const int32_t lengths[] = {5, 6, 1, 2047, 2048, 7};
    for (int i = 0; i < 6; ++i)
        put_frame(h, lengths[i], i % 3 == 0);
    close_file(h, "video.avi");
}

/* The recorder's streams: H264 video and one PCM track of 1 channel, 8000 Hz, 16 bits. */
static avi_handle *recorder_streams(const char *name)
{
    avi_handle *h = create(name);
    AVI_define_video(h, 640, 360, 25.0, "H264");
    AVI_add_audio_track(h, 1, 8000, 16, 1, 128);
    return h;
}

static void recorder_frames(avi_handle *h, int count)
{
    for (int i = 0; i < count; ++i) {
        put_frame(h, 1500 + 37 * (i % 11), i % 10 == 0);
        check(AVI_put_audio(h, pattern + i, 320), "audio");
        check(AVI_put_audio(h, pattern + 2 * i, 320), "audio");
    }
}

static void with_audio(void)
{
    avi_handle *h = recorder_streams("audio.avi");
    recorder_frames(h, 30);
    close_file(h, "audio.avi");
}

static void rgb_at_29_97(void)
{
    avi_handle *h = create("rgb-29.97.avi");
    AVI_define_video(h, 320, 240, 29.97, "RGB ");
    put_frame(h, 320, 1);
    close_file(h, "rgb-29.97.avi");
}

static void eight_tracks(void)
{
    avi_handle *h = create("eight-tracks.avi");
    AVI_define_video(h, 1280, 720, 0.001, "h264");
    /* bits and channels: block sizes 4 (raised from 2 and 1), 4, 6, 8, and more. */
    const int32_t bits[] = {16, 8, 16, 24, 32, 8, 24, 12};
    const int32_t channels[] = {1, 1, 2, 2, 2, 6, 1, 3};
    for (int t = 0; t < 8; ++t)
        AVI_add_audio_track(h, channels[t], 8000 * (t + 1), bits[t], t == 7 ? 85 : 1, 64 * (t + 1));
    put_frame(h, 100, 1);
    for (int t = 7; t >= 0; --t) {
        check(AVI_select_audio_track(h, t), "selecting a track");
        check(AVI_put_audio(h, pattern, 96 + 13 * t), "audio");
    }
    close_file(h, "eight-tracks.avi");
}

static void repeated_frame(void)
{
    avi_handle *h = create("repeated.avi");
    AVI_define_video(h, 640, 480, 12.5, "H264");
    check(AVI_repeat_video_frame(h), "a repeat before any frame");
    put_frame(h, 900, 1);
    check(AVI_repeat_video_frame(h), "a repeated frame");
    put_frame(h, 301, 0);
    check(AVI_repeat_video_frame(h), "a repeated frame");
    close_file(h, "repeated.avi");
}

static void extended_audio(void)
{
    avi_handle *h = recorder_streams("extended.avi");
    put_frame(h, 800, 1);
    check(AVI_put_audio(h, pattern, 3), "audio");
    check(AVI_extend_audio(h, pattern + 100, 4), "extending audio");
    check(AVI_extend_audio(h, pattern + 200, 320), "extending audio");
    put_frame(h, 801, 0);
    close_file(h, "extended.avi");
}

/* 250 frames and 10 audio chunks, the index written at offset 500000. */
static void closed_at_500000(void)
{
    avi_handle *h = create("closed-at-500000.avi");
    AVI_define_video(h, 640, 480, 25.0, "H264");
    AVI_add_audio_track(h, 1, 8000, 16, 1, 128);
    for (int i = 0; i < 250; ++i) {
        put_frame(h, i == 0 ? 2772 : 1900, i % 25 == 0);
        if (i % 25 == 0)
            check(AVI_put_audio(h, pattern, 2000), "audio");
    }
    if (h->write_offset != 500000)
        fail("the data does not end at 500000");
    close_file(h, "closed-at-500000.avi");
}

/* The recording-time header, copied while the file is open; then the same recording cut off
 * 5 bytes into its last chunk, as a power loss leaves it, and that copy repaired. */
static void while_writing_and_cut_off(void)
{
    avi_handle *h = recorder_streams("recording.avi");
    recorder_frames(h, 12);
    copy_file("recording.avi", "while-writing.avi", 0);
    uint32_t last_chunk = h->write_offset;
    put_frame(h, 1234, 0);
    copy_file("recording.avi", "repaired.avi", (off_t)last_chunk + 8 + 5);
    close_file(h, "recording.avi");

    avi_recovery found;
    if (AVI_repair_file(path_of("repaired.avi"), &found) != 0)
        fail("repairing repaired.avi");
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: write_examples DIR\n");
        return 2;
    }
    out_dir = argv[1];
    uint32_t x = 12345;
    for (size_t i = 0; i < sizeof pattern; ++i) {
        x = x * 1103515245u + 12345u;
        pattern[i] = (unsigned char)(x >> 16);
    }
    umask(022);
    empty_file();
    video_only();
    with_audio();
    rgb_at_29_97();
    eight_tracks();
    repeated_frame();
    extended_audio();
    closed_at_500000();
    while_writing_and_cut_off();
    return 0;
}
