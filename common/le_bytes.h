/* Little-endian stores and loads of the integers of RIFF files and of the device's
 * messages, done byte by byte so that neither the processor's byte order nor alignment
 * matters. Header-only and shared by the AVI module, the tools and the device stand-in. */
#ifndef MIRVO_LE_BYTES_H
#define MIRVO_LE_BYTES_H

#include <stdint.h>

static inline void put_u32_le(unsigned char *dst, uint32_t value)
{
    dst[0] = (unsigned char)value;
    dst[1] = (unsigned char)(value >> 8);
    dst[2] = (unsigned char)(value >> 16);
    dst[3] = (unsigned char)(value >> 24);
}

static inline void put_u16_le(unsigned char *dst, uint32_t value)
{
    dst[0] = (unsigned char)value;
    dst[1] = (unsigned char)(value >> 8);
}

static inline uint32_t get_u32_le(const unsigned char *src)
{
    return (uint32_t)src[0] | (uint32_t)src[1] << 8 | (uint32_t)src[2] << 16 |
           (uint32_t)src[3] << 24;
}

static inline uint16_t get_u16_le(const unsigned char *src)
{
    return (uint16_t)(src[0] | src[1] << 8);
}

#endif /* MIRVO_LE_BYTES_H */
