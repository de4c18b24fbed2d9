// Writing keys in Wine's registry format, and reading the keys of the factory files.
// The escapes written are the ones the Wine server's loader reads back without doubt:
// a backslash before a backslash and before the string's own delimiters, three octal
// digits for control characters, and four hex digits (\x00e9) for everything beyond
// ASCII, so that no digit after an escape is ever taken as part of it.
#include "winereg.h"
#include "winedump.h"

#include <cstring>

namespace {

const char kHexDigits[] = "0123456789abcdef";

enum : uint32_t { kRegSz = 1, kRegExpandSz = 2, kRegBinary = 3, kRegDword = 4, kRegMultiSz = 7 };

// Appends the N units at s (bytes in any alignment) as Wine escapes them; delim1 and
// delim2 are the delimiters of the place they stand in ("[" and "]" in a key path, '"'
// in a name or string).
void AppendEscaped(WineText *out, const char *s, size_t n, char delim1, char delim2)
{
    char buf[1536];  // room for 256 units at the longest escape
    while (n) {
        size_t chunk = n < 256 ? n : 256;
        char *p = buf;
        for (size_t i = 0; i < chunk; ++i) {
            char16_t c;
            memcpy(&c, s + 2 * i, 2);
            if (c >= 0x20 && c < 0x7f) {
                if (c == u'\\' || c == delim1 || c == delim2)
                    *p++ = '\\';
                *p++ = static_cast<char>(c);
            } else if (c < 0x20) {
                *p++ = '\\';
                *p++ = static_cast<char>('0' + (c >> 6));
                *p++ = static_cast<char>('0' + (c >> 3 & 7));
                *p++ = static_cast<char>('0' + (c & 7));
            } else {
                *p++ = '\\';
                *p++ = 'x';
                *p++ = kHexDigits[c >> 12];
                *p++ = kHexDigits[c >> 8 & 15];
                *p++ = kHexDigits[c >> 4 & 15];
                *p++ = kHexDigits[c & 15];
            }
        }
        out->Held().append(buf, p - buf);
        out->Pass();
        s += 2 * chunk;
        n -= chunk;
    }
}

void AppendHexNumber(std::string *out, uint32_t v, int minDigits)
{
    char buf[8];
    int n = 0;
    do {
        buf[n++] = kHexDigits[v & 15];
        v >>= 4;
    } while (v || n < minDigits);
    while (n)
        *out += buf[--n];
}

// A string type whose data ends in its terminator can be written as text.
bool IsTerminatedString(uint32_t type, std::string_view data)
{
    if (type != kRegSz && type != kRegExpandSz && type != kRegMultiSz)
        return false;
    size_t n = data.size();
    return n >= 2 && n % 2 == 0 && data[n - 1] == 0 && data[n - 2] == 0;
}

}  // namespace

bool ReadWineLinks(std::string_view text, WineLinks *out)
{
    static const char kMagic[] = "WINE REGISTRY Version 2\n";
    if (text.substr(0, sizeof(kMagic) - 1) != kMagic)
        return false;
    size_t keyStart = std::string_view::npos;  // of the key being read
    bool link = false;
    // Closes the key being read at end, keeping it when it is a link.
    auto close = [&](size_t end) {
        if (keyStart == std::string_view::npos)
            out->header = text.substr(0, end);
        else if (link)
            out->links.back().text = text.substr(keyStart, end - keyStart);
        link = false;
    };
    for (size_t pos = 0; pos < text.size();) {
        size_t eol = text.find('\n', pos);
        size_t next = eol == std::string_view::npos ? text.size() : eol + 1;
        std::string_view line = text.substr(pos, next - pos);
        if (line[0] == '[') {
            close(pos);
            keyStart = pos;
        } else if (keyStart != std::string_view::npos && !link && line.substr(0, 5) == "#link" &&
                   (line.size() == 5 || line[5] == '\n')) {
            link = true;
            out->links.emplace_back();
            size_t keyEol = text.find('\n', keyStart);
            WideBuffer path;
            const char *from = text.data() + keyStart + 1;
            if (!DecodeWineKeyPath(from, text.data() + (keyEol == std::string_view::npos ? text.size() : keyEol), &path))
                return false;
            out->links.back().path.assign(path.data, path.len);
        }
        pos = next;
    }
    close(text.size());
    return true;
}

void AppendWineKey(WineText *out, std::u16string_view path, unsigned long long time)
{
    out->Held() += "\n[";
    AppendEscaped(out, reinterpret_cast<const char *>(path.data()), path.size(), '[', ']');
    out->Held() += "] ";
    out->Held() += std::to_string(time);
    out->Held() += '\n';
}

void AppendWineValue(WineText *out, std::u16string_view name, uint32_t type, std::string_view data)
{
    std::string &held = out->Held();
    size_t lineStart = held.size();
    if (name.empty()) {
        held += '@';
    } else {
        held += '"';
        AppendEscaped(out, reinterpret_cast<const char *>(name.data()), name.size(), '"', '"');
        held += '"';
    }
    held += '=';
    if (IsTerminatedString(type, data)) {
        if (type == kRegExpandSz)
            held += "str(2):";
        else if (type == kRegMultiSz)
            held += "str(7):";
        held += '"';
        AppendEscaped(out, data.data(), data.size() / 2 - 1, '"', '"');
        held += "\"\n";
        return;
    }
    if (type == kRegDword && data.size() == 4) {
        uint32_t d;
        memcpy(&d, data.data(), 4);
        held += "dword:";
        AppendHexNumber(&held, d, 8);
        held += '\n';
        return;
    }
    if (type == kRegBinary) {
        held += "hex:";
    } else {
        held += "hex(";
        AppendHexNumber(&held, type, 1);
        held += "):";
    }
    // Lines of about 80 characters, continued with a backslash, as Wine writes them.
    // The name may have been handed over already: the column counts from what is held.
    size_t column = held.size() >= lineStart ? held.size() - lineStart : held.size();
    for (size_t i = 0; i < data.size(); ++i) {
        unsigned char b = static_cast<unsigned char>(data[i]);
        held += kHexDigits[b >> 4];
        held += kHexDigits[b & 15];
        column += 2;
        if (i + 1 < data.size()) {
            held += ',';
            if (++column > 76) {
                held += "\\\n  ";
                column = 2;
                out->Pass();
            }
        }
    }
    held += '\n';
}
