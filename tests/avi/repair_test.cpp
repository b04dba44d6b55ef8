// Repairing recordings that were cut off before their close: the repaired file must be byte
// for byte what a clean close writes for the same whole chunks, key frames included; finished
// files and files that are not this writer's recordings must not change by a byte.
#include "avi/avi_internal.h"
#include "recording.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <optional>

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

using namespace mirvo_test;

namespace {

// Video frames of the test clip (real H.264 access units, their key flags from the IDR
// slices), each followed by audio: 320 bytes on track 0 and, with two tracks, 161 bytes (odd,
// so padded) on track 1; the eighth frame is repeated once.
std::vector<piece> clip_pieces(int frames, int tracks)
{
    static const std::vector<access_unit> units = clip_units();
    std::vector<piece> pieces;
    for (int f = 0; f < frames; ++f) {
        const access_unit &u = units.at(static_cast<size_t>(f) % units.size());
        pieces.push_back({-1, u.data, u.key});
        if (f == 7)
            pieces.push_back({-1, {}, false, true});
        for (int t = 0; t < tracks; ++t)
            pieces.push_back({t, bytes(t == 0 ? 320 : 161, static_cast<unsigned char>(f * 3 + t))});
    }
    return pieces;
}

// The pieces whose chunks a file cut at `cut` holds whole (a missing pad byte aside).
std::vector<piece> whole_before(const std::vector<piece> &pieces, const recording &r, uint64_t cut)
{
    std::vector<piece> kept;
    for (size_t i = 0; i < pieces.size(); ++i) {
        uint64_t data_end = r.starts[i] + 8 + pieces[i].data.size();
        if (data_end > cut)
            break;
        kept.push_back(pieces[i]);
    }
    return kept;
}

// The video frames among chunks, or the key frames among those.
int32_t frames_in(const std::vector<piece> &chunks, bool keys_only = false)
{
    return static_cast<int32_t>(std::count_if(chunks.begin(), chunks.end(), [&](const piece &p) {
        return p.track < 0 && (p.key || !keys_only);
    }));
}

// Repair finds what an earlier boot left: the boot id the module reads is another one.
class booted_again {
public:
    booted_again() { avi_detail::boot_id_path = other_boot_id().c_str(); }
    ~booted_again() { avi_detail::boot_id_path = kept_; }

private:
    const char *kept_ = avi_detail::boot_id_path;
};

// What repair saved beside file from what it found: the header region, its checkpoints
// cleared, then every byte past the data kept; nothing when nothing was dropped. The saved
// file is removed for the next repair.
void expect_saved_rest(const std::string &file, const bytes &found, const avi_recovery &repaired)
{
    std::string rest = file + ".dropped";
    EXPECT_EQ(repaired.saved_bytes, found.size() > repaired.data_end ? found.size() - repaired.data_end : 0);
    if (found.size() <= repaired.data_end) {
        EXPECT_FALSE(std::filesystem::exists(rest)) << "nothing dropped, nothing saved";
        return;
    }
    bytes expected(found.begin(), found.begin() + AVI_HEADER_BYTES);
    for (int at : avi_detail::checkpoint_at::slots)
        std::fill_n(expected.begin() + at, avi_detail::checkpoint_at::bytes, 0);
    expected.insert(expected.end(), found.begin() + static_cast<long>(repaired.data_end), found.end());
    EXPECT_TRUE(read_file(rest) == expected) << "what repair dropped, saved beside the file";
    std::filesystem::remove(rest);
}

bool unchanged_after_repair(const std::string &path, int expected_result)
{
    bytes before = read_file(path);
    avi_recovery found;
    EXPECT_EQ(AVI_repair_file(path.c_str(), &found), expected_result) << path << ": " << AVI_error_text();
    return read_file(path) == before;
}

}  // namespace

TEST(repair, a_cut_off_recording_becomes_what_a_clean_close_writes_for_its_whole_chunks)
{
    temp_dir dir;
    for (streams s : {streams{.fps = 25.0, .tracks = 1}, streams{.fps = 29.97, .tracks = 2},
                       streams{.fps = 12.5, .tracks = 0}}) {
        SCOPED_TRACE("fps " + std::to_string(s.fps) + ", tracks " + std::to_string(s.tracks));
        std::vector<piece> pieces = clip_pieces(40, s.tracks);
        recording full = write_recording(dir.file("full.avi"), s, pieces);
        ASSERT_FALSE(HasFailure());

        // Cuts around the last chunks: at a chunk's end, inside its head, right after the
        // head, inside the data, before a missing pad byte; and the whole data uncut.
        std::vector<uint64_t> cuts = {full.before_close.size()};
        for (size_t i = pieces.size() - 6; i < pieces.size(); ++i) {
            uint32_t start = full.starts[i], end = full.ends[i];
            for (uint64_t cut : {uint64_t{start} + 3, uint64_t{start} + 8, uint64_t{start} + 8 + 100,
                                 uint64_t{end} - 1})
                cuts.push_back(cut);
        }
        for (uint64_t cut : cuts) {
            SCOPED_TRACE("cut at " + std::to_string(cut));
            std::vector<piece> whole = whole_before(pieces, full, cut);
            recording clean = write_recording(dir.file("clean.avi"), s, whole);

            std::string cut_off = dir.file("cut.avi");
            write_file(cut_off, bytes(full.before_close.begin(), full.before_close.begin() + static_cast<long>(cut)));
            avi_recovery examined;
            ASSERT_EQ(AVI_examine_file(cut_off.c_str(), &examined), 0) << AVI_error_text();
            EXPECT_EQ(examined.state, AVI_FILE_CUT_OFF);
            EXPECT_EQ(examined.file_size, cut);
            EXPECT_EQ(examined.data_end, clean.closed.size() - 8 - sizeof(avi_index_entry) * whole.size())
                << "the index goes where the last whole chunk ends";
            int fd = open(cut_off.c_str(), O_RDONLY);
            avi_recovery through_fd;
            EXPECT_EQ(AVI_examine_fd(fd, &through_fd), 0) << AVI_error_text();
            EXPECT_TRUE(memcmp(&through_fd, &examined, sizeof examined) == 0) << "by descriptor as by path";
            EXPECT_EQ(close(fd), 0) << "the caller keeps its descriptor";

            avi_recovery repaired;
            ASSERT_EQ(AVI_repair_file(cut_off.c_str(), &repaired), 0) << AVI_error_text();
            EXPECT_TRUE(read_file(cut_off) == clean.closed) << "not the bytes of a clean close";
            expect_saved_rest(cut_off, bytes(full.before_close.begin(), full.before_close.begin() + static_cast<long>(cut)), repaired);
            int32_t video = frames_in(whole), keys = frames_in(whole, true);
            EXPECT_EQ(repaired.video_frames, video);
            EXPECT_EQ(repaired.key_frames, keys);
            EXPECT_EQ(examined.key_frames, keys) << "examine finds the key frames repair flags";
            EXPECT_EQ(repaired.audio_chunks, static_cast<int32_t>(whole.size()) - video);
            EXPECT_TRUE(unchanged_after_repair(cut_off, 1)) << "a second repair finds it finished";
        }

        // Killed before the first frame: nothing to finish, and nothing changed.
        std::string empty = dir.file("empty.avi");
        write_file(empty, bytes(full.before_close.begin(), full.before_close.begin() + AVI_HEADER_BYTES));
        EXPECT_TRUE(unchanged_after_repair(empty, -1));
        EXPECT_EQ(avi_error, AVI_ERROR_NO_VIDEO);
    }
}

TEST(repair, a_file_whose_index_could_not_be_written_at_close_gets_it_later)
{
    // A close on a full disk writes the final header without the index (flags 0x100, RIFF
    // size covering the data only); once there is room again, repair adds the index.
    temp_dir dir;
    recording clean = write_recording(dir.file("clean.avi"), {.tracks = 1}, clip_pieces(30, 1));
    bytes b = clean.closed;
    size_t data_end = u32_at(b, avi_detail::header_at::movi_size) + avi_detail::header_at::movi_list + 8;
    b.resize(data_end);
    for (auto [at, value] : {std::pair<size_t, uint32_t>{avi_detail::header_at::riff_size, static_cast<uint32_t>(data_end - 8)},
                             {avi_detail::header_at::flags, 0x100}})
        for (int i = 0; i < 4; ++i)
            b[at + static_cast<size_t>(i)] = static_cast<unsigned char>(value >> (8 * i));
    std::string file = dir.file("no-index.avi");
    write_file(file, b);

    avi_recovery found;
    ASSERT_EQ(AVI_repair_file(file.c_str(), &found), 0) << AVI_error_text();
    EXPECT_TRUE(read_file(file) == clean.closed);
}

TEST(repair, a_finished_file_cut_inside_its_index_is_read_by_scanning_and_finished_again)
{
    // The final header reached the card, the index did not all get there.
    temp_dir dir;
    std::vector<piece> pieces = clip_pieces(40, 2), &chunks = pieces;
    recording full = write_recording(dir.file("full.avi"), {.tracks = 2}, pieces);
    recording clean = write_recording(dir.file("clean.avi"), {.tracks = 2}, chunks);
    ASSERT_FALSE(HasFailure());
    size_t index_at = u32_at(full.closed, avi_detail::header_at::movi_size) + avi_detail::header_at::movi_list + 8;
    int32_t video = frames_in(chunks), keys = frames_in(chunks, true);
    constexpr size_t entry = sizeof(avi_index_entry);
    for (size_t cut : {index_at + 8, index_at + 8 + entry * 20 + 7, full.closed.size() - entry}) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        std::string file = dir.file("cut.avi");
        write_file(file, bytes(full.closed.begin(), full.closed.begin() + static_cast<long>(cut)));
        avi_handle *h = AVI_open_input(file.c_str(), 1);
        ASSERT_NE(h, nullptr) << AVI_error_text();
        EXPECT_EQ(AVI_index_origin(h), AVI_INDEX_REBUILT);
        EXPECT_EQ(AVI_frame_count(h), video);
        AVI_close_handle(h);

        avi_recovery examined, repaired;
        ASSERT_EQ(AVI_examine_file(file.c_str(), &examined), 0) << AVI_error_text();
        EXPECT_EQ(examined.state, AVI_FILE_CUT_OFF);
        EXPECT_EQ(examined.key_frames, keys);
        ASSERT_EQ(AVI_repair_file(file.c_str(), &repaired), 0) << AVI_error_text();
        EXPECT_TRUE(read_file(file) == clean.closed) << "not the bytes of a clean close";
        EXPECT_EQ(repaired.video_frames, video);
        expect_saved_rest(file, bytes(full.closed.begin(), full.closed.begin() + static_cast<long>(cut)), repaired);
    }
}

TEST(repair, long_scans_report_their_progress_up_to_the_whole_file)
{
    temp_dir dir;
    std::vector<piece> pieces;
    for (int f = 0; f < 400; ++f)
        pieces.push_back({-1, bytes(30000, static_cast<unsigned char>(f)), f % 25 == 0});
    recording r = write_recording(dir.file("big.avi"), {}, pieces);
    std::string file = dir.file("cut.avi");
    write_file(file, r.before_close);

    struct report {
        uint64_t done, total;
    };
    std::vector<report> reports;
    AVI_set_progress([](uint64_t done, uint64_t total, void *arg) {
        static_cast<std::vector<report> *>(arg)->push_back({done, total});
    }, &reports);
    avi_recovery found;
    auto rebuilding_open = [&] { AVI_close_handle(AVI_open_input(file.c_str(), 1)); };
    auto examine = [&] { AVI_examine_file(file.c_str(), &found); };
    auto repair = [&] { AVI_repair_file(file.c_str(), &found); };
    for (auto scan : std::vector<std::function<void()>>{rebuilding_open, examine, repair}) {
        uint64_t size = r.before_close.size();
        reports.clear();
        scan();
        ASSERT_GE(reports.size(), size / (8u << 20) + 1) << "about every few MB";
        for (size_t i = 0; i < reports.size(); ++i) {
            EXPECT_EQ(reports[i].total, size);
            EXPECT_LE(reports[i].done, size);
            if (i > 0) {
                EXPECT_GE(reports[i].done, reports[i - 1].done);
            }
        }
        EXPECT_EQ(reports.back().done, size) << "the end is reported";
    }
    AVI_set_progress(nullptr, nullptr);
    reports.clear();
    examine();
    EXPECT_TRUE(reports.empty()) << "null turns it off";
}

TEST(repair, finished_files_are_left_byte_for_byte_and_said_to_be_finished)
{
    temp_dir dir;
    recording with_repeat = write_recording(dir.file("ours.avi"), {.tracks = 2}, clip_pieces(30, 2));
    recording empty = write_recording(dir.file("empty.avi"), {.tracks = 1}, {});
    ASSERT_EQ(empty.closed.size(), 2056u);
    std::vector<std::string> files = {dir.file("ours.avi"), dir.file("empty.avi")};
    for (const auto &peer : std::filesystem::directory_iterator(source_path("tests/data/peers")))
        if (peer.path().extension() == ".avi") {
            files.push_back(dir.file(peer.path().filename()));
            std::filesystem::copy_file(peer.path(), files.back());
        }
    ASSERT_GE(files.size(), 6u);

    for (const std::string &file : files) {
        SCOPED_TRACE(file);
        avi_recovery found;
        ASSERT_EQ(AVI_examine_file(file.c_str(), &found), 0) << AVI_error_text();
        EXPECT_EQ(found.state, AVI_FILE_FINISHED);
        EXPECT_TRUE(unchanged_after_repair(file, 1));
        AVI_repair_file(file.c_str(), &found);
        EXPECT_EQ(found.state, AVI_FILE_FINISHED);
    }
    EXPECT_TRUE(read_file(dir.file("ours.avi")) == with_repeat.closed) << "its repeated frame kept";
}

TEST(repair, files_that_are_not_cut_off_recordings_get_a_clear_error_and_stay_untouched)
{
    temp_dir dir;
    struct refused {
        std::string name;
        bytes content;
        int32_t error;
    };
    // Killed before the streams were declared: the placeholder, whole or in part.
    std::vector<refused> cases = {{"placeholder.avi", bytes(AVI_HEADER_BYTES, 0), AVI_ERROR_NOT_AVI},
                                  {"short.avi", bytes(700, 0), AVI_ERROR_NOT_AVI},
                                  {"empty.avi", {}, AVI_ERROR_NOT_AVI},
                                  {"riff.avi", {'R', 'I', 'F', 'F'}, AVI_ERROR_NOT_AVI}};
    bytes text(3000, 'x');
    cases.push_back({"text.avi", text, AVI_ERROR_NOT_AVI});
    // Another writer's file cut off in its data: not finished, and not this writer's header.
    bytes peer = read_file(source_path("tests/data/peers/ffmpeg-pcm.avi"));
    cases.push_back({"peer-cut.avi", bytes(peer.begin(), peer.begin() + 30001), AVI_ERROR_NOT_PERMITTED});
    // This writer's header with another frame rate scale: not what this writer writes.
    recording ours = write_recording(dir.file("ours.avi"), {.tracks = 1}, clip_pieces(5, 1));
    bytes other_scale(ours.before_close);
    other_scale[avi_detail::header_at::video_strh_data + avi_detail::strh_at::scale] = 1;
    cases.push_back({"scale.avi", other_scale, AVI_ERROR_NOT_PERMITTED});

    for (const refused &c : cases) {
        SCOPED_TRACE(c.name);
        std::string file = dir.file(c.name);
        write_file(file, c.content);
        avi_recovery found;
        avi_error = 0;
        EXPECT_TRUE(unchanged_after_repair(file, -1));
        EXPECT_EQ(avi_error, c.error) << AVI_error_text();
        EXPECT_EQ(AVI_repair_file(file.c_str(), &found), -1);
        EXPECT_EQ(found.state, c.error == AVI_ERROR_NOT_PERMITTED ? AVI_FILE_OTHER : AVI_FILE_UNKNOWN);
    }

    avi_recovery found;
    EXPECT_EQ(AVI_repair_file(dir.file("missing.avi").c_str(), &found), -1);
    EXPECT_EQ(avi_error, AVI_ERROR_OPEN);
    EXPECT_EQ(AVI_repair_file(dir.path().c_str(), &found), -1) << "a directory";
    EXPECT_EQ(avi_error, AVI_ERROR_OPEN);
    EXPECT_EQ(AVI_examine_file("/dev/zero", &found), -1);
    EXPECT_EQ(avi_error, AVI_ERROR_NOT_AVI) << "not a regular file";

    // A cut-off recording that may not be written is examined, not repaired. (Root may write
    // anything: the tool's tests try this as another user.)
    if (geteuid() != 0) {
        std::string file = dir.file("read-only.avi");
        write_file(file, ours.before_close);
        chmod(file.c_str(), 0444);
        EXPECT_TRUE(unchanged_after_repair(file, -1));
        EXPECT_EQ(avi_error, AVI_ERROR_OPEN);
        EXPECT_EQ(AVI_examine_file(file.c_str(), &found), 0);
        EXPECT_EQ(found.state, AVI_FILE_CUT_OFF);
    }
}

TEST(repair, the_idr_search_finds_the_key_frames_of_a_clip_in_pieces_of_any_size)
{
    std::vector<access_unit> units = clip_units();
    ASSERT_GT(units.size(), 30u);
    int keys = 0;
    for (size_t u = 0; u < units.size(); ++u) {
        const bytes &data = units[u].data;
        keys += units[u].key;
        for (size_t piece : {data.size(), size_t{1}, size_t{3}, size_t{4096}}) {
            avi_detail::idr_search search;
            for (size_t at = 0; at < data.size(); at += piece)
                avi_detail::search_idr(search, data.data() + at, std::min(piece, data.size() - at));
            EXPECT_EQ(search.found, units[u].key) << "unit " << u << " in pieces of " << piece;
        }
    }
    EXPECT_GE(keys, 2);

    auto holds_idr = [](const bytes &b) {
        avi_detail::idr_search search;
        avi_detail::search_idr(search, b.data(), b.size());
        return search.found;
    };
    EXPECT_TRUE(holds_idr({0, 0, 1, 0x65, 0x88}));            // 3-byte start code
    EXPECT_TRUE(holds_idr({0, 0, 0, 1, 0x25, 0x88}));         // 4-byte, nal_ref_idc 1
    EXPECT_TRUE(holds_idr({0, 0, 0, 1, 0x09, 0xf0, 0, 0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x65}));
    EXPECT_FALSE(holds_idr({0, 0, 1, 0x41, 0x9a, 0x65}));     // a P slice; 0x65 in its payload
    EXPECT_FALSE(holds_idr({0, 1, 0x65, 0, 0, 2, 0x65}));     // no start code before either
    EXPECT_FALSE(holds_idr({0x65, 0, 0, 1}));                 // a start code with no unit after it
}

TEST(repair, a_recording_with_checkpoints_keeps_exactly_what_its_newest_verified_checkpoint_covers)
{
    // Synced before the first piece, after piece 29 and after piece 59 (checkpoints 1 to 3);
    // the pieces after that were written after the last sync.
    temp_dir dir;
    std::vector<piece> pieces = clip_pieces(40, 1);
    const size_t second = 29, third = 59;
    recording synced = write_recording(dir.file("synced.avi"), {.tracks = 1}, pieces, {true, {second, third}});
    recording plain = write_recording(dir.file("plain.avi"), {.tracks = 1}, pieces);
    std::vector<piece> other_sound = pieces;  // another recording: the same frames, other sound
    for (piece &p : other_sound)
        if (p.track == 0)
            p.data[0] ^= 0xff;
    recording other = write_recording(dir.file("other.avi"), {.tracks = 1}, other_sound, {true, {second, third}});
    ASSERT_FALSE(HasFailure());
    EXPECT_TRUE(synced.closed == plain.closed) << "a finished file does not show its checkpoints";

    // The slots while recording: the newest checkpoint in slot 3 % 2, the one before in the other.
    namespace at = avi_detail::checkpoint_at;
    const bytes &cut = synced.before_close;
    auto slot = [&](int k) { return bytes(cut.begin() + at::slots[k], cut.begin() + at::slots[k] + at::bytes); };
    EXPECT_EQ(text_at(cut, at::slots[1] + at::magic), "mvcp");
    EXPECT_EQ(u32_at(cut, at::slots[1] + at::sequence), 3u);
    EXPECT_EQ(u32_at(cut, at::slots[0] + at::sequence), 2u);
    EXPECT_EQ(u32_at(cut, at::slots[1] + at::data_end), synced.ends[third]);
    EXPECT_EQ(u32_at(cut, at::slots[0] + at::data_end), synced.ends[second]);
    EXPECT_EQ(u32_at(cut, at::slots[1] + at::chunks), third + 1) << "the repeat is a chunk";
    bytes older = slot(0), newest = slot(1);
    EXPECT_TRUE(std::equal(older.begin() + at::recording, older.begin() + at::recording + 8,
                           newest.begin() + at::recording))
        << "both of the same recording";
    uint32_t data_crc = avi_detail::crc32_update(0, &cut[at::slots[1] + at::recording], 8);
    data_crc = avi_detail::crc32_update(data_crc, &cut[AVI_HEADER_BYTES], synced.ends[third] - AVI_HEADER_BYTES);
    EXPECT_EQ(u32_at(cut, at::slots[1] + at::data_crc), data_crc);
    EXPECT_EQ(u32_at(cut, at::slots[1] + at::slot_crc), avi_detail::crc32_update(0, newest.data(), at::slot_crc));

    struct damage {
        const char *what;
        std::function<void(bytes &)> apply;
        size_t kept;          // pieces kept (a prefix of the recording)
        int32_t used;         // checkpoint used
        int32_t stop_reason;
        bool killed = false;  // repaired in the boot that wrote it, else after a restart
    };
    auto zero = [](bytes &b, size_t from, size_t n) { std::fill_n(b.begin() + static_cast<long>(from), n, 0); };
    uint32_t sector_after_second = (synced.ends[second] + 511) / 512 * 512;
    std::vector<damage> damages = {
        {"nothing", [](bytes &) {}, third + 1, 3, AVI_STOP_CHECKPOINT},
        {"the newest slot torn", [&](bytes &b) { b[at::slots[1] + at::data_end] ^= 1; }, second + 1, 2, AVI_STOP_CHECKPOINT},
        {"a sector of the newest checkpoint's data lost", [&](bytes &b) { zero(b, sector_after_second, 512); },
         second + 1, 2, AVI_STOP_CHECKPOINT},
        {"a sector of the older checkpoint's data lost", [&](bytes &b) { zero(b, AVI_HEADER_BYTES + 512, 512); }, 0, 0,
         AVI_STOP_UNVERIFIED},
        {"both slots torn", [&](bytes &b) { b[at::slots[0] + 5] ^= 1; b[at::slots[1] + 5] ^= 1; }, 0, 0, AVI_STOP_UNVERIFIED},
        {"the newest slot of another recording", [&](bytes &b) {
             std::copy_n(other.before_close.begin() + at::slots[1], at::bytes, b.begin() + at::slots[1]);
         }, 0, 0, AVI_STOP_UNVERIFIED},
        {"stale zeros after the data", [&](bytes &b) { b.resize(b.size() + 5000, 0); }, third + 1, 3, AVI_STOP_CHECKPOINT},
        // A kill leaves in the page cache every byte written: all of it is kept.
        {"killed", [](bytes &) {}, pieces.size(), 3, AVI_STOP_END_OF_FILE, true},
        {"killed inside a write", [&](bytes &b) { b.resize(synced.ends[pieces.size() - 3] + 8 + 100); },
         pieces.size() - 2, 3, AVI_STOP_CUT_SHORT, true},
        {"killed, the file grown by zeros", [&](bytes &b) { b.resize(b.size() + 5000, 0); },
         pieces.size(), 3, AVI_STOP_NOT_A_CHUNK, true},
    };
    for (const damage &d : damages) {
        SCOPED_TRACE(d.what);
        std::optional<booted_again> restarted;
        if (!d.killed)
            restarted.emplace();
        bytes b = cut;
        d.apply(b);
        std::string file = dir.file("cut.avi");
        write_file(file, b);
        std::vector<piece> kept = whole_before(pieces, synced, d.kept == 0 ? 0 : synced.ends[d.kept - 1]);
        int32_t video = frames_in(kept);

        avi_handle *h = AVI_open_input(file.c_str(), 1);
        EXPECT_EQ(h ? AVI_frame_count(h) : 0, video) << "the reader's rebuild keeps the same";
        AVI_close_handle(h);
        avi_recovery found;
        int result = AVI_repair_file(file.c_str(), &found);
        EXPECT_EQ(found.checkpoint_used, d.used);
        EXPECT_EQ(found.stop_reason, d.stop_reason);
        EXPECT_EQ(found.video_frames, video);
        if (video == 0) {  // nothing known to be the recording's: nothing to finish
            EXPECT_EQ(result, -1);
            EXPECT_EQ(avi_error, AVI_ERROR_NO_VIDEO);
            EXPECT_TRUE(read_file(file) == b) << "left as it was found";
            continue;
        }
        ASSERT_EQ(result, 0) << AVI_error_text();
        EXPECT_DOUBLE_EQ(found.seconds, video / 25.0);
        if (d.stop_reason == AVI_STOP_CHECKPOINT && d.kept == third + 1) {
            EXPECT_EQ(found.checkpoints, 3);
            EXPECT_EQ(found.dropped_chunks, static_cast<int32_t>(pieces.size() - kept.size()))
                << "every chunk written after the last sync";
        }
        EXPECT_EQ(found.past_checkpoint, d.killed ? AVI_PAST_SAME_BOOT : AVI_PAST_NOTHING);
        EXPECT_EQ(found.chunks_past, d.killed ? static_cast<int32_t>(kept.size() - (third + 1)) : 0);
        recording clean = write_recording(dir.file("clean.avi"), {.tracks = 1}, kept);
        EXPECT_TRUE(read_file(file) == clean.closed) << "what a clean close writes for the kept chunks";
        expect_saved_rest(file, b, found);
    }
}

TEST(repair, a_recording_without_checkpoints_ends_at_the_first_head_that_is_not_one_of_its_chunks)
{
    // A file of an earlier version, or of a caller that never syncs: every whole chunk is kept,
    // up to a head that is not a media chunk of its streams. Stepping over it could take a
    // zeroed hole, an index or another file's bytes for chunks.
    temp_dir dir;
    std::vector<piece> pieces = clip_pieces(20, 2);
    recording r = write_recording(dir.file("full.avi"), {.tracks = 2}, pieces);
    ASSERT_FALSE(HasFailure());
    const size_t hole = 10;  // the piece whose head is damaged
    ASSERT_FALSE(pieces[hole].repeat);
    auto head_replaced = [&](const std::string &with) {
        bytes b = r.before_close;
        std::copy(with.begin(), with.end(), b.begin() + r.starts[hole]);
        return b;
    };
    std::string index_entry = "00db" + le32(0x10) + le32(r.starts[hole]) + le32(16);
    for (const auto &[what, content] : std::vector<std::pair<std::string, bytes>>{
             {"zeros", head_replaced(std::string(16, '\0'))},
             {"an index entry", head_replaced(index_entry)},
             {"a track that was not declared", head_replaced("03wb" + le32(4))},
             {"a list", head_replaced("LIST" + le32(4) + "rec ")}}) {
        SCOPED_TRACE(what);
        std::string file = dir.file("cut.avi");
        write_file(file, content);
        avi_recovery found;
        ASSERT_EQ(AVI_repair_file(file.c_str(), &found), 0) << AVI_error_text();
        EXPECT_EQ(found.checkpoints, 0);
        EXPECT_EQ(found.stop_reason, AVI_STOP_NOT_A_CHUNK);
        EXPECT_EQ(found.data_end, r.starts[hole]);
        recording clean = write_recording(dir.file("clean.avi"), {.tracks = 2}, whole_before(pieces, r, r.starts[hole]));
        EXPECT_TRUE(read_file(file) == clean.closed);
        expect_saved_rest(file, content, found);
    }
}
