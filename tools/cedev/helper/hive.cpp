// The device's registry in regedit's syntax, for reading; saved registries are read on
// the host by cedev-hive.
#include "helper.h"
#include "regtext.h"

// export [KEY]: the device's registry in regedit's syntax, as UTF-8; with KEY, only
// that key and the keys below it.
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
    DWORD err = BuildRegistryText(&text);
    if (err)
        return Fail(L"cannot read the registry (error " + std::to_wstring(err) + L")");
    std::wstring all(text.data + 1, text.len - 1);  // without the byte-order mark
    if (prefix.empty()) {
        Out(Utf8(all));
        return EXIT_OK;
    }
    // Keep the header and the blocks of matching keys.
    std::wstring out = all.substr(0, all.find(L"\r\n") + 2);
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
    out += L"\r\n" REGTEXT_END_MARK L"\r\n";
    Out(Utf8(out));
    return EXIT_OK;
}
