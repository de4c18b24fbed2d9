// Device paths and registry paths as the installer writes them into its record and
// reads them back: checked both ways, since the record lives in the device's registry,
// where any program may change it.
#include "installer.h"

bool IsDevicePath(const std::wstring &path)
{
    if (path.size() < 2 || path.size() > 240 || path[0] != L'\\')
        return false;
    size_t start = 1;
    for (;;) {
        size_t end = path.find(L'\\', start);
        std::wstring name = path.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        if (name.empty() || name == L"." || name == L"..")
            return false;
        for (wchar_t c : name)
            if (c < 0x20 || c == 0x7f || c == L'/' || c == L':')
                return false;
        if (end == std::wstring::npos)
            return true;
        start = end + 1;
    }
}

std::wstring HostPath(const std::wstring &devicePath)
{
    return L"C:" + devicePath;
}

static const struct {
    const wchar_t *name;
    HKEY root;
} kRoots[] = {
    {L"HKCR", HKEY_CLASSES_ROOT},
    {L"HKCU", HKEY_CURRENT_USER},
    {L"HKLM", HKEY_LOCAL_MACHINE},
    {L"HKU", HKEY_USERS},
};

bool SplitKey(const std::wstring &path, HKEY *root, std::wstring *sub)
{
    size_t slash = path.find(L'\\');
    if (slash == std::wstring::npos || slash + 1 == path.size() || path.size() > 300)
        return false;
    std::wstring rest = path.substr(slash + 1);
    if (rest.back() == L'\\' || rest.find(L"\\\\") != std::wstring::npos)
        return false;
    for (wchar_t c : rest)
        if (c < 0x20 || c == 0x7f)
            return false;
    for (const auto &r : kRoots)
        if (path.compare(0, slash, r.name) == 0) {
            *root = r.root;
            *sub = rest;
            return true;
        }
    return false;
}

std::wstring ValuePath(const std::wstring &key, const std::wstring &name)
{
    return key + L"\\\\" + name;
}

bool SplitValue(const std::wstring &path, std::wstring *key, std::wstring *name)
{
    size_t at = path.find(L"\\\\");
    if (at == std::wstring::npos)
        return false;
    *key = path.substr(0, at);
    *name = path.substr(at + 2);
    HKEY root;
    std::wstring sub;
    return SplitKey(*key, &root, &sub);
}

bool Journal::Has(const std::wstring &value) const
{
    for (const std::wstring &v : values)
        if (lstrcmpiW(v.c_str(), value.c_str()) == 0)
            return true;
    for (const Replaced &r : replaced)
        if (lstrcmpiW(r.value.c_str(), value.c_str()) == 0)
            return true;
    return false;
}
