/* A small C program that uses the installed AVI library the way a camera's C code would:
 * it writes a file with a video stream and an audio track, closes it, and checks the first
 * bytes and the size it was told. Prints "ok SIZE" and exits 0 when everything worked. */
#include <avi/avi.h>

#include <stdio.h>
#include <string.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s FILE.avi\n", argv[0]);
        return 2;
    }
    avi_handle *avi = AVI_create_output_file(argv[1]);
    if (!avi) {
        AVI_report_error(argv[0]);
        return 1;
    }
    AVI_define_video(avi, 320, 240, 25.0, "H264");
    AVI_add_audio_track(avi, 1, 8000, 16, 1, 128);
    static const unsigned char frame[] = {0, 0, 0, 1, 0x09, 0xf0, 0, 0, 0, 1, 0x65, 0x88};
    static const unsigned char pcm[320];
    int failed = AVI_put_video_frame(avi, frame, (int32_t)sizeof frame, 1) != 0 ||
                 AVI_put_audio(avi, pcm, (int32_t)sizeof pcm) != 0;
    uint32_t size = AVI_size_written(avi);
    int frames = avi->video_frame_count;
    failed |= AVI_close_handle(avi) != 0;
    if (failed || frames != 1 || AVI_size_limit() != 0xfefff7ffu) {
        fprintf(stderr, "%s: %s\n", argv[0], AVI_error_text());
        return 1;
    }

    unsigned char head[12] = {0};
    FILE *f = fopen(argv[1], "rb");
    size_t got = f ? fread(head, 1, sizeof head, f) : 0;
    long end = f && fseek(f, 0, SEEK_END) == 0 ? ftell(f) : -1;
    if (f)
        fclose(f);
    if (got != sizeof head || memcmp(head, "RIFF", 4) != 0 || memcmp(head + 8, "AVI ", 4) != 0 ||
        end != (long)size) {
        fprintf(stderr, "%s: not the AVI file expected (%ld bytes)\n", argv[0], end);
        return 1;
    }
    printf("ok %lu\n", (unsigned long)size);
    return 0;
}
