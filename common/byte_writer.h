// Lays out little-endian fields one after another into a buffer of fixed size: the AVI
// header region, chunk heads, a WAV header. A field that would end past the buffer is not
// stored, but the length still advances, so that the caller sees the overflow (overflowed())
// before anything reaches a file. The buffer's bytes are left as they were where zeros() or
// a skipped field passes over them.
#pragma once

#include "common/le_bytes.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

class byte_writer {
public:
    byte_writer(unsigned char *out, size_t capacity) : out_(out), capacity_(capacity) {}

    size_t length() const { return length_; }
    bool overflowed() const { return length_ > capacity_; }

    byte_writer &u16(uint32_t value)
    {
        if (fits(2))
            put_u16_le(out_ + length_, value);
        length_ += 2;
        return *this;
    }
    byte_writer &u32(uint32_t value)
    {
        if (fits(4))
            put_u32_le(out_ + length_, value);
        length_ += 4;
        return *this;
    }
    // Four characters of a chunk id or list type, as they stand.
    byte_writer &fourcc(const char *code) { return bytes(code, 4); }
    byte_writer &bytes(const void *data, size_t n)
    {
        if (fits(n) && n > 0)
            memcpy(out_ + length_, data, n);
        length_ += n;
        return *this;
    }
    byte_writer &zeros(size_t n)
    {
        if (fits(n) && n > 0)
            memset(out_ + length_, 0, n);
        length_ += n;
        return *this;
    }

    // A value at a position already passed: a size known only at the end of what it
    // measures, or a field at its named offset.
    void u32_at(size_t at, uint32_t value)
    {
        if (at + 4 <= capacity_)
            put_u32_le(out_ + at, value);
    }
    void fourcc_at(size_t at, const char *code)
    {
        if (at + 4 <= capacity_)
            memcpy(out_ + at, code, 4);
    }

private:
    bool fits(size_t n) const { return length_ <= capacity_ && n <= capacity_ - length_; }

    unsigned char *out_;
    size_t capacity_;
    size_t length_ = 0;
};
