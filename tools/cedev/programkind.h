// What kind of program a file is, read from its DOS header and its PE header alike by
// cedev-seal (a file on the host) and cedev's helper (a file inside a device): not a
// Windows program at all, the handheld's own (an ARM image, machine 0x01C0 or 0x01C2,
// or any Windows CE image, subsystem 9), which the ARM runner runs, or one Wine runs.
#ifndef CEDEV_PROGRAMKIND_H
#define CEDEV_PROGRAMKIND_H

#include <cstddef>
#include <cstdint>
#include <cstring>

enum class ProgramKind { NotProgram, Native, Ce };

// How many bytes of each header the classification reads.
const size_t kDosHeaderSize = 64, kPeHeaderSize = 94;

// Where the PE header starts, from the DOS header.
inline uint32_t PeHeaderOffset(const unsigned char *dos)
{
    return dos[60] | dos[61] << 8 | dos[62] << 16 | static_cast<uint32_t>(dos[63]) << 24;
}

// DOS: the first dosSize bytes of the file; pe: peSize bytes read at PeHeaderOffset
// (0 when they could not be read).
inline ProgramKind ClassifyProgram(const unsigned char *dos, size_t dosSize, const unsigned char *pe, size_t peSize)
{
    if (dosSize < 2 || dos[0] != 'M' || dos[1] != 'Z')
        return ProgramKind::NotProgram;
    if (dosSize < kDosHeaderSize || peSize < kPeHeaderSize || memcmp(pe, "PE\0\0", 4))
        return ProgramKind::Native;
    unsigned machine = pe[4] | pe[5] << 8, subsystem = pe[92] | pe[93] << 8;
    return machine == 0x01C0 || machine == 0x01C2 || subsystem == 9 ? ProgramKind::Ce : ProgramKind::Native;
}

#endif
