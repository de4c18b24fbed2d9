// The helper's escaper, in plain C++ so that the host's tests run it too.
#include "escape.h"

namespace {

void AppendUtf8(uint32_t c, std::string *out)
{
    if (c < 0x80) {
        *out += static_cast<char>(c);
    } else if (c < 0x800) {
        *out += static_cast<char>(0xc0 | c >> 6);
        *out += static_cast<char>(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
        *out += static_cast<char>(0xe0 | c >> 12);
        *out += static_cast<char>(0x80 | (c >> 6 & 0x3f));
        *out += static_cast<char>(0x80 | (c & 0x3f));
    } else {
        *out += static_cast<char>(0xf0 | c >> 18);
        *out += static_cast<char>(0x80 | (c >> 12 & 0x3f));
        *out += static_cast<char>(0x80 | (c >> 6 & 0x3f));
        *out += static_cast<char>(0x80 | (c & 0x3f));
    }
}

}  // namespace

std::string PrintableUtf16(const char16_t *s, size_t n)
{
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        uint32_t c = s[i];
        if (c >= 0xd800 && c < 0xdc00 && i + 1 < n && s[i + 1] >= 0xdc00 && s[i + 1] < 0xe000)
            c = 0x10000 + ((c - 0xd800) << 10) + (s[++i] - 0xdc00);
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else if (IsEscapedCharacter(c) || (c >= 0xd800 && c < 0xe000))
            AppendCharacterEscape(c, &out);
        else
            AppendUtf8(c, &out);
    }
    return out;
}
