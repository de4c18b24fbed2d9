// What plain output never shows raw, shared by cedev-seal (EscapeText, on the host)
// and the helper (Printable, inside a device): control characters and the invisible
// characters that format text. A name or text from a device can then neither move the
// cursor nor reorder, hide or fake what a terminal shows (a right-to-left override
// turning "txt.exe" around, a zero-width space between two names that look alike).
//
// How each shows: \xHH for the C0 controls and DEL (\n, \r and \t by name where the
// escaper names them), \u00HH for the C1 controls, \uHHHH for a format character
// of the first plane, \UHHHHHHHH beyond it, \uHHHH for a lone surrogate.
#ifndef CEDEV_ESCAPE_H
#define CEDEV_ESCAPE_H

#include <cstddef>
#include <cstdint>
#include <string>

// Whether a character formats text without showing: Unicode's format characters
// (general category Cf, as of Unicode 15: the soft hyphen, the bidirectional
// controls, the zero-width characters, the byte-order mark, the interlinear
// annotation marks, tags...) and the line and paragraph separators.
inline bool IsFormatCharacter(uint32_t c)
{
    static const uint32_t kRanges[][2] = {
        {0x00ad, 0x00ad},   {0x0600, 0x0605},   {0x061c, 0x061c},   {0x06dd, 0x06dd},   {0x070f, 0x070f},
        {0x0890, 0x0891},   {0x08e2, 0x08e2},   {0x180e, 0x180e},   {0x200b, 0x200f},   {0x2028, 0x202e},
        {0x2060, 0x2064},   {0x2066, 0x206f},   {0xfeff, 0xfeff},   {0xfff9, 0xfffb},   {0x110bd, 0x110bd},
        {0x110cd, 0x110cd}, {0x13430, 0x1343f}, {0x1bca0, 0x1bca3}, {0x1d173, 0x1d17a}, {0xe0001, 0xe0001},
        {0xe0020, 0xe007f},
    };
    if (c < 0xad)
        return false;
    for (const auto &r : kRanges) {
        if (c < r[0])
            return false;
        if (c <= r[1])
            return true;
    }
    return false;
}

// Whether a character is escaped in plain output: every C0 control, DEL, every C1
// control and every format character.
inline bool IsEscapedCharacter(uint32_t c)
{
    return c < 0x20 || (c >= 0x7f && c < 0xa0) || IsFormatCharacter(c);
}

// Appends the escape of such a character (or of a lone surrogate).
inline void AppendCharacterEscape(uint32_t c, std::string *out)
{
    static const char kHex[] = "0123456789abcdef";
    int digits = c < 0x80 ? 2 : c < 0x10000 ? 4 : 8;
    *out += '\\';
    *out += c < 0x80 ? 'x' : c < 0x10000 ? 'u' : 'U';
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
        *out += kHex[(c >> shift) & 15];
}

// A UTF-16 text for plain output: UTF-8, its line breaks and tabs as \n, \r, \t, the
// other characters above escaped as said, and a lone surrogate, which UTF-8 cannot
// carry, as \uHHHH.
std::string PrintableUtf16(const char16_t *s, size_t n);

#endif
