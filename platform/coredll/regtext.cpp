// Writes the registry as a regedit-syntax registry file. The registry is read in one
// call per root (NtSaveKey hands the Wine server's whole tree over as text) and that
// text is converted here; reading it one value at a time would take seconds.
#include "regtext.h"

#include <winternl.h>

extern "C" NTSTATUS NTAPI NtSaveKey(HANDLE KeyHandle, HANDLE FileHandle);
extern "C" NTSTATUS NTAPI RtlAdjustPrivilege(ULONG Privilege, BOOLEAN Enable, BOOLEAN CurrentThread,
                                             PBOOLEAN Enabled);
extern "C" NTSTATUS NTAPI RtlOpenCurrentUser(ACCESS_MASK DesiredAccess, PHANDLE KeyHandle);
extern "C" NTSTATUS NTAPI NtOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES Attributes);

#define SE_BACKUP_PRIVILEGE 17

// ---------------------------------------------------------------------------
// WideBuffer

WideBuffer::~WideBuffer()
{
    if (data)
        HeapFree(GetProcessHeap(), 0, data);
}

bool WideBuffer::Reserve(size_t extra)
{
    if (failed)
        return false;
    if (len + extra <= cap)
        return true;
    size_t want = cap ? cap * 2 : 4096;
    while (want < len + extra)
        want *= 2;
    WCHAR *p = (WCHAR *)(data ? HeapReAlloc(GetProcessHeap(), 0, data, want * sizeof(WCHAR))
                              : HeapAlloc(GetProcessHeap(), 0, want * sizeof(WCHAR)));
    if (!p) {
        failed = true;
        return false;
    }
    data = p;
    cap = want;
    return true;
}

void WideBuffer::Append(const WCHAR *s, size_t n)
{
    if (Reserve(n)) {
        memcpy(data + len, s, n * sizeof(WCHAR));
        len += n;
    }
}

void WideBuffer::Append(const WCHAR *s)
{
    Append(s, lstrlenW(s));
}

// ---------------------------------------------------------------------------
// Reading Wine's registry format

namespace {

struct Reader {
    const char *p;
    const char *end;

    bool AtEnd() const { return p >= end; }
    // The rest of the current line, without its line break; moves past it.
    bool Line(const char **start, size_t *n)
    {
        if (p >= end)
            return false;
        const char *s = p;
        const char *nl = (const char *)memchr(p, '\n', end - p);
        p = nl ? nl : end;
        const char *e = p;
        if (p < end)
            ++p;
        if (e > s && e[-1] == '\r')
            --e;
        *start = s;
        *n = e - s;
        return true;
    }
};

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Decodes one escaped string of the dump up to the unescaped terminator `close`.
// Escapes: \a \b \e \f \n \r \t \v, \x with up to four hex digits, octal with up to
// three digits, and a backslash before any other character for that character.
// Characters above 127 arrive as UTF-8. Returns the position after the terminator,
// or NULL when the string does not end on this line.
const char *Unescape(const char *p, const char *end, char close, WideBuffer *out)
{
    while (p < end && *p != close) {
        // Most of the text is plain ASCII: widen runs of it in one go.
        const char *run = p;
        while (p < end && *p != close && *p != '\\' && (unsigned char)*p < 0x80)
            ++p;
        if (p > run && out->Reserve(p - run)) {
            for (const char *q = run; q < p; ++q)
                out->data[out->len++] = (WCHAR)(unsigned char)*q;
        }
        if (p >= end || *p == close)
            break;
        unsigned char c = (unsigned char)*p++;
        if (c == '\\') {
            if (p >= end)
                return nullptr;
            char e = *p++;
            int v;
            switch (e) {
            case 'a': out->Append(L'\a'); continue;
            case 'b': out->Append(L'\b'); continue;
            case 'e': out->Append((WCHAR)27); continue;
            case 'f': out->Append(L'\f'); continue;
            case 'n': out->Append(L'\n'); continue;
            case 'r': out->Append(L'\r'); continue;
            case 't': out->Append(L'\t'); continue;
            case 'v': out->Append(L'\v'); continue;
            case 'x':
                if (p >= end || HexDigit(*p) < 0) {
                    out->Append(L'x');
                    continue;
                }
                v = 0;
                for (int i = 0; i < 4 && p < end && HexDigit(*p) >= 0; ++i)
                    v = v * 16 + HexDigit(*p++);
                out->Append((WCHAR)v);
                continue;
            default:
                if (e >= '0' && e <= '7') {
                    v = e - '0';
                    for (int i = 0; i < 2 && p < end && *p >= '0' && *p <= '7'; ++i)
                        v = v * 8 + (*p++ - '0');
                    out->Append((WCHAR)v);
                    continue;
                }
                out->Append((WCHAR)(unsigned char)e);
                continue;
            }
        }
        if (c < 0x80) {
            out->Append((WCHAR)c);
            continue;
        }
        // UTF-8: two to four bytes; a four-byte sequence becomes a surrogate pair.
        int more = c >= 0xf0 ? 3 : c >= 0xe0 ? 2 : 1;
        unsigned cp = c & (0x3f >> more);
        for (int i = 0; i < more && p < end; ++i)
            cp = (cp << 6) | ((unsigned char)*p++ & 0x3f);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out->Append((WCHAR)(0xd800 | (cp >> 10)));
            out->Append((WCHAR)(0xdc00 | (cp & 0x3ff)));
        } else {
            out->Append((WCHAR)cp);
        }
    }
    return p < end ? p + 1 : nullptr;
}

// Reads "hex:" data: comma-separated byte pairs, continued on the next line after a
// trailing backslash. The bytes go into out as raw bytes (two per WCHAR slot).
bool ReadHex(Reader *r, const char *p, const char *end, BYTE **bytes, size_t *count, size_t *cap)
{
    for (;;) {
        while (p < end && (*p == ' ' || *p == '\t'))
            ++p;
        if (p >= end)
            return true;
        if (*p == '\\' && p + 1 == end) {
            size_t n;
            if (!r->Line(&p, &n))
                return false;
            end = p + n;
            continue;
        }
        int hi = HexDigit(p[0]);
        int lo = p + 1 < end ? HexDigit(p[1]) : -1;
        if (hi < 0 || lo < 0)
            return false;
        if (*count == *cap) {
            size_t want = *cap ? *cap * 2 : 256;
            BYTE *nb = (BYTE *)(*bytes ? HeapReAlloc(GetProcessHeap(), 0, *bytes, want)
                                       : HeapAlloc(GetProcessHeap(), 0, want));
            if (!nb)
                return false;
            *bytes = nb;
            *cap = want;
        }
        (*bytes)[(*count)++] = (BYTE)(hi * 16 + lo);
        p += 2;
        while (p < end && (*p == ' ' || *p == '\t'))
            ++p;
        if (p < end && *p == ',')
            ++p;
        else if (p < end && !(*p == '\\' && p + 1 == end))
            return false;
    }
}

// ---------------------------------------------------------------------------
// Writing regedit syntax

const WCHAR kHex[] = L"0123456789abcdef";

// A quoted name or string: backslash and quote escaped, and the line breaks that a
// registry file cannot hold raw.
void AppendQuoted(WideBuffer *out, const WCHAR *s, size_t n)
{
    out->Append(L'"');
    for (size_t i = 0; i < n; ++i) {
        switch (s[i]) {
        case L'\\': out->Append(L"\\\\", 2); break;
        case L'"': out->Append(L"\\\"", 2); break;
        case L'\n': out->Append(L"\\n", 2); break;
        case L'\r': out->Append(L"\\r", 2); break;
        default: out->Append(s[i]);
        }
    }
    out->Append(L'"');
}

// The number of names in a key path; 0 for the root.
size_t PathDepth(const WCHAR *s, size_t n)
{
    size_t depth = n ? 1 : 0;
    for (size_t i = 0; i < n; ++i)
        depth += s[i] == L'\\';
    return depth;
}

// The number of leading names two key paths share.
size_t CommonDepth(const WCHAR *a, size_t an, const WCHAR *b, size_t bn)
{
    if (!an || !bn)
        return 0;
    size_t i = 0, depth = 0;
    for (; i < an && i < bn && a[i] == b[i]; ++i)
        depth += a[i] == L'\\';
    return depth + ((i == an || a[i] == L'\\') && (i == bn || b[i] == L'\\'));
}

// A key line of regedit's syntax has no escapes: a key name cannot hold a line break,
// nor a NUL, which no registry file can carry.
bool WritableKeyPath(const WCHAR *s, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        if (s[i] == L'\r' || s[i] == L'\n' || s[i] == 0)
            return false;
    }
    return true;
}

// A value name can hold anything but a NUL.
bool WritableValueName(const WCHAR *s, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        if (s[i] == 0)
            return false;
    }
    return true;
}

// A REG_SZ can be written as a quoted string when it ends in its one terminator and
// holds no other control characters.
bool IsPlainString(const BYTE *data, size_t size)
{
    if (size < 2 || size % 2)
        return false;
    const WCHAR *s = (const WCHAR *)data;
    size_t n = size / 2;
    if (s[n - 1])
        return false;
    for (size_t i = 0; i + 1 < n; ++i) {
        if (s[i] < 0x20 && s[i] != L'\n' && s[i] != L'\r' && s[i] != L'\t')
            return false;
    }
    return true;
}

void AppendValue(WideBuffer *out, const WCHAR *name, size_t nameLen, DWORD type, const BYTE *data, size_t size)
{
    size_t lineStart = out->len;
    if (nameLen)
        AppendQuoted(out, name, nameLen);
    else
        out->Append(L'@');
    out->Append(L'=');
    if (type == REG_SZ && IsPlainString(data, size)) {
        AppendQuoted(out, (const WCHAR *)data, size / 2 - 1);
        out->Append(L"\r\n", 2);
        return;
    }
    if (type == REG_DWORD && size == 4) {
        DWORD v;
        memcpy(&v, data, 4);
        WCHAR buf[15] = L"dword:";
        for (int i = 0; i < 8; ++i)
            buf[6 + i] = kHex[(v >> (28 - 4 * i)) & 15];
        out->Append(buf, 14);
        out->Append(L"\r\n", 2);
        return;
    }
    if (type == REG_BINARY) {
        out->Append(L"hex:", 4);
    } else {
        WCHAR buf[16];
        int n = wsprintfW(buf, L"hex(%x):", (unsigned)type);
        out->Append(buf, n);
    }
    // Lines of at most 80 characters, continued with a backslash, as regedit writes.
    size_t column = out->len - lineStart;
    if (!out->Reserve(size * 3 + size / 20 * 5 + 2))
        return;
    for (size_t i = 0; i < size; ++i) {
        out->Append(kHex[data[i] >> 4]);
        out->Append(kHex[data[i] & 15]);
        column += 2;
        if (i + 1 < size) {
            out->Append(L',');
            if (++column > 76) {
                out->Append(L"\\\r\n  ", 5);
                column = 2;
            }
        }
    }
    out->Append(L"\r\n", 2);
}

}  // namespace

bool ConvertWineDump(const char *dump, size_t size, const WCHAR *rootName, WideBuffer *out)
{
    Reader r = {dump, dump + size};
    WideBuffer name, key, str;
    BYTE *bytes = nullptr;
    size_t count = 0, cap = 0;
    bool ok = true;
    bool inKey = false, skipKey = false, keyWritten = false;
    size_t keyDepth = 0;
    const char *line;
    size_t n;

    // Links are left out, but the key holding one stays in the file even when it has
    // no section of its own (no values, only links below it): a cold boot brings a link
    // back only where its parent was saved (the roots always are). written.data[d] says
    // whether the key d names deep on the current key's path has its header written.
    WideBuffer prev, written;
    auto writeHeader = [&](size_t pathLen, size_t depth) {
        out->Append(L"\r\n[", 3);
        out->Append(rootName);
        if (pathLen) {
            out->Append(L'\\');
            out->Append(key.data, pathLen);
        }
        out->Append(L"]\r\n", 3);
        if (depth < written.len)
            written.data[depth] = 1;
    };
    // A key's header is written once its section is known not to be a link.
    auto flushKey = [&]() {
        if (inKey && !skipKey && !keyWritten) {
            writeHeader(key.len, keyDepth);
            keyWritten = true;
        }
    };

    // The text grows to about twice the dump's size in bytes; reserving it up front
    // saves the copies of repeated growth.
    out->Reserve(size * 2);

    static const char kHeader[] = "WINE REGISTRY Version 2";
    if (!r.Line(&line, &n) || n != sizeof(kHeader) - 1 || memcmp(line, kHeader, n))
        return false;

    while (ok && r.Line(&line, &n)) {
        const char *end = line + n;
        if (n == 0 || line[0] == ';')
            continue;
        if (line[0] == '[') {
            flushKey();
            key.len = 0;
            ok = Unescape(line + 1, end, ']', &key) != nullptr && WritableKeyPath(key.data, key.len);
            // The keys this one shares with the previous one keep their marks.
            size_t common = CommonDepth(prev.data, prev.len, key.data, key.len);
            keyDepth = PathDepth(key.data, key.len);
            if (written.len > common + 1)
                written.len = common + 1;
            while (written.len <= keyDepth && !written.failed)
                written.Append((WCHAR)0);
            prev.len = 0;
            prev.Append(key.data, key.len);
            ok = ok && !written.failed && !prev.failed;
            inKey = true;
            skipKey = keyWritten = false;
            continue;
        }
        if (line[0] == '#') {
            if (n == 5 && !memcmp(line, "#link", 5)) {
                skipKey = true;
                if (keyDepth > 1 && !written.data[keyDepth - 1]) {
                    size_t parentLen = key.len;
                    while (parentLen && key.data[parentLen - 1] != L'\\')
                        --parentLen;
                    writeHeader(parentLen - 1, keyDepth - 1);
                }
            }
            continue;
        }
        if (line[0] != '"' && line[0] != '@') {
            ok = false;
            break;
        }
        // A value: "name"=data or @=data.
        name.len = 0;
        const char *p = line[0] == '@' ? line + 1 : Unescape(line + 1, end, '"', &name);
        if (!p || p >= end || *p != '=' || !WritableValueName(name.data, name.len)) {
            ok = false;
            break;
        }
        ++p;
        DWORD type;
        count = 0;
        if (*p == '"' || (end - p > 4 && !memcmp(p, "str(", 4))) {
            type = REG_SZ;
            if (*p != '"') {
                type = 0;
                for (p += 4; p < end && HexDigit(*p) >= 0; ++p)
                    type = type * 16 + HexDigit(*p);
                if (end - p < 3 || p[0] != ')' || p[1] != ':' || p[2] != '"') {
                    ok = false;
                    break;
                }
                p += 2;
            }
            str.len = 0;
            if (!Unescape(p + 1, end, '"', &str)) {
                ok = false;
                break;
            }
            str.Append(L'\0');
            if (str.failed) {
                ok = false;
                break;
            }
            if (inKey && !skipKey) {
                flushKey();
                AppendValue(out, name.data, name.len, type, (const BYTE *)str.data, str.len * 2);
            }
            continue;
        }
        if (end - p >= 6 && !memcmp(p, "dword:", 6)) {
            DWORD v = 0;
            int digits = 0;
            for (p += 6; p < end && HexDigit(*p) >= 0; ++p, ++digits)
                v = v * 16 + HexDigit(*p);
            if (digits == 0 || digits > 8 || p != end) {
                ok = false;
                break;
            }
            if (inKey && !skipKey) {
                flushKey();
                AppendValue(out, name.data, name.len, REG_DWORD, (const BYTE *)&v, 4);
            }
            continue;
        }
        if (end - p >= 4 && !memcmp(p, "hex", 3)) {
            type = REG_BINARY;
            p += 3;
            if (*p == '(') {
                type = 0;
                for (++p; p < end && HexDigit(*p) >= 0; ++p)
                    type = type * 16 + HexDigit(*p);
                if (p >= end || *p != ')') {
                    ok = false;
                    break;
                }
                ++p;
            }
            if (p >= end || *p != ':' || !ReadHex(&r, p + 1, end, &bytes, &count, &cap)) {
                ok = false;
                break;
            }
            if (inKey && !skipKey) {
                flushKey();
                AppendValue(out, name.data, name.len, type, bytes, count);
            }
            continue;
        }
        ok = false;
    }
    flushKey();
    if (bytes)
        HeapFree(GetProcessHeap(), 0, bytes);
    return ok && !name.failed && !key.failed && !str.failed && !out->failed;
}

// ---------------------------------------------------------------------------
// Reading the registry

// Saves one root into a temporary file that disappears when closed, and converts it.
static DWORD AppendRoot(HANDLE key, const WCHAR *rootName, WideBuffer *out)
{
    WCHAR dir[MAX_PATH], path[MAX_PATH];
    if (!GetTempPathW(MAX_PATH, dir) || !GetTempFileNameW(dir, L"reg", 0, path))
        return GetLastError();
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        DeleteFileW(path);
        return err;
    }
    DWORD err = 0;
    NTSTATUS status = NtSaveKey(key, file);
    LARGE_INTEGER size;
    if (status)
        err = RtlNtStatusToDosError(status);
    else if (!GetFileSizeEx(file, &size))
        err = GetLastError();
    else if (size.QuadPart == 0)
        err = ERROR_INVALID_DATA;
    if (!err) {
        HANDLE map = CreateFileMappingW(file, NULL, PAGE_READONLY, 0, 0, NULL);
        const char *view = map ? (const char *)MapViewOfFile(map, FILE_MAP_READ, 0, 0, 0) : nullptr;
        if (!view)
            err = GetLastError();
        else if (!ConvertWineDump(view, (size_t)size.QuadPart, rootName, out))
            err = out->failed ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_DATA;
        if (view)
            UnmapViewOfFile(view);
        if (map)
            CloseHandle(map);
    }
    CloseHandle(file);
    return err;
}

DWORD BuildRegistryText(WideBuffer *out)
{
    // Saving a key needs the backup privilege, which an administrator holds but has
    // not enabled.
    BOOLEAN was;
    RtlAdjustPrivilege(SE_BACKUP_PRIVILEGE, TRUE, FALSE, &was);

    out->Append(L"\xfeff" L"Windows Registry Editor Version 5.00\r\n");

    HANDLE machine;
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attr;
    RtlInitUnicodeString(&name, L"\\Registry\\Machine");
    InitializeObjectAttributes(&attr, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    NTSTATUS status = NtOpenKey(&machine, KEY_READ, &attr);
    if (status)
        return RtlNtStatusToDosError(status);
    DWORD err = AppendRoot(machine, L"HKEY_LOCAL_MACHINE", out);
    CloseHandle(machine);
    if (err)
        return err;

    HANDLE user;
    status = RtlOpenCurrentUser(KEY_READ, &user);
    if (status)
        return RtlNtStatusToDosError(status);
    err = AppendRoot(user, L"HKEY_CURRENT_USER", out);
    CloseHandle(user);
    if (err)
        return err;

    out->Append(L"\r\n" REGTEXT_END_MARK L"\r\n");
    return out->failed ? ERROR_NOT_ENOUGH_MEMORY : 0;
}
