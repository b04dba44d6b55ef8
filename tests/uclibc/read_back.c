/* Lists what the AVI module's reader finds in each file named on the command line: what
 * examining the file tells, then, opened with and without the index, the header's fields,
 * every table entry, every frame and each track's audio read through the reader's calls
 * (with a CRC-32 of the bytes), and every chunk in file order. The listing depends only on
 * the file and the module, so two builds of the module must print the same for the same
 * file. Floating-point values are printed as their bits: printf's rounding belongs to the
 * C library. Exit status 0, or 1 when a file cannot be listed at all. */
#include "avi/avi.h"

#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static uint32_t crc_table[256];

static void make_crc_table(void)
{
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = c & 1 ? 0xedb88320u ^ (c >> 1) : c >> 1;
        crc_table[n] = c;
    }
}

static uint32_t crc_add(uint32_t crc, const unsigned char *bytes, int64_t length)
{
    crc = ~crc;
    for (int64_t i = 0; i < length; ++i)
        crc = crc_table[(crc ^ bytes[i]) & 0xff] ^ (crc >> 8);
    return ~crc;
}

static uint64_t double_bits(double value)
{
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    return bits;
}

static void list_header(const avi_handle *h)
{
    printf("  video %" PRId32 "x%" PRId32 " fps-bits %016" PRIx64 " codec '%s' frames %" PRId32
           " largest %" PRIu32 " index-origin %" PRId32 " strh %" PRId32 " strf %" PRId32
           " tracks %" PRId32 "\n",
           AVI_frame_width(h), AVI_frame_height(h), double_bits(AVI_frames_per_second(h)),
           AVI_codec_fourcc(h), AVI_frame_count(h), AVI_largest_chunk(h), AVI_index_origin(h),
           AVI_video_strh_offset(h), AVI_video_strf_offset(h), AVI_track_count(h));
}

static void list_frames(avi_handle *h, unsigned char *buffer, int32_t capacity)
{
    int32_t frames = AVI_frame_count(h);
    for (int32_t n = 0; n < frames; ++n)
        printf("  entry %" PRId32 ": length %" PRId64 " offset %" PRId64 " key %" PRId32 "\n", n,
               AVI_frame_length(h, n), AVI_frame_file_offset(h, n), AVI_frame_is_key(h, n));
    for (int32_t i = 0; i < h->index_count; ++i)
        printf("  index %" PRId32 ": stream %" PRId32 "\n", i, AVI_index_entry_stream(h, i));
    int seek = AVI_seek_video_frame(h, 0);
    printf("  seek video 0: %d error %d\n", seek, (int)avi_error);
    for (int32_t n = 0; seek == 0; ++n) {
        int32_t key = -1;
        int32_t got = AVI_read_video_frame(h, buffer, capacity, &key);
        if (got < 0) {
            printf("  frame %" PRId32 ": end %" PRId32 " error %d\n", n, got, (int)avi_error);
            break;
        }
        printf("  frame %" PRId32 ": %" PRId32 " bytes key %" PRId32 " crc %08" PRIx32 "\n", n,
               got, key, crc_add(0, buffer, got));
    }
}

static void list_audio(avi_handle *h, unsigned char *buffer, int32_t capacity)
{
    for (int32_t t = 0; t < AVI_track_count(h); ++t) {
        AVI_select_audio_track(h, t);
        printf("  track %" PRId32 ": format %" PRId32 " channels %" PRId32 " rate %" PRId32
               " bits %" PRId32 " bitrate %" PRId32 " bytes %" PRId32 " chunks %" PRId32
               " strh %" PRId32 " strf %" PRId32 "\n",
               t, AVI_track_format(h), AVI_track_channels(h), AVI_track_rate(h),
               AVI_track_bits(h), AVI_track_bitrate(h), AVI_track_bytes(h), AVI_track_chunks(h),
               AVI_track_strh_offset(h), AVI_track_strf_offset(h));
        for (int32_t n = 0; n <= AVI_track_chunks(h); ++n)
            printf("  track %" PRId32 " chunk %" PRId32 ": length %" PRId64 " offset %" PRId64
                   "\n", t, n, AVI_audio_chunk_length(h, n), AVI_audio_chunk_file_offset(h, n));
        /* By bytes, in pieces that do not fall on chunk boundaries. */
        if (AVI_seek_audio_byte(h, 0) == 0) {
            uint32_t crc = 0;
            int64_t total = 0;
            int32_t got;
            while ((got = AVI_read_audio_bytes(h, buffer, 777 < capacity ? 777 : capacity)) > 0) {
                crc = crc_add(crc, buffer, got);
                total += got;
            }
            printf("  track %" PRId32 " by bytes: %" PRId64 " crc %08" PRIx32 " last %" PRId32
                   " error %d\n", t, total, crc, got, (int)avi_error);
        }
        /* Chunk by chunk, from byte 1000 on. */
        if (AVI_seek_audio_byte(h, 1000) == 0) {
            int32_t ahead = AVI_next_audio_chunk(h, NULL);
            printf("  track %" PRId32 " from byte 1000: next chunk holds %" PRId32 "\n", t, ahead);
            int32_t got;
            while (ahead >= 0 && ahead <= capacity && (got = AVI_next_audio_chunk(h, buffer)) > 0) {
                printf("  track %" PRId32 " next chunk: %" PRId32 " crc %08" PRIx32 "\n", t, got,
                       crc_add(0, buffer, got));
                ahead = AVI_next_audio_chunk(h, NULL);
            }
        }
    }
}

static void list_file_order(avi_handle *h, unsigned char *video, unsigned char *audio,
                            int32_t capacity)
{
    printf("  rewind: %d\n", AVI_rewind(h));
    for (;;) {
        int32_t length = -1;
        int kind = AVI_read_next_chunk(h, video, capacity, audio, capacity, &length);
        if (kind == 0)
            break;
        const unsigned char *data = kind == 1 ? video : audio;
        printf("  chunk %d: %" PRId32 " crc %08" PRIx32 "\n", kind, length,
               kind > 0 ? crc_add(0, data, length) : 0);
    }
}

static int list_file(const char *path)
{
    const char *slash = strrchr(path, '/');
    printf("file %s\n", slash ? slash + 1 : path);

    avi_recovery found;
    memset(&found, 0, sizeof found);
    avi_error = 0;
    int examined = AVI_examine_file(path, &found);
    printf("  examine %d error %d: state %" PRId32 " video %" PRId32 " audio %" PRId32
           " keys %" PRId32 " size %" PRIu64 " data-end %" PRIu64 "\n",
           examined, (int)avi_error, found.state, found.video_frames, found.audio_chunks,
           found.key_frames, found.file_size, found.data_end);

    /* Room for the largest chunk of any file we list, padded. */
    const int32_t capacity = 8 * 1024 * 1024;
    unsigned char *video = malloc((size_t)capacity), *audio = malloc((size_t)capacity);
    if (!video || !audio) {
        fprintf(stderr, "read_back: out of memory\n");
        free(video);
        free(audio);
        return 1;
    }
    for (int with_index = 1; with_index >= 0; --with_index) {
        avi_error = 0;
        avi_handle *h = AVI_open_input(path, with_index);
        printf(" with index %d: %s error %d\n", with_index, h ? "opened" : "refused", (int)avi_error);
        if (!h)
            continue;
        list_header(h);
        list_frames(h, video, capacity);
        list_audio(h, audio, capacity);
        list_file_order(h, video, audio, capacity);
        printf("  close: %d\n", AVI_close_handle(h));
    }
    free(video);
    free(audio);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: read_back FILE.avi...\n");
        return 2;
    }
    make_crc_table();
    int status = 0;
    for (int i = 1; i < argc; ++i)
        status |= list_file(argv[i]);
    return status;
}
