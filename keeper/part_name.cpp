// Part names: "YYYYMMDDTHHMMSS.mmmZ.avi", the UTC time a part began. The civil date is worked
// out here rather than with the C library's time zone machinery, so that a name means the
// same on every camera whatever its TZ, and reading a name back is exact.
#include "keeper/keeper.h"

#include <cstdio>

namespace {

constexpr int64_t seconds_per_day = 86400;

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar (month 1..12).
int64_t days_from_civil(int64_t year, int month, int day)
{
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t year_of_era = year - era * 400;
    const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

struct civil {
    int64_t year;
    int month, day;
};

civil civil_from_days(int64_t days)
{
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t day_of_era = days - era * 146097;
    const int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const int64_t mp = (5 * day_of_year + 2) / 153;
    const int day = static_cast<int>(day_of_year - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {year_of_era + era * 400 + (month <= 2), month, day};
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// The digits at text[at .. at + count), or -1 if any is not a digit.
int digits(const char *text, int at, int count)
{
    int value = 0;
    for (int i = at; i < at + count; ++i) {
        if (!is_digit(text[i]))
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

int days_in_month(int64_t year, int month)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

}  // namespace

extern "C" int keeper_part_name(int64_t seconds, int32_t milliseconds, char *out, size_t size)
{
    if (!out || size < KEEPER_PART_NAME_LENGTH + 1 || milliseconds < 0 || milliseconds > 999 ||
        seconds < 0)
        return -1;
    const civil date = civil_from_days(seconds / seconds_per_day);
    const int64_t in_day = seconds % seconds_per_day;
    if (date.year > 9999)
        return -1;
    snprintf(out, size, "%04d%02d%02dT%02d%02d%02d.%03dZ.avi", static_cast<int>(date.year),
             date.month, date.day, static_cast<int>(in_day / 3600), static_cast<int>(in_day / 60 % 60),
             static_cast<int>(in_day % 60), static_cast<int>(milliseconds));
    return 0;
}

extern "C" int keeper_parse_part_name(const char *name, int64_t *seconds, int32_t *milliseconds)
{
    if (!name)
        return -1;
    static const char pattern[] = "ddddddddTdddddd.dddZ.avi";  // 'd': a digit
    static_assert(sizeof pattern == KEEPER_PART_NAME_LENGTH + 1);
    for (int i = 0; i < KEEPER_PART_NAME_LENGTH; ++i)
        if (pattern[i] == 'd' ? !is_digit(name[i]) : name[i] != pattern[i])
            return -1;
    if (name[KEEPER_PART_NAME_LENGTH] != '\0')
        return -1;
    const int year = digits(name, 0, 4), month = digits(name, 4, 2), day = digits(name, 6, 2);
    const int hour = digits(name, 9, 2), minute = digits(name, 11, 2), second = digits(name, 13, 2);
    const int millisecond = digits(name, 16, 3);
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) ||
        hour > 23 || minute > 59 || second > 59)
        return -1;
    if (seconds)
        *seconds = days_from_civil(year, month, day) * seconds_per_day + int64_t{hour} * 3600 +
                   int64_t{minute} * 60 + second;
    if (milliseconds)
        *milliseconds = millisecond;
    return 0;
}
