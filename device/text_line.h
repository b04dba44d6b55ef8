// One line of text in a buffer of fixed size, built with a printf format: the stand-in
// device library's error messages, which must not need the C++ library's strings. A line
// that does not fit is cut; an empty line means that nothing went wrong.
#pragma once

#include <cstdarg>
#include <cstdio>

namespace qel {

struct text_line {
    char text[1024] = "";

    bool empty() const { return text[0] == '\0'; }
};

__attribute__((format(printf, 1, 2))) inline text_line format_line(const char *format, ...)
{
    text_line line;
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(line.text, sizeof line.text, format, arguments);
    va_end(arguments);
    return line;
}

}  // namespace qel
