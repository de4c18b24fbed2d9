// What kind of program a file is, read from its headers alike by cedev (a file on the
// host) and cedev's helper (a file inside a device): not a Windows program at all, one
// that cannot be whole (its sections run past the end of the file), the handheld's own
// (an ARM image, machine 0x01C0 or 0x01C2, or any Windows CE image, subsystem 9), which
// the ARM runner runs, or one Wine runs.
#ifndef CEDEV_PROGRAMKIND_H
#define CEDEV_PROGRAMKIND_H

#include <cstddef>
#include <cstdint>
#include <cstring>

enum class ProgramKind { NotProgram, CutShort, Native, Ce };

namespace programkind {

inline uint32_t U32(const unsigned char *p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline uint16_t U16(const unsigned char *p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

}  // namespace programkind

// readAt(offset, buffer, size) reads up to size bytes at offset and returns how many it
// read; fileSize is the file's length.
template <typename ReadAt> ProgramKind ClassifyProgram(ReadAt readAt, uint64_t fileSize)
{
    using programkind::U16;
    using programkind::U32;
    unsigned char dos[64] = {};
    size_t n = readAt(0, dos, sizeof(dos));
    if (n < 2 || dos[0] != 'M' || dos[1] != 'Z')
        return ProgramKind::NotProgram;
    unsigned char pe[94] = {};
    uint32_t at = U32(dos + 60);
    if (n < sizeof(dos) || readAt(at, pe, sizeof(pe)) < sizeof(pe) || memcmp(pe, "PE\0\0", 4))
        return ProgramKind::Native;
    // Every section's bytes must be in the file: a program cut short is refused here,
    // in one line, rather than by the loader's several.
    unsigned sections = U16(pe + 6), optional = U16(pe + 20);
    if (sections > 96)
        return ProgramKind::CutShort;
    for (unsigned i = 0; i < sections; ++i) {
        unsigned char s[40];
        if (readAt(static_cast<uint64_t>(at) + 24 + optional + 40ULL * i, s, sizeof(s)) < sizeof(s))
            return ProgramKind::CutShort;
        uint64_t size = U32(s + 16), start = U32(s + 20);
        if (size && start + size > fileSize)
            return ProgramKind::CutShort;
    }
    unsigned machine = U16(pe + 4), subsystem = U16(pe + 92);
    return machine == 0x01C0 || machine == 0x01C2 || subsystem == 9 ? ProgramKind::Ce : ProgramKind::Native;
}

#endif
