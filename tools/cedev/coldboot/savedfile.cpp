// Reading the saved registry. The grammar is what the persistence writes (savedreg.h),
// and little more: blank lines and other ";" comments may stand anywhere before the end
// mark, a line may end in LF alone, a root's name may be in any case, a dword may have
// one to eight digits and hex bytes blanks around them. Deletion lines ([-key],
// "name"=-) are refused: a saved registry replaces the registry, it does not edit it.
#include "savedfile.h"

#include <algorithm>
#include <cstring>

namespace {

bool IsBlank(std::u16string_view s)
{
    for (char16_t c : s) {
        if (c != u' ' && c != u'\t')
            return false;
    }
    return true;
}

int HexDigit(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'a' && x <= u'z')
            x -= 32;
        if (y >= u'a' && y <= u'z')
            y -= 32;
        if (x != y)
            return false;
    }
    return true;
}

// What is wrong with a key's path or a value's name, by the saved registry's rules.
std::string NameFaultText(NameFault fault, bool key)
{
    const char *what = key ? "a key name" : "a value name";
    switch (fault) {
    case NameFault::None: break;
    case NameFault::Empty: return "a key path has an empty name in it";
    case NameFault::TooLong:
        return std::string(what) + " is longer than " + std::to_string(key ? kMaxKeyNameLength : kMaxValueNameLength) +
               " characters, the registry's limit";
    case NameFault::Nul: return std::string(what) + " holds a NUL character";
    case NameFault::LineBreak: return std::string(what) + " holds a line break";
    }
    return std::string();
}

const char kNotUtf16[] = "it is not UTF-16 text with a byte-order mark";
// The format's own text (ASCII) for messages.
std::string Ascii(const char16_t *s)
{
    std::string out;
    for (; *s; ++s)
        out += static_cast<char>(*s);
    return out;
}

const std::string kNoHeader = "line 1: it does not start with \"" + Ascii(kSavedHeader) + "\"";
const std::string kOtherRoot = "a key outside " + Ascii(SavedRootName(kSavedRoots[0])) + " and " +
                               Ascii(SavedRootName(kSavedRoots[1])) + ", the two saved roots";

class Reader {
public:
    Reader(const char16_t *text, size_t len) : p_(text), end_(text + len) {}

    bool Run(SavedSink *sink, SavedCounts *counts, std::string *error)
    {
        std::u16string_view line;
        if (!Next(&line) || line != kSavedHeader) {
            *error = kNoHeader;
            return false;
        }
        bool inKey = false;
        while (Next(&line)) {
            if (line == kSavedEndMark) {
                while (Next(&line)) {
                    if (!IsBlank(line))
                        return Fail("there is more after its end mark", error);
                }
                return true;
            }
            if (IsBlank(line) || line[0] == u';')
                continue;
            if (line[0] == u'[') {
                Root root;
                std::u16string_view path;
                if (!ReadKey(line, &root, &path))
                    return Fail(why_, error);
                sink->Key(root, path);
                ++counts->keys;
                inKey = true;
                continue;
            }
            if (line[0] != u'"' && line[0] != u'@')
                return Fail("a line is neither a key, a value nor a comment", error);
            if (!inKey)
                return Fail("a value comes before any key", error);
            uint32_t type;
            if (!ReadValue(line, &type))
                return Fail(why_, error);
            sink->Value(name_, type, value_);
            ++counts->values;
        }
        return Fail("it ends before its end mark: it was cut short", error);
    }

private:
    const char16_t *p_, *end_;
    size_t line_ = 0;
    std::string why_;
    // The current value's name and data (in data_, or a string's in text_ with its
    // terminator); reused from value to value, so that a long string is copied once.
    std::u16string name_, text_;
    std::string data_;
    std::string_view value_;  // the value's bytes

    bool Fail(const std::string &what, std::string *error)
    {
        *error = "line " + std::to_string(line_) + ": " + what;
        return false;
    }

    bool Why(const std::string &what)
    {
        why_ = what;
        return false;
    }

    // The next line without its line break (LF, or CR LF).
    bool Next(std::u16string_view *line)
    {
        if (p_ >= end_)
            return false;
        const char16_t *s = p_;
        // Most of the file is long lines: memchr finds the byte of a line break fast,
        // and the unit it starts is checked to be one.
        const char *at = reinterpret_cast<const char *>(p_), *stop = reinterpret_cast<const char *>(end_);
        for (;;) {
            at = static_cast<const char *>(memchr(at, '\n', stop - at));
            if (!at) {
                p_ = end_;
                break;
            }
            if ((at - reinterpret_cast<const char *>(s)) % 2 == 0 && at + 1 < stop && at[1] == 0) {
                p_ = reinterpret_cast<const char16_t *>(at);
                break;
            }
            ++at;
        }
        const char16_t *e = p_;
        if (p_ < end_)
            ++p_;
        if (e > s && e[-1] == u'\r')
            --e;
        *line = std::u16string_view(s, e - s);
        ++line_;
        return true;
    }

    bool ReadKey(std::u16string_view line, Root *rootOut, std::u16string_view *pathOut)
    {
        size_t close = line.find_last_of(u']');
        if (close == std::u16string_view::npos || !IsBlank(line.substr(close + 1)))
            return Why("a key line does not end with ]");
        std::u16string_view path = line.substr(1, close - 1);
        if (!path.empty() && path[0] == u'-')
            return Why("a deletion line ([-key]): a saved registry deletes nothing");
        size_t slash = path.find(u'\\');
        std::u16string_view root = path.substr(0, slash);
        bool known = false;
        for (Root r : kSavedRoots) {
            if (EqualsIgnoringCase(root, SavedRootName(r))) {
                *rootOut = r;
                known = true;
            }
        }
        if (!known)
            return Why(kOtherRoot);
        *pathOut = std::u16string_view();
        if (slash == std::u16string_view::npos)
            return true;
        path.remove_prefix(slash + 1);
        // Every name on the path is one a registry holds and a key line carries.
        NameFault fault = SavedKeyPathFault(path.data(), path.size());
        if (fault != NameFault::None)
            return Why(NameFaultText(fault, true));
        *pathOut = path;
        return true;
    }

    // A quoted string at s[*i] (the opening quote); *i ends after the closing quote.
    // A name is at most MOST units long; a longer one is refused as soon as it is seen.
    bool Quoted(std::u16string_view s, size_t *i, std::u16string *out, size_t most = std::u16string::npos)
    {
        // At most the rest of the line, in one allocation: a string as long as the file
        // then takes its length once more, not twice that while it grows.
        out->reserve(std::min(s.size() - *i, most));
        for (size_t k = *i + 1; k < s.size();) {
            // Runs without escapes go in whole.
            size_t run = k;
            while (run < s.size() && s[run] != u'"' && s[run] != u'\\')
                ++run;
            if (out->size() + (run - k) > most)
                return Why(NameFaultText(NameFault::TooLong, false));
            out->append(s.data() + k, run - k);
            if (run == s.size())
                break;
            if (s[run] == u'"') {
                *i = run + 1;
                return true;
            }
            if (run + 1 == s.size())
                break;
            char16_t unit = SavedEscapedUnit(s[run + 1]);
            if (!unit)
                return Why("a string has an escape other than \\\\, \\\", \\n or \\r");
            *out += unit;
            k = run + 2;
        }
        return Why("a string has no closing quote");
    }

    // A value line into name_, *type and data_.
    bool ReadValue(std::u16string_view line, uint32_t *type)
    {
        size_t i = 1;
        name_.clear();
        data_.clear();
        if (line[0] == u'"') {
            i = 0;
            if (!Quoted(line, &i, &name_, kMaxValueNameLength))
                return false;
            NameFault fault = SavedValueNameFault(name_.data(), name_.size());
            if (fault != NameFault::None)
                return Why(NameFaultText(fault, false));
        }
        if (i >= line.size() || line[i] != u'=')
            return Why("a value name is not followed by =");
        std::u16string_view data = line.substr(i + 1);
        if (data == u"-")
            return Why("a deletion line (\"name\"=-): a saved registry deletes nothing");
        if (!data.empty() && data[0] == u'"')
            return ReadString(data, type);
        if (data.substr(0, 6) == u"dword:")
            return ReadDword(data.substr(6), type);
        if (data.substr(0, 3) == u"hex")
            return ReadHex(data.substr(3), type);
        return Why("a value's data is not a string, dword or hex");
    }

    bool ReadString(std::u16string_view data, uint32_t *type)
    {
        std::u16string &s = text_;
        s.clear();
        size_t k = 0;
        if (!Quoted(data, &k, &s))
            return false;
        if (!IsBlank(data.substr(k)))
            return Why("a string value has more after its closing quote");
        s += u'\0';
        *type = kSavedString;
        value_ = std::string_view(reinterpret_cast<const char *>(s.data()), s.size() * 2);
        return true;
    }

    bool ReadDword(std::u16string_view digits, uint32_t *type)
    {
        if (digits.empty() || digits.size() > 8)
            return Why("a dword value is not 1 to 8 hex digits");
        uint32_t v = 0;
        for (char16_t c : digits) {
            if (HexDigit(c) < 0)
                return Why("a dword value is not 1 to 8 hex digits");
            v = v * 16 + HexDigit(c);
        }
        *type = kSavedDword;
        data_.assign(reinterpret_cast<const char *>(&v), 4);
        value_ = data_;
        return true;
    }

    // After "hex": ":bytes" for REG_BINARY, "(type):bytes" for any other type.
    bool ReadHex(std::u16string_view rest, uint32_t *type)
    {
        *type = kSavedBinary;
        if (!rest.empty() && rest[0] == u'(') {
            size_t close = rest.find(u')');
            if (close == std::u16string_view::npos || close < 2 || close > 9)
                return Why("a hex(type) has no valid type");
            *type = 0;
            for (size_t t = 1; t < close; ++t) {
                if (HexDigit(rest[t]) < 0)
                    return Why("a hex(type) has no valid type");
                *type = *type * 16 + HexDigit(rest[t]);
            }
            rest.remove_prefix(close + 1);
        }
        if (rest.empty() || rest[0] != u':')
            return Why("hex data lacks its ':'");
        rest.remove_prefix(1);
        // Bytes of two digits separated by commas (blanks around them do not count); a
        // backslash after a comma at the end of a line continues the data on the next.
        std::string &bytes = data_;
        bool afterComma = false;
        for (;;) {
            size_t k = 0;
            bytes.reserve(bytes.size() + rest.size() / 3 + 1);
            while (k < rest.size()) {
                char16_t c = rest[k];
                if (c == u' ' || c == u'\t') {
                    ++k;
                    continue;
                }
                if (c == u'\\' && afterComma && IsBlank(rest.substr(k + 1)))
                    break;
                int hi = HexDigit(c), lo = k + 1 < rest.size() ? HexDigit(rest[k + 1]) : -1;
                if (hi < 0 || lo < 0)
                    return Why("hex data has a byte that is not two hex digits");
                bytes += static_cast<char>(hi * 16 + lo);
                k += 2;
                while (k < rest.size() && (rest[k] == u' ' || rest[k] == u'\t'))
                    ++k;
                afterComma = k < rest.size() && rest[k] == u',';
                if (afterComma)
                    ++k;
                else if (k < rest.size())
                    return Why("hex data has bytes not separated by commas");
            }
            if (k == rest.size()) {
                value_ = bytes;
                return afterComma ? Why("hex data ends with a comma") : true;
            }
            if (!Next(&rest))
                return Why("hex data continues past the end of the file");
        }
    }
};

}  // namespace

bool CheckSavedHead(std::string_view head, uint64_t size, std::string *error)
{
    if (head.size() < 2 || static_cast<unsigned char>(head[0]) != 0xff ||
        static_cast<unsigned char>(head[1]) != 0xfe || size % 2) {
        *error = kNotUtf16;
        return false;
    }
    // The header, then a line break or the end of the file, as the reader takes them.
    std::u16string first((head.size() - 2) / 2, u'\0');
    memcpy(&first[0], head.data() + 2, first.size() * 2);
    bool whole = size == head.size();
    auto at = [&](size_t i) { return i < first.size() ? static_cast<int>(first[i]) : whole ? -1 : -2; };
    size_t n = sizeof(kSavedHeader) / sizeof(kSavedHeader[0]) - 1;
    if (first.size() < n || first.compare(0, n, kSavedHeader) ||
        !(at(n) == -1 || at(n) == u'\n' || (at(n) == u'\r' && (at(n + 1) == u'\n' || at(n + 1) == -1)))) {
        *error = kNoHeader;
        return false;
    }
    if (size > kMaxSavedSize) {
        *error = "is too large: " + std::to_string(size) + " bytes, over the " + std::to_string(kMaxSavedSize >> 20) +
                 " MiB a saved registry may be";
        return false;
    }
    return true;
}

bool ReadSavedRegistry(std::string_view bytes, SavedSink *sink, SavedCounts *counts, std::string *error)
{
    if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0xff ||
        static_cast<unsigned char>(bytes[1]) != 0xfe || bytes.size() % 2) {
        *error = kNotUtf16;
        return false;
    }
    size_t units = (bytes.size() - 2) / 2;
    if (reinterpret_cast<uintptr_t>(bytes.data()) % alignof(char16_t) == 0)
        return Reader(reinterpret_cast<const char16_t *>(bytes.data() + 2), units).Run(sink, counts, error);
    std::u16string text(units, u'\0');
    memcpy(&text[0], bytes.data() + 2, units * 2);
    return Reader(text.data(), units).Run(sink, counts, error);
}
