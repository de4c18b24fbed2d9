// Little-endian integers in byte buffers, as every file the handheld's packaging writes
// and reads keeps them (PE images, cabinets, setup files).
#ifndef CEPACK_BYTES_H
#define CEPACK_BYTES_H

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
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

// Reads a file's bytes, every read checked against its end; a failure is said once,
// in *why.
class ByteReader
{
public:
    ByteReader(const uint8_t *data, size_t size, std::string *why) : m_data(data), m_size(size), m_why(why) {}

    // The bytes [at, at + n), if they are in the file.
    const uint8_t *At(size_t at, size_t n) const { return at <= m_size && n <= m_size - at ? m_data + at : nullptr; }

    bool Fail(const std::string &what)
    {
        if (m_why)
            *m_why = what;
        return false;
    }

private:
    const uint8_t *m_data;
    size_t m_size;
    std::string *m_why;
};

// Reads the file at PATH whole into *out; false when it cannot be opened or read.
inline bool ReadFileBytes(const std::string &path, std::vector<uint8_t> *out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

#endif
