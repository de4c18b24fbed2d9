// UTF-16 and UTF-8, for cedev's programs that run inside a device (the helper, the
// installer): what they print and read is UTF-8, what Windows gives them UTF-16.
#ifndef CEDEV_WINUTF8_H
#define CEDEV_WINUTF8_H

#include <windows.h>

#include <string>

inline std::string Utf8(const std::wstring &s)
{
    if (s.empty())
        return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), (int)s.size(), NULL, 0, NULL, NULL);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, s.data(), (int)s.size(), &out[0], n, NULL, NULL);
    return out;
}

inline std::wstring Wide(const std::string &s)
{
    if (s.empty())
        return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), NULL, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), &out[0], n);
    return out;
}

#endif
