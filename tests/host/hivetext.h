// Saved registries for the tests, written as the persistence writes them: UTF-16LE with a
// byte-order mark, CR LF line ends.
#ifndef TESTS_HOST_HIVETEXT_H
#define TESTS_HOST_HIVETEXT_H

#include <cstdint>
#include <string>
#include <vector>

// UTF-8 to UTF-16, where "{U+XXXX}" stands for that one UTF-16 unit (a NUL, a lone
// surrogate, any character).
inline std::u16string Units(const std::string &utf8)
{
    std::u16string out;
    for (size_t i = 0; i < utf8.size();) {
        if (utf8.compare(i, 3, "{U+") == 0 && i + 8 <= utf8.size() && utf8[i + 7] == '}') {
            out += static_cast<char16_t>(std::stoul(utf8.substr(i + 3, 4), nullptr, 16));
            i += 8;
            continue;
        }
        unsigned char b = utf8[i];
        size_t n = b < 0x80 ? 1 : b < 0xe0 ? 2 : b < 0xf0 ? 3 : 4;
        uint32_t c = n == 1 ? b : b & (0xff >> (n + 1));
        for (size_t k = 1; k < n; ++k)
            c = c << 6 | (utf8[i + k] & 0x3f);
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xd800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xdc00 + (c & 0x3ff));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += n;
    }
    return out;
}

inline std::string Bytes(const std::u16string &units)
{
    std::string out;
    for (char16_t u : units) {
        out += static_cast<char>(u & 0xff);
        out += static_cast<char>(u >> 8);
    }
    return out;
}

const char kHead[] = "Windows Registry Editor Version 5.00";
const char kEnd[] = "; End of registry";

// A saved registry of these lines, each ended by CR LF.
inline std::string Hive(const std::vector<std::string> &lines)
{
    std::u16string text;
    for (const std::string &line : lines)
        text += Units(line) + u"\r\n";
    return "\xff\xfe" + Bytes(text);
}

// The same, with the header first.
inline std::string HiveWithHead(std::vector<std::string> lines)
{
    lines.insert(lines.begin(), kHead);
    return Hive(lines);
}

inline std::string Repeat(const std::string &s, size_t n)
{
    std::string out;
    for (size_t i = 0; i < n; ++i)
        out += s;
    return out;
}

#endif
