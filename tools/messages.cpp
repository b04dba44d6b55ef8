// The one-line failure reports of mirvo-avi and the words for the AVI module's codes.
#include "messages.h"

#include "command_line.h"

#include "avi/avi.h"

#include <cstdio>
#include <cstring>

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

std::string nothing_to_finish(const avi_recovery &found)
{
    switch (found.stop_reason) {
    case AVI_STOP_UNVERIFIED:
        return "not finalised: no checkpoint verifies its data, nothing to finish";
    case AVI_STOP_CHECKPOINT:
        return "not finalised: its newest verified checkpoint covers no frame, nothing to finish";
    default:
        return "not finalised: no frame was recorded before it was cut off, nothing to finish";
    }
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
