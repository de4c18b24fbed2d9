// What the helper's commands take: flags, points, seconds and device paths.
#include "helper.h"

bool TakeFlag(int *argc, wchar_t **argv, const wchar_t *flag)
{
    bool found = false;
    int kept = 0;
    for (int i = 0; i < *argc; ++i) {
        if (!lstrcmpW(argv[i], flag))
            found = true;
        else
            argv[kept++] = argv[i];
    }
    *argc = kept;
    return found;
}

bool ParsePoint(const std::wstring &s, POINT *pt)
{
    wchar_t *end;
    size_t comma = s.find(L',');
    if (comma == std::wstring::npos || comma == 0 || comma + 1 == s.size())
        return false;
    long x = wcstol(s.c_str(), &end, 10);
    if (end != s.c_str() + comma)
        return false;
    long y = wcstol(s.c_str() + comma + 1, &end, 10);
    if (*end)
        return false;
    pt->x = x;
    pt->y = y;
    return true;
}

bool ParseSeconds(const std::wstring &s, DWORD *ms)
{
    wchar_t *end;
    double v = wcstod(s.c_str(), &end);
    if (s.empty() || *end || v < 0 || v > 3600)
        return false;
    *ms = (DWORD)(v * 1000);
    return true;
}

// "\Flash Disk\x" names C:\Flash Disk\x inside the device. The path is normalised as
// the device's file system reads it ("." and ".." resolved, "/" and repeated
// separators taken as one "\", trailing dots and spaces of names dropped, short names
// made long), so that what is checked is what would be opened. "\\server" and
// "\\?\" names, and anything with a drive letter, are not device paths.
bool DevicePath(const wchar_t *arg, std::wstring *host)
{
    // A path that starts with '/' is a host path, not a device path given the other way.
    auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    if (arg[0] != L'\\' || separator(arg[1]) || wcschr(arg, L':'))
        return false;
    std::wstring in = L"C:" + std::wstring(arg);
    DWORD n = GetFullPathNameW(in.c_str(), 0, NULL, NULL);
    std::wstring full(n, L'\0');
    n = n ? GetFullPathNameW(in.c_str(), n, &full[0], NULL) : 0;
    if (!n || n >= full.size())
        return false;
    full.resize(n);
    if (full.compare(0, 3, L"C:\\") != 0)
        return false;
    n = GetLongPathNameW(full.c_str(), NULL, 0);
    if (n) {
        std::wstring longer(n, L'\0');
        n = GetLongPathNameW(full.c_str(), &longer[0], n);
        if (n && n < longer.size() && longer.compare(0, 3, L"C:\\") == 0)
            full.assign(longer, 0, n);
    }
    while (full.size() > 3 && full.back() == L'\\')
        full.pop_back();
    *host = full;
    return true;
}

int BadPath(const wchar_t *arg)
{
    // A path whose last name is CON, NUL, COM1... reads as that device of the system.
    wchar_t full[16];
    std::wstring in = L"C:" + std::wstring(arg);
    DWORD n = arg[0] == L'\\' ? GetFullPathNameW(in.c_str(), 16, full, NULL) : 0;
    if (n && n < 16 && !wcsncmp(full, L"\\\\.\\", 4))
        return Usage(L"'" + std::wstring(arg) + L"': CON, PRN, AUX, NUL, COM1-9 and LPT1-9 name the system's devices, "
                                                L"not files");
    return Usage(L"'" + std::wstring(arg) + L"' is not a device path; they start with \\ (e.g. \\Flash Disk\\registry.dat)");
}
