// mirvo-avi frames: one line per video frame and audio chunk in index order, with the
// file offset of its data, its length, its key flag and a CRC-32 (zlib) of its bytes; as
// text or as a JSON array. Every entry is checked against the file before the first line.
#include "avi/common/avi_crc32.h"
#include "index_entries.h"
#include "inputs.h"
#include "progress.h"
#include "tool_common.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

namespace mirvo_avi {
namespace {

// A line as text or as a JSON object, built by hand: an hour has 270 000 of them, and
// printf's parsing of its format would cost more than reading the file.
class line_builder {
public:
    line_builder &text(std::string_view t)
    {
        line_.append(t);
        return *this;
    }
    line_builder &number(int64_t n)
    {
        char digits[24];
        auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
        line_.append(digits, static_cast<size_t>(end - digits));
        return *this;
    }
    line_builder &hex8(uint32_t crc)
    {
        static const char hex[] = "0123456789abcdef";
        for (int shift = 28; shift >= 0; shift -= 4)
            line_.push_back(hex[(crc >> shift) & 0xf]);
        return *this;
    }
    void print()
    {
        fwrite(line_.data(), 1, line_.size(), stdout);
        line_.clear();
    }

private:
    std::string line_;
};

void print_line(line_builder &out, const entry_line &e, uint32_t crc, bool as_json, bool first)
{
    std::string stream = stream_name(e.stream);
    if (as_json)
        out.text(first ? "\n  {\"stream\": \"" : ",\n  {\"stream\": \"").text(stream).text("\", \"number\": ")
            .number(e.number).text(", \"offset\": ").number(e.where.offset).text(", \"length\": ")
            .number(e.where.length).text(", \"key\": ").text(e.key ? "true" : "false")
            .text(", \"filler\": ").text(e.stream == 0 && e.where.length == 0 ? "true" : "false")
            .text(", \"crc32\": \"").hex8(crc).text("\"}");
    else
        out.text(stream).text(" ").number(e.number).text(" ").number(e.where.offset).text(" ")
            .number(e.where.length).text(e.key ? " 1 " : " 0 ").hex8(crc).text("\n");
    out.print();
}

// The entries whose checksums are computed together, in two halves of about equal bytes.
struct batch {
    size_t begin, middle, end;
};

batch next_batch(const std::vector<entry_line> &entries, size_t begin)
{
    constexpr uint64_t batch_bytes = uint64_t{32} << 20;
    uint64_t bytes = 0, half = 0;
    size_t end = begin, middle = begin;
    while (end < entries.size() && bytes < batch_bytes)
        bytes += static_cast<uint64_t>(entries[end++].where.length);
    while (middle < end && half < bytes / 3)  // the caller also prints
        half += static_cast<uint64_t>(entries[middle++].where.length);
    return {begin, middle, end};
}

// Where checksumming stopped (the end of its range when every entry was read), and why.
struct checked {
    size_t at;
    int error;  // errno of the failed read; 0 for the end of the file
};

// The CRC-32 of the bytes of entries [from, to), into crcs.
checked checksum(chunk_reader &reader, const std::vector<entry_line> &entries, size_t from, size_t to,
                 std::vector<uint32_t> &crcs)
{
    for (size_t i = from; i < to; ++i) {
        auto length = static_cast<size_t>(entries[i].where.length);
        const unsigned char *bytes = reader.view(static_cast<uint64_t>(entries[i].where.offset), length);
        if (!bytes)
            return {i, errno};
        crcs[i] = avi_detail::crc32_update(0, bytes, length);
    }
    return {to, 0};
}

// A thread that runs work beside the caller where one can be had, else runs it at once;
// joined at the latest when it goes out of scope.
class helper_thread {
public:
    helper_thread(bool wanted, const std::function<void()> &work)
    {
        if (!wanted)
            return;
        try {
            thread_ = std::thread(work);
        } catch (const std::system_error &) {
            work();
        }
    }
    ~helper_thread() { join(); }
    helper_thread(const helper_thread &) = delete;
    helper_thread &operator=(const helper_thread &) = delete;
    void join()
    {
        if (thread_.joinable())
            thread_.join();
    }

private:
    std::thread thread_;
};

// The CRC-32s of the bytes of every entry, in batches of about 32 MiB, each handed to `show`
// (entries [from, to) with their CRCs in crcs) while a helper thread checks the next batch:
// the checksums cost more than reading the file. `wanted` is asked before each batch and
// stops the work when it says no. Returns where a read failed and why, or nothing when it
// did not.
std::optional<checked> checksum_in_batches(input_file &in, const std::vector<entry_line> &entries,
                                           std::vector<uint32_t> &crcs, const std::function<bool()> &wanted,
                                           const std::function<void(size_t from, size_t to)> &show)
{
    crcs.assign(entries.size(), 0);
    chunk_reader second_reader(in.fd, in.size);
    // While one batch is shown and the first part of the next one checked, the helper thread
    // checks the rest of the next one.
    batch b{0, 0, 0};
    checked upto{0, 0}, second{0, 0};  // upto: how far b was checked, and why not further
    while (wanted()) {
        batch next = next_batch(entries, b.end);
        helper_thread helper(next.middle < next.end,
                             [&] { second = checksum(second_reader, entries, next.middle, next.end, crcs); });
        show(b.begin, upto.at);
        if (upto.at < b.end)
            return upto;
        if (next.begin == next.end)
            break;
        checked first = checksum(*in.chunks, entries, next.begin, next.middle, crcs);
        helper.join();
        upto = first.at < next.middle ? first : second;
        b = next;
    }
    return std::nullopt;
}

// How the list of one file is framed among several: opened by `head` (before its first line,
// once the file could be read) and closed by `tail`.
struct framing {
    std::string head, tail;
};

int list_file(const std::string &path, bool as_json, const framing &around, bool &printed)
{
    input_file in;
    if (!open_input(path, in))
        return exit_failed;

    std::vector<entry_line> entries;
    std::string problem;
    if (!list_entries(in, entries, problem))
        return report(path, problem);
    uint64_t total = 0;
    for (const entry_line &e : entries)
        total += static_cast<uint64_t>(e.where.length);
    progress_meter meter(path, true);
    fputs(around.head.c_str(), stdout);
    printed = true;
    printf(as_json ? "[" : "# stream number data_offset length key crc32\n");
    std::vector<uint32_t> crcs;
    uint64_t done = 0;
    line_builder line;
    auto show = [&](size_t from, size_t to) {
        for (size_t i = from; i < to; ++i) {
            print_line(line, entries[i], crcs[i], as_json, i == 0);
            done += static_cast<uint64_t>(entries[i].where.length);
        }
        meter.update(done, total);
    };
    std::optional<checked> failed = checksum_in_batches(in, entries, crcs, [] { return !ferror(stdout); }, show);
    if (failed)
        problem = entry_name(entries[failed->at]) + ": " +
                  (failed->error != 0 ? strerror(failed->error) : "the file ends before its bytes");
    meter.finish();
    if (as_json)
        printf("\n]");  // closed also after a failure, so that what was listed stays valid JSON
    fputs(around.tail.c_str(), stdout);
    if (fflush(stdout) != 0)  // said here, where errno still tells why
        return report("standard output", strerror(errno));
    return problem.empty() ? exit_ok : report(path, problem);
}

int run(int argc, char **argv)
{
    bool as_json = false;
    operands given;
    int end = parse_json_option(frames_command, argc, argv, as_json, given);
    if (end >= 0)
        return end;
    // The lines go out in blocks.
    static char out_buffer[1 << 16];
    setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
    bool printed = false;
    if (!names_several(given.files))
        return list_file(given.files[0], as_json, {"", as_json ? "\n" : ""}, printed);

    // Several files: a "# file:" line before each list, or a JSON array of {file, frames}.
    size_t listed = 0;
    if (as_json)
        printf("[");
    int status = for_each_input(given.files, given.recursive, [&](const std::string &path, size_t, size_t) {
        std::string name = nlohmann::json(as_utf8(path)).dump();
        framing around = as_json ? framing{std::string(listed > 0 ? ",\n" : "\n") + "{\"file\": " + name + ", \"frames\": ", "}"}
                                 : framing{std::string(listed > 0 ? "\n" : "") + "# file: " + path + "\n", ""};
        printed = false;
        int result = list_file(path, as_json, around, printed);
        listed += printed;
        return result;
    });
    if (as_json)
        printf("\n]\n");
    return status;
}

}  // namespace

const command frames_command = {
    "frames", "frames [--json] [-r] FILE|FOLDER...",
    "one line per video frame and audio chunk in index order: stream, number, data offset,\n"
    "      length, key flag, CRC-32 of the bytes (a video frame of length 0 is a filler: the last\n"
    "      picture held for one more frame time); --json prints a JSON array of them, with\n"
    "      \"filler\" true for those. Several\n"
    "      files: each list after a \"# file: NAME\" line, or a JSON array of {file, frames}",
    run, command::files_and_folders};

}  // namespace mirvo_avi
