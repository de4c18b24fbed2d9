// The device's registry: query, set, delete; export is export.cpp's.
#include "helper.h"

#include <errno.h>
#include <winternl.h>
#include <stdio.h>
#include <vector>

static const struct {
    const wchar_t *name;
    DWORD type;
} s_types[] = {
    {L"REG_NONE", REG_NONE},           {L"REG_SZ", REG_SZ},         {L"REG_EXPAND_SZ", REG_EXPAND_SZ},
    {L"REG_BINARY", REG_BINARY},       {L"REG_DWORD", REG_DWORD},   {L"REG_MULTI_SZ", REG_MULTI_SZ},
    {L"REG_QWORD", REG_QWORD},
};

static std::wstring TypeName(DWORD type)
{
    for (const auto &t : s_types) {
        if (t.type == type)
            return t.name;
    }
    wchar_t buf[32];
    swprintf(buf, 32, L"REG_TYPE_%lu", (unsigned long)type);
    return buf;
}

static std::wstring FormatData(DWORD type, const std::vector<BYTE> &data)
{
    wchar_t buf[32];
    if (type == REG_DWORD && data.size() == 4) {
        swprintf(buf, 32, L"0x%08lx", (unsigned long)*(const DWORD *)data.data());
        return buf;
    }
    if (type == REG_QWORD && data.size() == 8) {
        swprintf(buf, 32, L"0x%016llx", *(const unsigned long long *)data.data());
        return buf;
    }
    if ((type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) && data.size() % 2 == 0) {
        std::wstring s((const wchar_t *)data.data(), data.size() / 2);
        while (!s.empty() && s.back() == L'\0')
            s.pop_back();
        std::wstring out;
        for (wchar_t c : s) {
            if (c == L'\0')
                out += L"\\0";
            else
                out += c;
        }
        return out;
    }
    std::wstring out;
    for (size_t i = 0; i < data.size(); ++i) {
        swprintf(buf, 32, i ? L",%02x" : L"%02x", data[i]);
        out += buf;
    }
    return out;
}

// The data as a JSON value: a number for DWORD and QWORD, a string for the string
// types, an array of strings for a multi-string, hex digits for anything else.
static std::string JsonData(DWORD type, const std::vector<BYTE> &data)
{
    if (type == REG_DWORD && data.size() == 4)
        return std::to_string(*(const DWORD *)data.data());
    if (type == REG_QWORD && data.size() == 8)
        return std::to_string(*(const unsigned long long *)data.data());
    if ((type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) && data.size() % 2 == 0) {
        std::wstring s((const wchar_t *)data.data(), data.size() / 2);
        while (!s.empty() && s.back() == L'\0')
            s.pop_back();
        if (type != REG_MULTI_SZ)
            return JsonString(s);
        std::string out = "[";
        for (size_t start = 0; !s.empty() && start <= s.size();) {
            size_t end = s.find(L'\0', start);
            if (end == std::wstring::npos)
                end = s.size();
            out += (start ? "," : "") + JsonString(s.substr(start, end - start));
            start = end + 1;
        }
        return out + "]";
    }
    std::string hex;
    char buf[4];
    for (BYTE b : data) {
        snprintf(buf, sizeof(buf), "%02x", b);
        hex += buf;
    }
    return "\"" + hex + "\"";
}

static std::string ValueJson(const std::wstring &name, DWORD type, const std::vector<BYTE> &data)
{
    return JsonObject().Str("name", name).Str("type", TypeName(type)).Raw("data", JsonData(type, data)).Line();
}

static int OpenKey(const std::wstring &path, REGSAM access, HKEY *key)
{
    HKEY root;
    std::wstring sub;
    if (!ParseKey(path, &root, &sub, NULL))
        return Usage(L"'" + path + L"' does not start with a root key such as HKLM or HKCU");
    LONG rc = RegOpenKeyExW(root, sub.c_str(), 0, access, key);
    if (rc == ERROR_FILE_NOT_FOUND)
        return Fail(L"no key '" + path + L"'");
    if (rc != ERROR_SUCCESS)
        return Fail(L"cannot open '" + path + L"' (error " + std::to_wstring(rc) + L")");
    return kExitOk;
}

static bool ReadValue(HKEY key, const wchar_t *name, DWORD *type, std::vector<BYTE> *data)
{
    DWORD size = 0;
    if (RegQueryValueExW(key, name, NULL, type, NULL, &size) != ERROR_SUCCESS)
        return false;
    data->resize(size);
    return RegQueryValueExW(key, name, NULL, type, data->data(), &size) == ERROR_SUCCESS && (data->resize(size), true);
}

static const wchar_t *ValueName(const std::wstring &name)
{
    return name == L"@" ? L"" : name.c_str();
}

// Values, then subkeys (with a trailing backslash); with --json one object for each: a value's
// name ("" for the default value), type and data, or a subkey's name.
static int Query(int argc, wchar_t **argv)
{
    bool json = TakeFlag(&argc, argv, L"--json");
    if (argc < 1 || argc > 2)
        return Usage(L"usage: cedev reg query KEY [VALUE] [--json]");
    HKEY key;
    int rc = OpenKey(argv[0], KEY_READ, &key);
    if (rc != kExitOk)
        return rc;
    DWORD type;
    std::vector<BYTE> data;
    if (argc == 2) {
        if (!ReadValue(key, ValueName(argv[1]), &type, &data)) {
            RegCloseKey(key);
            return Fail(L"no value '" + std::wstring(argv[1]) + L"' in '" + argv[0] + L"'");
        }
        Out(json ? ValueJson(ValueName(argv[1]), type, data)
                 : Printable(TypeName(type) + L" " + FormatData(type, data)) + "\n");
        RegCloseKey(key);
        return kExitOk;
    }
    std::string out;
    wchar_t name[16384];
    for (DWORD i = 0;; ++i) {
        DWORD len = 16384;
        if (RegEnumValueW(key, i, name, &len, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        if (!ReadValue(key, name, &type, &data))
            continue;
        if (json)
            out += ValueJson(std::wstring(name, len), type, data);
        else
            out += Printable((len ? std::wstring(name, len) : L"@") + L" " + TypeName(type) + L" " +
                             FormatData(type, data)) +
                   "\n";
    }
    for (DWORD i = 0;; ++i) {
        DWORD len = 257;  // room for a name at the limit, 256 characters, and its NUL
        if (RegEnumKeyExW(key, i, name, &len, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        out += json ? JsonObject().Str("subkey", std::wstring(name, len)).Line()
                    : Printable(std::wstring(name, len)) + "\\\n";
    }
    RegCloseKey(key);
    Out(out);
    return kExitOk;
}

static bool ParseHex(const std::wstring &s, std::vector<BYTE> *out)
{
    std::wstring digits;
    for (wchar_t c : s) {
        if (c == L',' || c == L' ')
            continue;
        if (!iswxdigit(c))
            return false;
        digits += c;
    }
    if (digits.size() % 2)
        return false;
    for (size_t i = 0; i < digits.size(); i += 2)
        out->push_back((BYTE)wcstoul(digits.substr(i, 2).c_str(), NULL, 16));
    return true;
}

static bool EncodeData(DWORD type, const std::wstring &text, std::vector<BYTE> *data)
{
    wchar_t *end;
    if (type == REG_DWORD || type == REG_QWORD) {
        errno = 0;
        unsigned long long v = wcstoull(text.c_str(), &end, 0);
        if (text.empty() || *end || errno || (type == REG_DWORD && v > 0xffffffffULL))
            return false;
        data->resize(type == REG_DWORD ? 4 : 8);
        memcpy(data->data(), &v, data->size());
        return true;
    }
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
        std::wstring s;
        for (size_t i = 0; i < text.size(); ++i) {
            // In a multi-string, "\0" separates the strings.
            if (type == REG_MULTI_SZ && text[i] == L'\\' && i + 1 < text.size() && text[i + 1] == L'0') {
                s += L'\0';
                ++i;
            } else {
                s += text[i];
            }
        }
        s += L'\0';
        if (type == REG_MULTI_SZ)
            s += L'\0';
        data->assign((const BYTE *)s.data(), (const BYTE *)(s.data() + s.size()));
        return true;
    }
    return ParseHex(text, data);
}

static int Set(int argc, wchar_t **argv)
{
    if (argc != 4)
        return Usage(L"usage: cedev reg set KEY VALUE TYPE DATA (VALUE @ is the default value)");
    HKEY root, key;
    std::wstring sub;
    if (!ParseKey(argv[0], &root, &sub, NULL))
        return Usage(L"'" + std::wstring(argv[0]) + L"' does not start with a root key such as HKLM or HKCU");
    DWORD type = (DWORD)-1;
    for (const auto &t : s_types) {
        if (!lstrcmpiW(argv[2], t.name))
            type = t.type;
    }
    if (type == (DWORD)-1)
        return Usage(L"unknown type '" + std::wstring(argv[2]) +
                     L"' (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD, REG_BINARY, REG_NONE)");
    std::vector<BYTE> data;
    if (!EncodeData(type, argv[3], &data))
        return Usage(L"'" + std::wstring(argv[3]) + L"' is not valid data for " + TypeName(type));
    LONG rc = RegCreateKeyExW(root, sub.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL);
    if (rc != ERROR_SUCCESS)
        return Fail(L"cannot create '" + std::wstring(argv[0]) + L"' (error " + std::to_wstring(rc) + L")");
    rc = RegSetValueExW(key, ValueName(argv[1]), 0, type, data.data(), (DWORD)data.size());
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        return Fail(L"cannot write '" + std::wstring(argv[1]) + L"' (error " + std::to_wstring(rc) + L")");
    return kExitOk;
}

extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE key);

// Opens a key itself: a symbolic link is opened as the link, never followed.
static LONG OpenItself(HKEY parent, const std::wstring &name, REGSAM access, HKEY *key)
{
    return RegOpenKeyExW(parent, name.c_str(), REG_OPTION_OPEN_LINK, access, key);
}

static bool IsLinkKey(HKEY key)
{
    DWORD type = 0;
    return RegQueryValueExW(key, L"SymbolicLinkValue", NULL, &type, NULL, NULL) == ERROR_SUCCESS && type == REG_LINK;
}

// The names of a key's subkeys, read before any of them goes.
static LONG SubkeyNames(HKEY key, std::vector<std::wstring> *names)
{
    wchar_t name[257];  // a name at the limit, 256 characters, and its NUL
    for (DWORD i = 0;; ++i) {
        DWORD len = 257;
        LONG rc = RegEnumKeyExW(key, i, name, &len, NULL, NULL, NULL, NULL);
        if (rc == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        if (rc != ERROR_SUCCESS)
            return rc;
        names->emplace_back(name, len);
    }
}

// Deleting a key and everything below it, one key at a time, deepest first. A link
// below it is deleted itself: what it leads to is elsewhere in the registry, and stays.
// The first key that cannot go stops it, with what was deleted counted.
struct TreeDeletion {
    size_t total = 0, deleted = 0;
    std::wstring stoppedAt;  // the key that could not go, below the one named
    LONG error = ERROR_SUCCESS;

    // How many keys there are, the key itself counted.
    void Count(HKEY parent, const std::wstring &name)
    {
        HKEY key;
        if (OpenItself(parent, name, KEY_READ, &key) != ERROR_SUCCESS)
            return;
        ++total;
        std::vector<std::wstring> names;
        if (!IsLinkKey(key) && SubkeyNames(key, &names) == ERROR_SUCCESS) {
            for (const std::wstring &n : names)
                Count(key, n);
        }
        RegCloseKey(key);
    }

    // Deletes NAME under PARENT; PATH is how the user names it. A key that another
    // program deleted meanwhile is gone, as asked.
    bool Delete(HKEY parent, const std::wstring &name, const std::wstring &path)
    {
        HKEY key;
        LONG rc = OpenItself(parent, name, KEY_READ | DELETE, &key);
        if (rc == ERROR_FILE_NOT_FOUND)
            return true;
        if (rc == ERROR_SUCCESS && !IsLinkKey(key)) {
            std::vector<std::wstring> names;
            rc = SubkeyNames(key, &names);
            for (size_t i = 0; rc == ERROR_SUCCESS && i < names.size(); ++i) {
                if (!Delete(key, names[i], path + L"\\" + names[i])) {
                    RegCloseKey(key);
                    return false;
                }
            }
        }
        if (rc == ERROR_SUCCESS) {
            NTSTATUS status = NtDeleteKey(key);
            rc = status ? RtlNtStatusToDosError(status) : ERROR_SUCCESS;
            RegCloseKey(key);
        }
        if (rc == ERROR_FILE_NOT_FOUND)
            return true;
        if (rc != ERROR_SUCCESS) {
            stoppedAt = path;
            error = rc;
            return false;
        }
        ++deleted;
        return true;
    }
};

static std::wstring ErrorText(LONG rc)
{
    wchar_t *text = NULL;
    std::wstring out = L"error " + std::to_wstring(rc);
    if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                       NULL, rc, 0, (wchar_t *)&text, 0, NULL) &&
        text) {
        std::wstring message = text;
        while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L'.'))
            message.pop_back();
        out += L": " + message;
    }
    if (text)
        LocalFree(text);
    return out;
}

static int Delete(int argc, wchar_t **argv)
{
    if (argc < 1 || argc > 2)
        return Usage(L"usage: cedev reg delete KEY [VALUE]");
    HKEY root;
    std::wstring sub;
    if (!ParseKey(argv[0], &root, &sub, NULL))
        return Usage(L"'" + std::wstring(argv[0]) + L"' does not start with a root key such as HKLM or HKCU");
    if (argc == 1 && sub.empty())
        return Usage(L"refusing to delete a whole root key");
    // Each key right below HKEY_USERS is a user's whole registry (HKEY_CURRENT_USER is one).
    if (argc == 1 && root == HKEY_USERS && sub.find(L'\\') == std::wstring::npos)
        return Usage(L"refusing to delete a user's whole registry (HKEY_USERS\\" + sub + L")");
    if (argc == 2) {
        LONG rc = RegDeleteKeyValueW(root, sub.c_str(), ValueName(argv[1]));
        if (rc == ERROR_FILE_NOT_FOUND)
            return Fail(L"no value '" + std::wstring(argv[1]) + L"' in '" + argv[0] + L"'");
        if (rc != ERROR_SUCCESS)
            return Fail(L"cannot delete '" + std::wstring(argv[1]) + L"' in '" + argv[0] + L"' (" + ErrorText(rc) + L")");
        return kExitOk;
    }
    HKEY key;
    LONG rc = OpenItself(root, sub, KEY_READ, &key);
    if (rc == ERROR_FILE_NOT_FOUND)
        return Fail(L"no key '" + std::wstring(argv[0]) + L"'");
    if (rc != ERROR_SUCCESS)
        return Fail(L"cannot open '" + std::wstring(argv[0]) + L"' (" + ErrorText(rc) + L"); nothing was deleted");
    RegCloseKey(key);
    // The key's parent and its own name: the walk deletes each key through its parent.
    size_t slash = sub.rfind(L'\\');
    HKEY parent = root;
    if (slash != std::wstring::npos) {
        rc = RegOpenKeyExW(root, sub.substr(0, slash).c_str(), 0, KEY_READ, &parent);
        if (rc != ERROR_SUCCESS)
            return Fail(L"cannot open the key above '" + std::wstring(argv[0]) + L"' (" + ErrorText(rc) +
                        L"); nothing was deleted");
    }
    std::wstring name = slash == std::wstring::npos ? sub : sub.substr(slash + 1);
    TreeDeletion tree;
    tree.Count(parent, name);
    bool done = tree.Delete(parent, name, argv[0]);
    if (parent != root)
        RegCloseKey(parent);
    if (done)
        return kExitOk;
    size_t left = tree.total > tree.deleted ? tree.total - tree.deleted : 0;
    return Fail(L"deleted " + std::to_wstring(tree.deleted) + L" of the " + std::to_wstring(tree.total) + L" keys of '" +
                argv[0] + L"', then stopped: '" + tree.stoppedAt + L"' cannot be deleted (" + ErrorText(tree.error) +
                L"); the other " + std::to_wstring(left) + L" are still there");
}

int CmdReg(int argc, wchar_t **argv)
{
    if (argc >= 1 && !lstrcmpW(argv[0], L"query"))
        return Query(argc - 1, argv + 1);
    if (argc >= 1 && !lstrcmpW(argv[0], L"set"))
        return Set(argc - 1, argv + 1);
    if (argc >= 1 && !lstrcmpW(argv[0], L"delete"))
        return Delete(argc - 1, argv + 1);
    if (argc >= 1 && !lstrcmpW(argv[0], L"export"))
        return CmdExport(argc - 1, argv + 1);
    return Usage(L"usage: cedev reg query|set|delete|export ...");
}
