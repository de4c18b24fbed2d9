// Registry key paths as cedev names them: a root by its name or alias, then the key.
#include "helper.h"

static const struct {
    const wchar_t *name;
    const wchar_t *alias;
    HKEY key;
} s_roots[] = {
    {L"HKEY_LOCAL_MACHINE", L"HKLM", HKEY_LOCAL_MACHINE},
    {L"HKEY_CURRENT_USER", L"HKCU", HKEY_CURRENT_USER},
    {L"HKEY_CLASSES_ROOT", L"HKCR", HKEY_CLASSES_ROOT},
    {L"HKEY_USERS", L"HKU", HKEY_USERS},
};

bool ParseKey(const std::wstring &path, HKEY *root, std::wstring *sub, std::wstring *rootName)
{
    size_t slash = path.find(L'\\');
    std::wstring head = path.substr(0, slash);
    for (const auto &r : s_roots) {
        if (!lstrcmpiW(head.c_str(), r.name) || !lstrcmpiW(head.c_str(), r.alias)) {
            *root = r.key;
            // The key's names, each separator once: "Software\\X\" is Software\X.
            sub->clear();
            for (size_t i = slash == std::wstring::npos ? path.size() : slash; i < path.size(); ++i) {
                if (path[i] != L'\\' || (!sub->empty() && sub->back() != L'\\'))
                    *sub += path[i];
            }
            while (!sub->empty() && sub->back() == L'\\')
                sub->pop_back();
            if (rootName)
                *rootName = r.name;
            return true;
        }
    }
    return false;
}
