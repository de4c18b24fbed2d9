// Registry files in regedit's syntax: export of the device's registry, and reading a
// saved registry back (checking it, importing it on a cold boot).
#include "helper.h"
#include "regtext.h"

#include <stdio.h>
#include <vector>

namespace {

struct Op {
    enum Kind { Key, DeleteKey, Value, DeleteValue } kind;
    HKEY root;
    std::wstring key;
    std::wstring name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct Parsed {
    std::vector<Op> ops;
    size_t keys = 0, values = 0;
};

int Hex(wchar_t c)
{
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

class Parser {
public:
    Parser(const wchar_t *text, size_t len) : p_(text), end_(text + len) {}

    bool Run(Parsed *out, std::wstring *error)
    {
        std::wstring line;
        if (!Next(&line) || line != L"Windows Registry Editor Version 5.00")
            return Error(L"it does not start with \"Windows Registry Editor Version 5.00\"", error);
        bool haveKey = false, ended = false;
        Op current;
        while (Next(&line)) {
            if (ended && !IsBlank(line))
                return Error(L"there is more after its end mark", error);
            if (line == REGTEXT_END_MARK) {
                ended = true;
                continue;
            }
            if (IsBlank(line) || line[0] == L';')
                continue;
            if (line[0] == L'[') {
                Op op;
                if (!ParseKeyLine(line, &op))
                    return Error(L"a key line is not [ROOT\\path]", error);
                haveKey = op.kind == Op::Key;
                if (haveKey) {
                    current = op;
                    ++out->keys;
                }
                out->ops.push_back(op);
                continue;
            }
            if (line[0] != L'"' && line[0] != L'@')
                return Error(L"a line is neither a key nor a value", error);
            if (!haveKey)
                return Error(L"a value comes before any key", error);
            Op op = current;
            op.kind = Op::Value;
            std::wstring why;
            if (!ParseValueLine(line, &op, &why))
                return Error(why, error);
            if (op.kind == Op::Value)
                ++out->values;
            out->ops.push_back(op);
        }
        if (!ended)
            return Error(L"it ends before its end mark: it was cut short", error);
        return true;
    }

private:
    const wchar_t *p_, *end_;
    size_t line_ = 0;

    bool Error(const std::wstring &what, std::wstring *error)
    {
        *error = L"line " + std::to_wstring(line_) + L": " + what;
        return false;
    }

    static bool IsBlank(const std::wstring &s) { return s.find_first_not_of(L" \t") == std::wstring::npos; }

    bool Next(std::wstring *line)
    {
        if (p_ >= end_)
            return false;
        const wchar_t *s = p_;
        while (p_ < end_ && *p_ != L'\n')
            ++p_;
        const wchar_t *e = p_;
        if (p_ < end_)
            ++p_;
        if (e > s && e[-1] == L'\r')
            --e;
        line->assign(s, e);
        ++line_;
        return true;
    }

    bool ParseKeyLine(const std::wstring &line, Op *op)
    {
        size_t close = line.find_last_of(L']');
        if (close == std::wstring::npos || !IsBlank(line.substr(close + 1)))
            return false;
        std::wstring path = line.substr(1, close - 1);
        op->kind = Op::Key;
        if (!path.empty() && path[0] == L'-') {
            op->kind = Op::DeleteKey;
            path.erase(0, 1);
        }
        std::wstring rootName;
        return ParseKey(path, &op->root, &op->key, &rootName) && path.find(L"\\\\") == std::wstring::npos;
    }

    // A quoted string from s[i] (the opening quote); i ends after the closing quote.
    static bool Quoted(const std::wstring &s, size_t *i, std::wstring *out)
    {
        for (size_t k = *i + 1; k < s.size(); ++k) {
            if (s[k] == L'"') {
                *i = k + 1;
                return true;
            }
            if (s[k] == L'\\' && k + 1 < s.size()) {
                wchar_t e = s[++k];
                switch (e) {
                case L'n': *out += L'\n'; break;
                case L'r': *out += L'\r'; break;
                case L'0': *out += L'\0'; break;
                case L'\\':
                case L'"': *out += e; break;
                default:  // not an escape: kept as written
                    *out += L'\\';
                    *out += e;
                }
                continue;
            }
            *out += s[k];
        }
        return false;
    }

    bool ParseValueLine(std::wstring line, Op *op, std::wstring *why)
    {
        size_t i = 0;
        if (line[0] == L'@') {
            i = 1;
        } else if (!Quoted(line, &i, &op->name)) {
            *why = L"a value name has no closing quote";
            return false;
        }
        if (i >= line.size() || line[i] != L'=') {
            *why = L"a value name is not followed by '='";
            return false;
        }
        std::wstring data = line.substr(i + 1);
        if (data == L"-") {
            op->kind = Op::DeleteValue;
            return true;
        }
        if (!data.empty() && data[0] == L'"') {
            std::wstring s;
            size_t k = 0;
            if (!Quoted(data, &k, &s) || !IsBlank(data.substr(k))) {
                *why = L"a string value has no closing quote";
                return false;
            }
            s += L'\0';
            op->type = REG_SZ;
            op->data.assign((const BYTE *)s.data(), (const BYTE *)(s.data() + s.size()));
            return true;
        }
        if (data.compare(0, 6, L"dword:") == 0) {
            std::wstring digits = data.substr(6);
            if (digits.empty() || digits.size() > 8 || digits.find_first_not_of(L"0123456789abcdefABCDEF") != std::wstring::npos) {
                *why = L"a dword value is not 1 to 8 hex digits";
                return false;
            }
            DWORD v = wcstoul(digits.c_str(), NULL, 16);
            op->type = REG_DWORD;
            op->data.assign((const BYTE *)&v, (const BYTE *)&v + 4);
            return true;
        }
        if (data.compare(0, 3, L"hex") == 0) {
            size_t k = 3;
            op->type = REG_BINARY;
            if (k < data.size() && data[k] == L'(') {
                size_t close = data.find(L')', k);
                if (close == std::wstring::npos || close == k + 1 || close > k + 9) {
                    *why = L"a hex(type) has no valid type";
                    return false;
                }
                op->type = 0;
                for (size_t t = k + 1; t < close; ++t) {
                    if (Hex(data[t]) < 0) {
                        *why = L"a hex(type) has no valid type";
                        return false;
                    }
                    op->type = op->type * 16 + Hex(data[t]);
                }
                k = close + 1;
            }
            if (k >= data.size() || data[k] != L':') {
                *why = L"hex data lacks its ':'";
                return false;
            }
            std::wstring bytes = data.substr(k + 1);
            // Continuation lines: a trailing backslash joins the next line.
            while (!bytes.empty() && bytes.back() == L'\\') {
                bytes.pop_back();
                std::wstring more;
                if (!Next(&more)) {
                    *why = L"hex data continues past the end of the file";
                    return false;
                }
                bytes += more;
            }
            std::wstring digits;
            for (wchar_t c : bytes) {
                if (c == L' ' || c == L'\t')
                    continue;
                if (c == L',') {
                    if (digits.size() % 2) {
                        *why = L"hex data has a byte that is not two digits";
                        return false;
                    }
                    continue;
                }
                if (Hex(c) < 0) {
                    *why = L"hex data has a character that is not a hex digit";
                    return false;
                }
                digits += c;
            }
            if (digits.size() % 2) {
                *why = L"hex data has a byte that is not two digits";
                return false;
            }
            for (size_t d = 0; d < digits.size(); d += 2)
                op->data.push_back((BYTE)(Hex(digits[d]) * 16 + Hex(digits[d + 1])));
            return true;
        }
        *why = L"a value's data is not a string, dword or hex";
        return false;
    }
};

// Reads a registry file (UTF-16LE with a byte-order mark).
bool ParseFile(const std::wstring &path, Parsed *out, std::wstring *error)
{
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, 0, NULL);
    if (f == INVALID_HANDLE_VALUE) {
        *error = L"cannot be opened (error " + std::to_wstring(GetLastError()) + L")";
        return false;
    }
    LARGE_INTEGER size;
    std::vector<BYTE> bytes;
    bool read = GetFileSizeEx(f, &size) && size.QuadPart < (1LL << 30);
    if (read) {
        bytes.resize((size_t)size.QuadPart);
        DWORD n = 0;
        read = bytes.empty() || (ReadFile(f, bytes.data(), (DWORD)bytes.size(), &n, NULL) && n == bytes.size());
    }
    CloseHandle(f);
    if (!read) {
        *error = L"cannot be read";
        return false;
    }
    if (bytes.size() < 2 || bytes[0] != 0xff || bytes[1] != 0xfe || bytes.size() % 2) {
        *error = L"is not UTF-16 text with a byte-order mark";
        return false;
    }
    Parser parser((const wchar_t *)(bytes.data() + 2), (bytes.size() - 2) / 2);
    return parser.Run(out, error);
}

DWORD Apply(const Parsed &parsed)
{
    HKEY open = NULL;
    const Op *openFor = nullptr;
    DWORD err = 0;
    for (const Op &op : parsed.ops) {
        switch (op.kind) {
        case Op::Key:
            if (open)
                RegCloseKey(open);
            open = NULL;
            err = RegCreateKeyExW(op.root, op.key.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &open, NULL);
            openFor = &op;
            break;
        case Op::DeleteKey:
            RegDeleteTreeW(op.root, op.key.c_str());
            RegDeleteKeyW(op.root, op.key.c_str());
            break;
        case Op::Value:
            if (open && openFor)
                err = RegSetValueExW(open, op.name.c_str(), 0, op.type, op.data.data(), (DWORD)op.data.size());
            break;
        case Op::DeleteValue:
            if (open)
                RegDeleteValueW(open, op.name.c_str());
            break;
        }
        if (err)
            break;
    }
    if (open)
        RegCloseKey(open);
    return err;
}

std::string Counts(const Parsed &p)
{
    return std::to_string(p.keys) + " keys, " + std::to_string(p.values) + " values";
}

}  // namespace

// Reads the saved registry at a device path. Returns EXIT_OK, EXIT_USAGE for an
// argument that is not a device path, 3 for a file that does not read back cleanly
// (reported), or 4 for no file at all.
static int ReadSaved(const wchar_t *arg, Parsed *parsed)
{
    std::wstring path, error;
    if (!DevicePath(arg, &path))
        return BadPath(arg);
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        return 4;
    if (!ParseFile(path, parsed, &error)) {
        Fail(std::wstring(arg) + L" " + (error.compare(0, 5, L"line ") ? error : L"is damaged (" + error + L")"));
        return 3;
    }
    return EXIT_OK;
}

// import PATH: a saved registry into the device's registry. Exit code 3 for a file
// that does not read back cleanly (nothing of it is applied then), 4 for no file.
int CmdImport(int argc, wchar_t **argv)
{
    if (argc != 1)
        return Usage(L"usage: cedev-helper import \\DEVICE\\PATH");
    Parsed parsed;
    int rc = ReadSaved(argv[0], &parsed);
    if (rc != EXIT_OK)
        return rc;
    DWORD err = Apply(parsed);
    if (err)
        return Fail(L"importing " + std::wstring(argv[0]) + L" failed (error " + std::to_wstring(err) + L")");
    Out(Counts(parsed) + "\n");
    return EXIT_OK;
}

// check PATH: whether a saved registry reads back cleanly.
int CmdCheck(int argc, wchar_t **argv)
{
    if (argc != 1)
        return Usage(L"usage: cedev hive [\\DEVICE\\PATH]");
    Parsed parsed;
    int rc = ReadSaved(argv[0], &parsed);
    if (rc == 4)
        return Fail(std::wstring(argv[0]) + L": no such file");
    if (rc != EXIT_OK)
        return rc;
    Out(Utf8(argv[0]) + ": reads back cleanly, " + Counts(parsed) + "\n");
    return EXIT_OK;
}

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
