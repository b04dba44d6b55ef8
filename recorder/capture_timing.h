// Keeps a recording on the camera's clock. The file shows video frame n at n / rate, so it
// plays at the speed it was captured only while the camera delivers the declared rate. When
// fewer frames come (night mode, frames the encoder dropped), the missing frame times are
// filled, each with the last picture held; when more come, the rate measured is declared
// instead. The clock is the audio, when the frame source delivers any (8000 samples are a
// second of the codec's clock, and audio and video come in capture order), else the
// monotonic clock at each fetch.
#pragma once

#include <cstdint>

struct capture_timing {
    double fps = 0;               // declared; 0: no timing (a rate that is not a rate)
    // The audio clock: samples delivered since the first key frame. Audio that stops while
    // video goes on is a clock that stopped: the monotonic clock takes over for good.
    uint64_t audio_samples = 0;
    bool audio_seen = false, audio_stopped = false;
    int64_t video_since_audio = 0, silence_from_ms = 0;  // the fetch of the first of them
    double silence_origin = 0;                           // the timeline's origin before them
    // The monotonic clock: when frames were fetched, and the frame interval seen between
    // frames that came as they were captured (not from the frame source's backlog).
    int64_t first_fetch_ms = 0;
    double last_time = 0;         // the capture time given to the last video frame
    double interval = 0;          // estimated from live frames, at first 1 / fps
    bool live_before = false;     // the frame before the last one came live too
    int64_t last_live_ms = -1;
    int64_t first_live_ms = -1, first_live_slot = 0, last_live_slot = 0;
    // The file: frame times used so far (frames and fillers), and the capture time that
    // slot 0 stands for, lowered whenever a frame comes earlier than its slot.
    int64_t slots = 0;
    int64_t last_slot = 0;        // the last frame's
    double origin = 0;
};

// A new recording at the declared rate.
void timing_start(capture_timing &t, int32_t declared_fps);

// An audio frame of `bytes` (16-bit mono) delivered after the first key frame, recorded or not.
void timing_audio(capture_timing &t, int32_t bytes);

// A video frame fetched at `fetch_ms`; `waited`: the frame source had said "no frame now"
// since the frame before, so this one came as it was captured. Returns how many frame times
// to fill, with the last picture, before it is written; counts it and them.
int32_t timing_video(capture_timing &t, int64_t fetch_ms, bool waited);

// At the end of a recording with audio: frame times to fill so that the video lasts as long
// as the audio. Counts them.
int32_t timing_end(capture_timing &t);

// The rate the file should declare: the declared one, or the measured one when the camera
// delivered measurably more frames than the declared rate can show in the time captured.
double timing_rate(const capture_timing &t);
