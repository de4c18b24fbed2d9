#include "text.h"
#include "escape.h"

#include <cstdio>

namespace {

void Hex(const char *format, unsigned value, std::string *out)
{
    char buf[8];
    snprintf(buf, sizeof(buf), format, value);
    *out += buf;
}

// The length of the UTF-8 sequence that starts with byte b; 0 for a byte that cannot
// start one.
size_t SequenceLength(unsigned char b)
{
    if (b < 0x80)
        return 1;
    if (b >= 0xc2 && b <= 0xdf)
        return 2;
    if (b >= 0xe0 && b <= 0xef)
        return 3;
    if (b >= 0xf0 && b <= 0xf4)
        return 4;
    return 0;
}

// Whether s[0..n) is one well-formed UTF-8 character: no overlong forms, no surrogates,
// nothing above U+10FFFF.
bool WellFormed(const unsigned char *s, size_t n)
{
    for (size_t i = 1; i < n; ++i) {
        if ((s[i] & 0xc0) != 0x80)
            return false;
    }
    if (n == 3 && ((s[0] == 0xe0 && s[1] < 0xa0) || (s[0] == 0xed && s[1] >= 0xa0)))
        return false;
    if (n == 4 && ((s[0] == 0xf0 && s[1] < 0x90) || (s[0] == 0xf4 && s[1] >= 0x90)))
        return false;
    return true;
}

// The character of a well-formed sequence.
uint32_t Decode(const unsigned char *s, size_t n)
{
    static const unsigned char kLead[] = {0, 0x7f, 0x1f, 0x0f, 0x07};
    uint32_t c = s[0] & kLead[n];
    for (size_t i = 1; i < n; ++i)
        c = c << 6 | (s[i] & 0x3f);
    return c;
}

}  // namespace

bool IsUtf8(std::string_view s)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s.data());
    for (size_t i = 0, n = s.size(); i < n;) {
        size_t len = SequenceLength(p[i]);
        if (!len || n - i < len || !WellFormed(p + i, len))
            return false;
        i += len;
    }
    return true;
}

void EscapeText(std::string_view piece, TextMode mode, bool last, std::string *carry, std::string *out)
{
    if (mode == TextMode::Raw) {
        out->append(piece);
        return;
    }
    std::string joined = *carry;
    joined.append(piece);
    carry->clear();
    const unsigned char *s = reinterpret_cast<const unsigned char *>(joined.data());
    size_t n = joined.size();
    for (size_t i = 0; i < n;) {
        unsigned char b = s[i];
        if (b == '\n' || b == '\t' || (b >= 0x20 && b < 0x7f)) {
            *out += static_cast<char>(b);
            ++i;
            continue;
        }
        if (b == '\r') {
            if (i + 1 == n && !last) {
                carry->assign(1, '\r');
                return;
            }
            if (mode == TextMode::Program || (i + 1 < n && s[i + 1] == '\n'))
                *out += '\r';
            else
                *out += "\\r";
            ++i;
            continue;
        }
        size_t len = SequenceLength(b);
        if (len > 1 && i + len > n && !last) {
            // Possibly a character cut by the end of this piece.
            bool prefix = true;
            for (size_t k = i + 1; k < n; ++k)
                prefix = prefix && (s[k] & 0xc0) == 0x80;
            if (prefix) {
                carry->assign(joined, i, std::string::npos);
                return;
            }
        }
        if (len > 1 && i + len <= n && WellFormed(s + i, len)) {
            uint32_t c = Decode(s + i, len);
            if (IsEscapedCharacter(c))
                AppendCharacterEscape(c, out);  // a C1 control or a format character
            else
                out->append(joined, i, len);
            i += len;
            continue;
        }
        Hex("\\x%02x", b, out);
        ++i;
    }
}
