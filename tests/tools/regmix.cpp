// Test tool: the registry round trip through a save and a cold boot.
//
//   regmix mix SEED OPS BULK FILE   BULK values, then OPS random creations, changes and
//                                   deletions (factory keys included), then a flush;
//                                   then the dump of both roots into FILE
//   regmix dump FILE                the dump only
//
// The dump reads the registry one call at a time, through the API, as a program would:
// one line per key ("path<TAB>") and per value ("path<TAB>name<TAB>type<TAB>bytes"),
// with everything outside printable ASCII (and '%') as %xxxx. Links are dumped as links.
#include <windows.h>

#include <stdio.h>
#include <string>
#include <vector>

namespace {

unsigned long long g_state;
unsigned Rand(unsigned n)  // splitmix64: the same mix for the same seed, everywhere
{
    unsigned long long z = (g_state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return (unsigned)((z ^ (z >> 31)) % n);
}

struct Key {
    HKEY root;
    std::wstring path;
};
const wchar_t *RootName(HKEY root)
{
    return root == HKEY_LOCAL_MACHINE ? L"HKEY_LOCAL_MACHINE" : L"HKEY_CURRENT_USER";
}

// Names as users and programs make them: every awkward character regedit's syntax has to
// carry, names beyond ASCII and names at the registry's limits.
const wchar_t *const kPieces[] = {
    L"plain", L"Mixed Case", L" spaced ", L"\"quoted\"", L"back\\slash", L"[bracket]", L"a]b", L"x=y", L"semi;colon",
    L"@", L"-dash", L"%PATH%", L"tab\there", L"caf\x00e9", L"\x65e5\x672c", L"\xd83d\xde00", L"\xfeff", L"\x2028",
    L"\x01\x1b", L"line\r\nbreak", L"lf\n", L"cr\r", L"\\n", L"]", L"\"", L"\\"};
std::wstring Name(bool forKey)
{
    if (Rand(40) == 0)
        return std::wstring(forKey ? 256 : 16383, forKey ? L'K' : L'v');
    std::wstring s;
    for (unsigned i = 0, n = 1 + Rand(3); i < n; ++i) {
        std::wstring piece = kPieces[Rand(sizeof(kPieces) / sizeof(kPieces[0]))];
        for (wchar_t c : piece) {
            if (!forKey || (c != L'\\' && c != L'\r' && c != L'\n'))  // a key name cannot hold these
                s += c;
        }
    }
    if (forKey && s.empty())
        s = L"k";
    s += std::to_wstring(Rand(1000));
    return s;
}

std::vector<BYTE> Data(DWORD *type)
{
    static const DWORD kTypes[] = {REG_SZ, REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_BINARY, REG_DWORD, REG_DWORD,
                                   REG_QWORD, REG_NONE, REG_LINK, 0x12345678, 0xffffffff, 0x80000000, 0x20};
    *type = kTypes[Rand(sizeof(kTypes) / sizeof(kTypes[0]))];
    std::vector<BYTE> b;
    bool exact = Rand(4) != 0;  // else an odd length: unterminated strings, a two-byte dword
    if (*type == REG_SZ || *type == REG_EXPAND_SZ || *type == REG_MULTI_SZ) {
        std::wstring s = Name(false);
        if (Rand(3) == 0)
            s += std::wstring(L"\0embedded\0", 10);
        b.assign((const BYTE *)s.c_str(), (const BYTE *)(s.c_str() + s.size() + (exact ? 1 : 0)));
        if (!exact && Rand(2))
            b.push_back('x');
        return b;
    }
    size_t n = *type == REG_DWORD ? 4 : *type == REG_QWORD ? 8 : Rand(5) == 0 ? 2000 : Rand(64);
    if (!exact)
        n = Rand(12);
    for (size_t i = 0; i < n; ++i)
        b.push_back((BYTE)Rand(256));
    return b;
}

LONG SetValue(const Key &k, const std::wstring &name, DWORD type, const std::vector<BYTE> &data)
{
    HKEY h;
    LONG rc = RegCreateKeyExW(k.root, k.path.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &h, NULL);
    if (!rc) {
        rc = RegSetValueExW(h, name.c_str(), 0, type, data.data(), (DWORD)data.size());
        RegCloseKey(h);
    }
    return rc;
}

// The name of one of the key's values, at random.
bool PickValue(const Key &k, std::wstring *name)
{
    HKEY h;
    DWORD count = 0, len = 16384;
    wchar_t buf[16384];
    if (RegOpenKeyExW(k.root, k.path.c_str(), 0, KEY_READ, &h))
        return false;
    RegQueryInfoKeyW(h, NULL, NULL, NULL, NULL, NULL, NULL, &count, NULL, NULL, NULL, NULL);
    bool found = count && !RegEnumValueW(h, Rand(count), buf, &len, NULL, NULL, NULL, NULL);
    RegCloseKey(h);
    if (found)
        name->assign(buf, len);
    return found;
}

// Keys below path that may be changed and deleted: no links in their subtrees, since
// deleting through a link deletes its target, and no keys of programs run at start-up.
bool CollectKeys(HKEY root, const std::wstring &path, std::vector<Key> *out)
{
    HKEY h;
    size_t last = path.rfind(L'\\');
    if (!path.compare(last + 1, 3, L"Run"))
        return true;
    if (RegOpenKeyExW(root, path.c_str(), REG_OPTION_OPEN_LINK, KEY_READ, &h))
        return false;
    bool clean = RegQueryValueExW(h, L"SymbolicLinkValue", NULL, NULL, NULL, NULL) != ERROR_SUCCESS;
    wchar_t name[300];
    for (DWORD i = 0, len = 300; !RegEnumKeyExW(h, i, name, &len, NULL, NULL, NULL, NULL); ++i, len = 300)
        clean = CollectKeys(root, (path.empty() ? L"" : path + L"\\") + name, out) && clean;
    RegCloseKey(h);
    if (clean && !path.empty())
        out->push_back({root, path});
    return clean;
}

int Mix(unsigned seed, int ops, int bulk)
{
    g_state = seed;
    Key lock = {HKEY_LOCAL_MACHINE, L"SYSTEM\\ORV\\REGLock"};
    DWORD one = 1;
    SetValue(lock, L"EnableSave", REG_DWORD, std::vector<BYTE>((BYTE *)&one, (BYTE *)&one + 4));
    for (int i = 0; i < bulk; ++i) {
        DWORD type;
        std::vector<BYTE> data = Data(&type);
        if (data.size() > 64)
            data.resize(64);
        wchar_t key[64];
        swprintf(key, 64, L"Software\\RoundTrip\\Bulk\\K%04d", i / 100);
        SetValue({HKEY_LOCAL_MACHINE, key}, L"v" + std::to_wstring(i) + Name(false).substr(0, 20), type, data);
    }
    // In every mix, the values an earlier saved file got wrong: a string without its
    // terminator (it came back two bytes longer), one of odd length, an empty one; and
    // values of the roots themselves.
    Key fixed = {HKEY_CURRENT_USER, L"Software\\RoundTrip"};
    SetValue(fixed, L"Unterminated", REG_SZ, std::vector<BYTE>((const BYTE *)L"abc", (const BYTE *)L"abc" + 6));
    SetValue(fixed, L"Odd", REG_MULTI_SZ, std::vector<BYTE>((const BYTE *)L"a\0b", (const BYTE *)L"a\0b" + 5));
    SetValue(fixed, L"", REG_EXPAND_SZ, std::vector<BYTE>());
    SetValue({HKEY_LOCAL_MACHINE, L""}, L"Root", REG_BINARY, std::vector<BYTE>(3, 7));
    SetValue({HKEY_CURRENT_USER, L""}, L"", REG_SZ, std::vector<BYTE>(4, 0));
    // Factory keys and values are as much part of the mix as new ones.
    std::vector<Key> keys;
    for (const wchar_t *top : {L"Software\\Classes", L"Software\\Microsoft", L"Comm", L"Software\\Wine"})
        CollectKeys(HKEY_LOCAL_MACHINE, top, &keys);
    for (const wchar_t *top : {L"Control Panel", L"ControlPanel", L"Software"})
        CollectKeys(HKEY_CURRENT_USER, top, &keys);
    for (int op = 0; op < ops; ++op) {
        Key k = keys[Rand((unsigned)keys.size())];
        switch (Rand(8)) {
        case 0:
        case 1: {  // a new key, sometimes deep below a new one
            Key child = {k.root, k.path + L"\\" + Name(true)};
            for (unsigned d = Rand(3); d; --d)
                child.path += L"\\" + Name(true);
            if (SetValue(child, Name(false), REG_DWORD, std::vector<BYTE>(4, (BYTE)op)) == ERROR_SUCCESS)
                keys.push_back(child);
            break;
        }
        case 2:
        case 3:
        case 4: {  // a value set or changed: the default value, a new name or one that is there
            std::wstring name = Rand(8) == 0 ? L"" : Name(false);
            if (Rand(2))
                PickValue(k, &name);
            DWORD type;
            std::vector<BYTE> data = Data(&type);
            SetValue(k, name, type, data);
            break;
        }
        case 5:
        case 6: {  // a value deleted
            std::wstring name;
            if (PickValue(k, &name))
                RegDeleteKeyValueW(k.root, k.path.c_str(), name.c_str());
            break;
        }
        default:  // a key deleted with everything below it
            RegDeleteTreeW(k.root, k.path.c_str());
            RegDeleteKeyW(k.root, k.path.c_str());
            break;
        }
    }
    LONG rc = RegFlushKey(HKEY_LOCAL_MACHINE);
    if (rc) {
        fprintf(stderr, "the flush failed: %ld\n", rc);
        return 1;
    }
    return 0;
}

void Escaped(std::string *out, const wchar_t *s, size_t n)
{
    char buf[8];
    for (size_t i = 0; i < n; ++i) {
        bool plain = s[i] >= 0x20 && s[i] < 0x7f && s[i] != L'%';
        out->append(buf, plain ? (buf[0] = (char)s[i], 1) : snprintf(buf, sizeof(buf), "%%%04x", (unsigned)s[i]));
    }
}

void DumpKey(HKEY root, const std::wstring &path, std::string *out)
{
    HKEY h;
    if (RegOpenKeyExW(root, path.c_str(), REG_OPTION_OPEN_LINK, KEY_READ, &h))
        return;  // the other dump shows what is missing
    std::wstring full = RootName(root) + (path.empty() ? L"" : L"\\" + path);
    std::string key;
    Escaped(&key, full.c_str(), full.size());
    *out += key + "\t\n";
    DWORD maxData = 0, len, size, type;
    RegQueryInfoKeyW(h, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, &maxData, NULL, NULL);
    std::vector<BYTE> data(maxData + 1);
    std::vector<wchar_t> name(16385);
    for (DWORD i = 0; len = 16385, size = maxData + 1,
                      !RegEnumValueW(h, i, name.data(), &len, NULL, &type, data.data(), &size); ++i) {
        *out += key + "\t" + (len ? "\"" : "@");
        Escaped(out, name.data(), len);
        char buf[16];
        out->append(buf, snprintf(buf, sizeof(buf), "%s\t%lx\t", len ? "\"" : "", (unsigned long)type));
        for (DWORD b = 0; b < size; ++b)
            out->append(buf, snprintf(buf, sizeof(buf), "%02x", data[b]));
        *out += '\n';
    }
    wchar_t sub[300];
    for (DWORD i = 0; len = 300, !RegEnumKeyExW(h, i, sub, &len, NULL, NULL, NULL, NULL); ++i)
        DumpKey(root, (path.empty() ? L"" : path + L"\\") + sub, out);
    RegCloseKey(h);
}

int Dump(const wchar_t *file)
{
    std::string out;
    DumpKey(HKEY_LOCAL_MACHINE, L"", &out);
    DumpKey(HKEY_CURRENT_USER, L"", &out);
    FILE *f = _wfopen(file, L"wb");
    bool ok = f && fwrite(out.data(), 1, out.size(), f) == out.size();
    if (f && fclose(f))
        ok = false;
    if (!ok)
        fprintf(stderr, "cannot write %ls\n", file);
    return ok ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc == 6 && !lstrcmpW(argv[1], L"mix")) {
        int rc = Mix(wcstoul(argv[2], NULL, 10), _wtoi(argv[3]), _wtoi(argv[4]));
        return rc ? rc : Dump(argv[5]);
    }
    if (argc == 3 && !lstrcmpW(argv[1], L"dump"))
        return Dump(argv[2]);
    fprintf(stderr, "usage: regmix mix SEED OPS BULK FILE | dump FILE\n");
    return 2;
}
