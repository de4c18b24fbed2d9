// export [KEY]: the device's registry in regedit's syntax, as the saved registry's
// writer makes it (platform/coredll/regtext.h); saved registries are read on the host
// by cedev-coldboot.
#include "helper.h"
#include "regtext.h"
#include "savedreg.h"

#include <algorithm>
#include <vector>

// What a name that no saved registry carries has (savedreg.h's rules).
static std::wstring FaultText(NameFault fault)
{
    switch (fault) {
    case NameFault::None: break;
    case NameFault::Empty: return L"an empty name";
    case NameFault::TooLong: return L"a name longer than the registry's limit";
    case NameFault::Nul: return L"a NUL in its name";
    case NameFault::LineBreak: return L"a line break in its name";
    }
    return std::wstring();
}

// A name regedit's syntax cannot carry, found by walking the registry below KEY (named
// PATH) with the saved registry's own rules for names. Empty when none is.
static std::wstring Uncarried(HKEY key, const std::wstring &path, int depth)
{
    wchar_t name[16384];
    for (DWORD i = 0;; ++i) {
        DWORD len = 16384;
        if (RegEnumValueW(key, i, name, &len, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        NameFault fault = SavedValueNameFault(reinterpret_cast<const char16_t *>(name), len);
        if (fault != NameFault::None)
            return L"the value '" + std::wstring(name, len) + L"' of '" + path + L"' has " + FaultText(fault);
    }
    std::vector<std::wstring> names;
    for (DWORD i = 0;; ++i) {
        DWORD len = 257;
        if (RegEnumKeyExW(key, i, name, &len, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        names.emplace_back(name, len);
    }
    for (const std::wstring &n : names) {
        std::wstring child = path + L"\\" + n;
        NameFault fault = SavedKeyPathFault(reinterpret_cast<const char16_t *>(n.data()), n.size());
        if (fault != NameFault::None)
            return L"the key '" + child + L"' has " + FaultText(fault);
        HKEY sub;
        // Links are left out of the text: not followed.
        if (depth < 512 && RegOpenKeyExW(key, n.c_str(), REG_OPTION_OPEN_LINK, KEY_READ, &sub) == ERROR_SUCCESS) {
            std::wstring found = Uncarried(sub, child, depth + 1);
            RegCloseKey(sub);
            if (!found.empty())
                return found;
        }
    }
    return std::wstring();
}

// The first lone surrogate in TEXT, which UTF-8 cannot carry: where it is, or npos.
static size_t LoneSurrogate(const std::wstring &text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        wchar_t c = text[i];
        if (c >= 0xd800 && c < 0xdc00 && i + 1 < text.size() && text[i + 1] >= 0xdc00 && text[i + 1] < 0xe000)
            ++i;
        else if (c >= 0xd800 && c < 0xe000)
            return i;
    }
    return std::wstring::npos;
}

// export [KEY]: the device's registry in regedit's syntax, as UTF-8; with KEY, only
// that key and the keys below it. The text is exactly what regedit imports: names as
// they are, escaped only where its syntax escapes them. A name it cannot carry, or a
// character UTF-8 cannot, is refused rather than written differently.
int CmdExport(int argc, wchar_t **argv)
{
    if (argc > 1)
        return Usage(L"usage: cedev reg export [KEY]");
    std::wstring prefix;
    if (argc == 1) {
        HKEY root;
        std::wstring sub, rootName;
        if (!ParseKey(argv[0], &root, &sub, &rootName) || (root != HKEY_LOCAL_MACHINE && root != HKEY_CURRENT_USER))
            return Usage(L"export covers HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER; '" + std::wstring(argv[0]) +
                         L"' is not under them");
        prefix = L"[" + rootName + (sub.empty() ? L"" : L"\\" + sub);
    }
    WideBuffer text;
    uint32_t err = BuildRegistryText(&text);
    if (err == ERROR_INVALID_DATA) {
        std::wstring found;
        static const struct {
            HKEY key;
            const wchar_t *name;
        } kRoots[] = {{HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE"}, {HKEY_CURRENT_USER, L"HKEY_CURRENT_USER"}};
        for (const auto &r : kRoots) {
            if (found.empty())
                found = Uncarried(r.key, r.name, 0);
        }
        if (!found.empty())
            return Fail(L"cannot export the registry: " + found + L", which regedit's syntax cannot carry; nothing "
                        L"was written");
    }
    if (err)
        return Fail(L"cannot read the registry (error " + std::to_wstring(err) + L")");
    std::wstring all(reinterpret_cast<const wchar_t *>(text.data) + 1, text.len - 1);  // without the byte-order mark
    std::wstring out;
    if (prefix.empty()) {
        out.swap(all);
    } else {
        // Keep the header and the blocks of matching keys.
        out = all.substr(0, all.find(L"\r\n") + 2);
        size_t pos = 0;
        while ((pos = all.find(L"\r\n[", pos)) != std::wstring::npos) {
            size_t start = pos + 2;
            size_t next = all.find(L"\r\n\r\n", start);
            std::wstring block = all.substr(start, next == std::wstring::npos ? std::wstring::npos : next + 2 - start);
            size_t n = prefix.size();
            if (!_wcsnicmp(block.c_str(), prefix.c_str(), n) && (block[n] == L']' || block[n] == L'\\'))
                out += L"\r\n" + block;
            pos = start;
        }
        out += reinterpret_cast<const wchar_t *>(kSavedTail);
    }
    size_t lone = LoneSurrogate(out);
    if (lone != std::wstring::npos) {
        // Named by its key and line (the line cut at 80 characters).
        size_t lineStart = out.rfind(L'\n', lone) + 1, keyStart = out.rfind(L"\n[", lone);
        std::wstring key;
        if (keyStart != std::wstring::npos)
            key = out.substr(keyStart + 1, out.find(L'\r', keyStart) - keyStart - 1);
        std::wstring line = out.substr(lineStart, std::min<size_t>(out.find(L'\r', lineStart) - lineStart, 80));
        std::wstring where = line == key ? L"the key line " + key : L"the line " + line + L" under " + key;
        return Fail(L"cannot export the registry: " + where + L" holds a lone surrogate, which UTF-8 cannot carry; "
                    L"nothing was written");
    }
    Out(Utf8(out));
    return kExitOk;
}
