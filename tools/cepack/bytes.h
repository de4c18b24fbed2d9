// Little-endian integers in byte buffers, as every file the handheld's packaging writes
// and reads keeps them (PE images, cabinets, setup files).
#ifndef CEPACK_BYTES_H
#define CEPACK_BYTES_H

#include <cstddef>
#include <cstdint>
#include <vector>

inline uint32_t Get16(const uint8_t *p)
{
    return p[0] | p[1] << 8;
}

inline uint32_t Get32(const uint8_t *p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}

inline void Put16(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}

inline void Put32(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = uint8_t(v >> (8 * i));
}

inline void Append16(std::vector<uint8_t> &b, uint32_t v)
{
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}

inline void Append32(std::vector<uint8_t> &b, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(uint8_t(v >> (8 * i)));
}

#endif
