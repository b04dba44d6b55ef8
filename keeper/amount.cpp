// Amounts of card space as a user writes them: "300M", "2G", "1048576", "10%".
#include "keeper/keeper.h"

#include <cerrno>
#include <cstdlib>

extern "C" int keeper_parse_amount(const char *text, keeper_amount *out)
{
    if (!text || !out || *text < '0' || *text > '9')
        return -1;
    errno = 0;
    char *end = nullptr;
    const unsigned long long number = strtoull(text, &end, 10);
    if (errno == ERANGE)
        return -1;
    if (end[0] == '%' && end[1] == '\0') {
        if (number > 100)
            return -1;
        *out = {0, static_cast<int32_t>(number)};
        return 0;
    }
    int shift = 0;
    switch (*end) {
    case '\0': break;
    case 'K': case 'k': shift = 10; break;
    case 'M': case 'm': shift = 20; break;
    case 'G': case 'g': shift = 30; break;
    case 'T': case 't': shift = 40; break;
    default: return -1;
    }
    if (*end && end[1] != '\0')
        return -1;
    if (shift && number > (UINT64_MAX >> shift))
        return -1;
    *out = {static_cast<uint64_t>(number) << shift, -1};
    return 0;
}

extern "C" uint64_t keeper_amount_bytes(const keeper_amount *amount, uint64_t card_bytes)
{
    if (!amount)
        return 0;
    if (amount->percent < 0)
        return amount->bytes;
    return card_bytes / 100 * static_cast<uint64_t>(amount->percent) +
           card_bytes % 100 * static_cast<uint64_t>(amount->percent) / 100;
}
