/* Whether a four-character code names H.264 video: "H264", "X264" or "AVC1" in any case, as
 * a stream header's handler or a video format's compression code. Only the first four
 * characters count; a shorter string (its zero ends the comparison) is not one. Header-only
 * and shared by the AVI module and the tools, so that both take the same files for H.264. */
#ifndef MIRVO_VIDEO_CODES_H
#define MIRVO_VIDEO_CODES_H

static inline int is_h264_code(const char *code)
{
    static const char names[3][5] = {"h264", "x264", "avc1"};
    for (int n = 0; n < 3; ++n) {
        int i = 0;
        while (i < 4 && (code[i] >= 'A' && code[i] <= 'Z' ? code[i] + 32 : code[i]) == names[n][i])
            ++i;
        if (i == 4)
            return 1;
    }
    return 0;
}

#endif
