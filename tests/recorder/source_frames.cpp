// The stand-in's frames as a reference for recordings (see source_frames.h).
#include "source_frames.h"

#include "qel/qelmain.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace mirvo_test {

namespace {

std::string chunk_id_of(const source_frame &f)
{
    return f.type == QEL_FRAME_AUDIO ? "01wb" : "00db";
}

uint32_t flags_of(const source_frame &f)
{
    return f.type == QEL_FRAME_VIDEO_KEY ? 0x10u : 0u;
}

// The source's frames one by one from a serial on. The frame source of this process is one
// clock that only moves forward, so a reader fetches no further than it needs.
class source_reader {
public:
    source_reader(int32_t first, bool with_audio) : with_audio_(with_audio)
    {
        static bool ready = [] {
            setenv("QEL_PACE", "burst", 1);
            return zo_get_data_init() == 0;
        }();
        if (!ready)
            ADD_FAILURE() << "the stand-in frame source did not start";
        ok_ = ready;
        frame_.serial = first - 1;
    }
    ~source_reader() { free(frame_.data); }
    source_reader(const source_reader &) = delete;
    source_reader &operator=(const source_reader &) = delete;

    // The next frame (audio frames left out unless with_audio); false when there is none.
    bool next(source_frame &out)
    {
        while (ok_) {
            if (zo_get_av_data(0, &frame_) != 0) {
                ADD_FAILURE() << "burst pacing always has a frame";
                ok_ = false;
                break;
            }
            if (frame_.type == QEL_FRAME_AUDIO && !with_audio_)
                continue;
            out = {frame_.serial, frame_.type, bytes(frame_.data, frame_.data + frame_.length)};
            return true;
        }
        return false;
    }

private:
    av_frame_info frame_{};
    bool with_audio_;
    bool ok_ = false;
};

}  // namespace

std::vector<source_frame> source_frames(int32_t first, size_t count, bool with_audio)
{
    source_reader reader(first, with_audio);
    std::vector<source_frame> frames;
    source_frame f;
    while (frames.size() < count && reader.next(f))
        frames.push_back(std::move(f));
    return frames;
}

std::vector<indexed_chunk> chunks_of(const std::vector<source_frame> &frames)
{
    std::vector<indexed_chunk> chunks;
    for (const source_frame &f : frames)
        chunks.push_back({chunk_id_of(f), flags_of(f), f.data});
    return chunks;
}

void expect_source_frames(const std::vector<indexed_chunk> &chunks, int32_t first,
                          bool with_audio)
{
    std::vector<source_frame> frames = source_frames(first, chunks.size(), with_audio);
    ASSERT_EQ(frames.size(), chunks.size());
    ASSERT_EQ(frames.front().serial, first) << "the source skipped frames";
    expect_source_frames(chunks, frames);
}

void expect_source_frames(const std::vector<indexed_chunk> &chunks,
                          const std::vector<source_frame> &frames)
{
    ASSERT_LE(chunks.size(), frames.size()) << "more chunks than the source's frames";
    for (size_t i = 0; i < chunks.size(); ++i) {
        const source_frame &f = frames[i];
        SCOPED_TRACE("frame " + std::to_string(i) + ", serial " + std::to_string(f.serial));
        EXPECT_EQ(chunks[i].id, chunk_id_of(f));
        EXPECT_EQ(chunks[i].flags, flags_of(f));
        EXPECT_TRUE(chunks[i].data == f.data) << "bytes differ (" << chunks[i].data.size()
                                              << " recorded, " << f.data.size() << " delivered)";
        if (::testing::Test::HasFailure())
            return;  // one mismatch is enough to see; the rest would only repeat it
    }
}

size_t expect_source_frames_with_gaps(const std::vector<indexed_chunk> &chunks, int32_t first,
                                      bool with_audio, bool key_flags)
{
    // Room for some thousands of refused frames: the tests refuse for a few seconds.
    source_reader reader(first, with_audio);
    size_t budget = chunks.size() + 3000, left_out = 0;
    source_frame f;
    for (size_t i = 0; i < chunks.size(); ++i) {
        size_t skipped = 0;
        for (;;) {
            if (budget-- == 0 || !reader.next(f)) {
                ADD_FAILURE() << "chunk " << i << " (" << chunks[i].id << ", "
                              << chunks[i].data.size() << " bytes) is no later frame of the source";
                return left_out;
            }
            if (chunks[i].data == f.data && chunks[i].id == chunk_id_of(f))
                break;
            ++skipped;
        }
        if (i == 0)
            EXPECT_EQ(skipped, 0u) << "the file begins with the frame of serial " << first;
        else
            left_out += skipped;
        if (key_flags) {
            EXPECT_EQ(chunks[i].flags, flags_of(f)) << "chunk " << i;
        }
    }
    return left_out;
}

}  // namespace mirvo_test
