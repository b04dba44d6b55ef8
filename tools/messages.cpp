// The one-line failure reports of mirvo-avi and the words for the AVI module's codes.
#include "messages.h"

#include "command_line.h"

#include "avi/avi.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace mirvo_avi {

std::string printable(const std::string &text)
{
    std::string shown;
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            shown += escaped;
        } else {
            shown += c;
        }
    }
    return shown;
}

// Valid UTF-8 as it stands; any other byte taken as the character of that number (as in
// Latin-1), so that names and codes that are not UTF-8 still make valid JSON.
std::string as_utf8(const std::string &text)
{
    std::string out;
    const auto *s = reinterpret_cast<const unsigned char *>(text.data());
    size_t n = text.size();
    for (size_t i = 0; i < n;) {
        unsigned char c = s[i];
        size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool valid = length > 0 && i + length <= n;
        for (size_t k = 1; valid && k < length; ++k)
            valid = (s[i + k] & 0xc0) == 0x80;
        if (valid && length > 1) {  // no overlong forms, surrogates or values past U+10FFFF
            uint32_t first = length == 2 ? c & 0x1fU : length == 3 ? c & 0x0fU : c & 0x07U;
            uint32_t cp = first;
            for (size_t k = 1; k < length; ++k)
                cp = cp << 6 | (s[i + k] & 0x3fU);
            static constexpr uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
            valid = cp >= least[length] && cp <= 0x10ffff && (cp < 0xd800 || cp > 0xdfff);
        }
        if (valid) {
            out.append(text, i, length);
            i += length;
        } else {
            out += static_cast<char>(0xc0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3f));
            i += 1;
        }
    }
    return out;
}

std::string module_reason(const std::string &fallback)
{
    return avi_error == AVI_ERROR_NONE ? fallback : reason_of(avi_error, AVI_error_cause());
}

void clear_module_error(bool errno_too)
{
    avi_error = AVI_ERROR_NONE;
    if (errno_too)
        errno = 0;
}

namespace {

// How far a cut-off recording is known to be its own by its checkpoints.
enum class checkpoint_verdict {
    none_whole,     // no whole checkpoint: cut off before its first sync, or an earlier mirvo's
    none_verifies,  // checkpoints, but none verifies the data
    verified,       // the data verified up to checkpoint found.checkpoint_used
};

// A checkpoint that verifies is one of those found, so its number is never above the newest's.
checkpoint_verdict verdict_of(const avi_recovery &found)
{
    if (found.checkpoint_used > 0)
        return checkpoint_verdict::verified;
    return found.checkpoints == 0 ? checkpoint_verdict::none_whole : checkpoint_verdict::none_verifies;
}

// The words of each verdict, in its order: as info states it (after the count of
// checkpoints where there are any), as repair says it of what it kept, and as the reason a
// recording holds nothing to finish when its checkpoints left no frame to keep (the first
// row: when none was recorded).
struct verdict_words {
    const char *found, *kept, *nothing;
};
constexpr verdict_words words_of[] = {
    {"none (cut off before its first sync, or written by an earlier mirvo)", "no checkpoints, so not verified",
     "no frame was recorded before it was cut off"},
    {"none verifies: nothing of the data is known to be this recording's", nullptr,  // a repair keeps nothing
     "no checkpoint verifies its data"},
    {"the data verified up to checkpoint ", "verified by checkpoint ", "its newest verified checkpoint covers no frame"},
};
static_assert(std::size(words_of) == static_cast<size_t>(checkpoint_verdict::verified) + 1);

const verdict_words &words(checkpoint_verdict v)
{
    return words_of[static_cast<size_t>(v)];
}

}  // namespace

std::string checkpoints_found(const avi_recovery &found)
{
    checkpoint_verdict v = verdict_of(found);
    if (v == checkpoint_verdict::none_whole)
        return words(v).found;
    std::string stated = std::to_string(found.checkpoints) + ", " + words(v).found;
    return v == checkpoint_verdict::verified ? stated + std::to_string(found.checkpoint_used) : stated;
}

// Up to a checkpoint that verifies, and past it when nothing can have torn what followed; in a
// recording without checkpoints its chunks are kept as far as they read as whole chunks.
std::string how_verified(const avi_recovery &found)
{
    if (found.checkpoint_used == 0 && found.past_checkpoint == AVI_PAST_CLOSE_SYNCED)
        return "; its close had synced every chunk (the checkpoints were cleared)";
    if (verdict_of(found) == checkpoint_verdict::verified) {
        std::string verified = "; " + std::string(words(checkpoint_verdict::verified).kept) +
                               std::to_string(found.checkpoint_used);
        std::string past = ", and the " + std::to_string(found.chunks_past) + " chunks written after it kept";
        switch (found.past_checkpoint) {
        case AVI_PAST_SAME_BOOT:
            return verified + past + " (no restart since: every byte written was in the file)";
        case AVI_PAST_CLOSE_SYNCED:
            return verified + past + " (its close had synced them)";
        case AVI_PAST_NOTHING:
            return verified;
        default:
            break;
        }
    }
    bool kept = found.video_frames + found.audio_chunks > 0;
    return kept ? "; " + std::string(words(checkpoint_verdict::none_whole).kept) : "";
}

std::string nothing_to_finish(const avi_recovery &found)
{
    checkpoint_verdict stopped_by = found.stop_reason == AVI_STOP_UNVERIFIED   ? checkpoint_verdict::none_verifies
                                    : found.stop_reason == AVI_STOP_CHECKPOINT ? checkpoint_verdict::verified
                                                                               : checkpoint_verdict::none_whole;
    return std::string("not finalised: ") + words(stopped_by).nothing + ", nothing to finish";
}

std::string reason_of(int32_t code, int cause)
{
    std::string why = cause != 0 ? std::string(": ") + strerror(cause) : "";
    switch (code) {
    case AVI_ERROR_SIZE_LIMIT:
        return "would grow past the size limit of an AVI file";
    case AVI_ERROR_OPEN:
        return "cannot be opened" + why;
    case AVI_ERROR_READ:
        return cause != 0 ? "cannot be read" + why : "the file ends early";
    case AVI_ERROR_WRITE:
        return "cannot be written" + why;
    case AVI_ERROR_WRITE_INDEX:
        return "its index cannot be written" + why;
    case AVI_ERROR_CLOSE:
        return "its header cannot be written" + why;
    case AVI_ERROR_NOT_PERMITTED:
        return "the operation is not permitted";
    case AVI_ERROR_NO_MEMORY:
        return "out of memory";
    case AVI_ERROR_NOT_AVI:
        return "not an AVI file";
    case AVI_ERROR_NO_HEADER_LIST:
        return "not an AVI file: it has no header list";
    case AVI_ERROR_NO_MOVI:
        return "not an AVI file: it has no movi list";
    case AVI_ERROR_NO_VIDEO:
        return "it has no video stream";
    case AVI_ERROR_NEEDS_INDEX:
        return "it needs an index";
    case AVI_ERROR_TOO_MANY_TRACKS:
        return "it has more than 8 audio streams";
    default:
        return "an unknown error";
    }
}

int report(const std::string &name, const std::string &reason)
{
    fprintf(stderr, "%s: %s\n", printable(name).c_str(), printable(reason).c_str());
    return exit_failed;
}

}  // namespace mirvo_avi
