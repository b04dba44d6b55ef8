// Strict whole-number parsing (see parse_number.h).
#include "parse_number.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace qel {

bool parse_int32(const char *text, int32_t &value)
{
    if (!text || !*text || isspace(static_cast<unsigned char>(*text)))
        return false;
    char *end = nullptr;
    errno = 0;
    long long parsed = strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed < INT32_MIN || parsed > INT32_MAX)
        return false;
    value = static_cast<int32_t>(parsed);
    return true;
}

bool parse_uint64(const char *text, uint64_t &value)
{
    // strtoull takes a sign and wraps a negative number: only digits are let through.
    if (!text || !isdigit(static_cast<unsigned char>(*text)))
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long parsed = strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    value = parsed;
    return true;
}

}  // namespace qel
