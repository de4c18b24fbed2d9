// Converting the Wine server's dump of a root into the saved registry's lines.
//
// The conversion streams: the dump is read in pieces and the text goes out through
// the caller's buffer, which may pass it on as it fills. Neither is ever whole in
// memory, so the flush touches a few fresh pages rather than megabytes of them (a
// fresh page costs more here than converting what it holds). Each line is converted in
// one pass, with room made for it once.
#include "winedump.h"

#include <cstring>
#include <emmintrin.h>

// ---------------------------------------------------------------------------
// Reading Wine's registry format

namespace {

// The first line break at or after p, or end; sixteen bytes at a time.
inline const char *FindNewline(const char *p, const char *end)
{
    const __m128i newline = _mm_set1_epi8('\n');
    while (end - p >= 16) {
        int mask = _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)p), newline));
        if (mask)
            return p + __builtin_ctz(mask);
        p += 16;
    }
    while (p < end && *p != '\n')
        ++p;
    return p;
}

// The dump's lines, from memory or read piece by piece. A line handed out stays valid
// until the next one is asked for.
class Reader {
public:
    Reader(const char *dump, size_t size) : p_(dump), scan_(dump), end_(dump + size) {}
    Reader(DumpRead read, void *context) : read_(read), context_(context), atEnd_(false) {}
    ~Reader()
    {
        if (buffer_)
            TextFree(buffer_);
    }

    bool failed() const { return failed_; }

    // The rest of the current line, without its line break; moves past it.
    bool Line(const char **start, size_t *n)
    {
        const char *nl;
        for (;;) {
            nl = FindNewline(scan_, end_);
            if (nl < end_ || atEnd_)
                break;
            scan_ = nl;
            if (!Fill())
                return false;
        }
        if (p_ >= end_)
            return false;
        const char *s = p_, *e = nl;
        p_ = scan_ = nl < end_ ? nl + 1 : end_;
        if (e > s && e[-1] == '\r')
            --e;
        *start = s;
        *n = e - s;
        return true;
    }

private:
    // Moves what is left to the front of the buffer (growing it for a line longer than
    // it) and reads more after it.
    bool Fill()
    {
        size_t keep = end_ - p_, scanned = scan_ - p_;
        if (keep == size_) {
            // The whole buffer is one unfinished line.
            size_t want = size_ ? size_ * 2 : kDumpPiece;
            char *b = (char *)TextResize(buffer_, want);
            if (!b) {
                failed_ = true;
                return false;
            }
            buffer_ = b;
            p_ = b;
            size_ = want;
        }
        if (keep && p_ != buffer_)
            memmove(buffer_, p_, keep);
        size_t got = 0;
        if (!read_(context_, buffer_ + keep, size_ - keep, &got)) {
            failed_ = true;
            return false;
        }
        atEnd_ = got == 0;
        p_ = buffer_;
        scan_ = buffer_ + scanned;
        end_ = buffer_ + keep + got;
        return true;
    }

    const char *p_ = nullptr, *scan_ = nullptr, *end_ = nullptr;
    DumpRead read_ = nullptr;
    void *context_ = nullptr;
    char *buffer_ = nullptr;
    size_t size_ = 0;
    bool atEnd_ = true;
    bool failed_ = false;
};

// The value of each byte as a hex digit, or -1.
struct HexDigits {
    signed char value[256];
};

constexpr HexDigits MakeHexDigits()
{
    HexDigits d{};
    for (int c = 0; c < 256; ++c)
        d.value[c] = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    return d;
}

constexpr HexDigits kHexDigits = MakeHexDigits();

inline int HexDigit(char c)
{
    return kHexDigits.value[(unsigned char)c];
}

// The bytes a run of plain text ends at, by the terminator of the string: every byte
// that is not printable ASCII needs a closer look.
struct Stops {
    bool at[256];
};

constexpr Stops MakeStops(char close)
{
    Stops s{};
    for (int c = 0; c < 256; ++c)
        s.at[c] = c == (unsigned char)close || c == '\\' || c < 0x20 || c >= 0x80;
    return s;
}

constexpr Stops kKeyStops = MakeStops(']');
constexpr Stops kStringStops = MakeStops('"');

// Copies the plain run at p (printable ASCII up to the terminator `close` or a
// backslash) to w as units, sixteen bytes at a time. Sixteen units are stored each
// time whatever the run's length: the caller has room for a unit a byte left.
inline void CopyPlain(const char *&p, const char *end, char16_t *&w, char close, const Stops &stops)
{
    const __m128i terminator = _mm_set1_epi8(close), backslash = _mm_set1_epi8('\\'), space = _mm_set1_epi8(' ');
    const __m128i zero = _mm_setzero_si128();
    while (end - p >= 16) {
        __m128i v = _mm_loadu_si128((const __m128i *)p);
        // Signed, so that bytes from 0x80 up count as below the space.
        __m128i stop = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, terminator), _mm_cmpeq_epi8(v, backslash)),
                                    _mm_cmplt_epi8(v, space));
        _mm_storeu_si128((__m128i *)w, _mm_unpacklo_epi8(v, zero));
        _mm_storeu_si128((__m128i *)(w + 8), _mm_unpackhi_epi8(v, zero));
        int mask = _mm_movemask_epi8(stop);
        if (mask) {
            int n = __builtin_ctz(mask);
            p += n;
            w += n;
            return;
        }
        p += 16;
        w += 16;
    }
    while (p < end && !stops.at[(unsigned char)*p])
        *w++ = (unsigned char)*p++;
}

// Decodes one character of an escaped string of the dump at p, which is not plain
// ASCII: an escape (\a \b \e \f \n \r \t \v, \x with up to four hex digits, octal with
// up to three digits, and a backslash before any other character for that character),
// UTF-8 for characters above 127, or a control character as it stands. Writes one
// unit, or two for a surrogate pair, to u and returns the position after it; NULL for a
// backslash that ends the line.
inline const char *DecodeOne(const char *p, const char *end, char16_t *u, int *units)
{
    unsigned char c = (unsigned char)*p++;
    *units = 1;
    if (c == '\\') {
        if (p >= end)
            return nullptr;
        char e = *p++;
        int v;
        switch (e) {
        case 'a': *u = u'\a'; return p;
        case 'b': *u = u'\b'; return p;
        case 'e': *u = (char16_t)27; return p;
        case 'f': *u = u'\f'; return p;
        case 'n': *u = u'\n'; return p;
        case 'r': *u = u'\r'; return p;
        case 't': *u = u'\t'; return p;
        case 'v': *u = u'\v'; return p;
        case 'x':
            if (p >= end || HexDigit(*p) < 0) {
                *u = u'x';
                return p;
            }
            v = 0;
            for (int i = 0; i < 4 && p < end && HexDigit(*p) >= 0; ++i)
                v = v * 16 + HexDigit(*p++);
            *u = (char16_t)v;
            return p;
        default:
            if (e >= '0' && e <= '7') {
                v = e - '0';
                for (int i = 0; i < 2 && p < end && *p >= '0' && *p <= '7'; ++i)
                    v = v * 8 + (*p++ - '0');
                *u = (char16_t)v;
                return p;
            }
            *u = (char16_t)(unsigned char)e;
            return p;
        }
    }
    if (c < 0x80) {
        *u = c;
        return p;
    }
    // UTF-8: two to four bytes; a four-byte sequence becomes a surrogate pair.
    int more = c >= 0xf0 ? 3 : c >= 0xe0 ? 2 : 1;
    unsigned cp = c & (0x3f >> more);
    for (int i = 0; i < more && p < end; ++i)
        cp = (cp << 6) | ((unsigned char)*p++ & 0x3f);
    if (cp >= 0x10000) {
        cp -= 0x10000;
        u[0] = (char16_t)(0xd800 | (cp >> 10));
        u[1] = (char16_t)(0xdc00 | (cp & 0x3ff));
        *units = 2;
    } else {
        *u = (char16_t)cp;
    }
    return p;
}

// Decodes an escaped string of the dump up to the unescaped terminator `close` into
// out, handing each decoded unit that was not plain ASCII to onUnit. Returns the
// position after the terminator, or NULL when the string does not end on this line.
template <class OnUnit>
const char *Decode(const char *p, const char *end, char close, const Stops &stops, WideBuffer *out, OnUnit onUnit)
{
    // No character takes fewer bytes than units.
    if (!out->Reserve(end - p))
        return nullptr;
    char16_t *w = out->data + out->len;
    for (;;) {
        CopyPlain(p, end, w, close, stops);
        if (p >= end || *p == close)
            break;
        int units;
        p = DecodeOne(p, end, w, &units);
        if (!p)
            break;
        for (int i = 0; i < units; ++i)
            onUnit(w[i]);
        w += units;
    }
    out->len = w - out->data;
    return p && p < end ? p + 1 : nullptr;
}

const char *Unescape(const char *p, const char *end, WideBuffer *out)
{
    return Decode(p, end, '"', kStringStops, out, [](char16_t) {});
}

// Reads "hex:" data: comma-separated byte pairs, continued on the next line after a
// trailing backslash.
bool ReadHex(Reader *r, const char *p, const char *end, uint8_t **bytes, size_t *count, size_t *cap)
{
    for (;;) {
        // Most of it is "xx," after "xx,": read so while it lasts.
        while (end - p >= 3 && p[2] == ',' && *count < *cap) {
            int hi = HexDigit(p[0]), lo = HexDigit(p[1]);
            if (hi < 0 || lo < 0)
                break;
            (*bytes)[(*count)++] = (uint8_t)(hi * 16 + lo);
            p += 3;
        }
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
            uint8_t *nb = (uint8_t *)TextResize(*bytes, want);
            if (!nb)
                return false;
            *bytes = nb;
            *cap = want;
        }
        (*bytes)[(*count)++] = (uint8_t)(hi * 16 + lo);
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

const char16_t kHex[] = u"0123456789abcdef";

// Writes one unit of a quoted name or string at w, escaped as the saved registry
// escapes it (savedreg.h).
inline char16_t *PutQuoted(char16_t *w, char16_t c)
{
    char16_t letter = SavedEscapeLetter(c);
    if (letter)
        *w++ = u'\\', *w++ = letter;
    else
        *w++ = c;
    return w;
}

// Copies the escaped string of the dump at p, up to its closing quote, into out as a
// quoted string of regedit's syntax, in one pass: plain ASCII reads the same in both.
// Each decoded character must pass `accept`; the copy stops at the first that does not
// (*refused is then set) and returns NULL, as it does for a string that does not end on
// this line. The caller has made room for two units a byte and the quotes.
template <class Accept>
const char *Requote(const char *p, const char *end, WideBuffer *out, Accept accept, bool *refused)
{
    char16_t *w = out->data + out->len;
    *w++ = u'"';
    for (;;) {
        CopyPlain(p, end, w, '"', kStringStops);
        if (p >= end || *p == '"')
            break;
        char16_t u[2];
        int units;
        p = DecodeOne(p, end, u, &units);
        if (!p)
            break;
        for (int i = 0; i < units; ++i) {
            if (!accept(u[i])) {
                *refused = true;
                return nullptr;
            }
            w = PutQuoted(w, u[i]);
        }
    }
    if (!p || p >= end)
        return nullptr;
    *w++ = u'"';
    out->len = w - out->data;
    return p + 1;
}

// The number of units the quoted text Q of N units stands for.
size_t QuotedLength(const char16_t *q, size_t n)
{
    size_t units = 0;
    for (size_t i = 0; i < n; ++i, ++units)
        i += q[i] == u'\\';
    return units;
}

// The room a value's data takes as hex bytes: three units a byte, and a continuation
// (five units) at most every 25 bytes, the first one perhaps after the first byte.
size_t HexRoom(size_t size)
{
    return size * 3 + (size / 24 + 2) * 5 + 4;
}

// Writes the data of a value as hex bytes, "hex:" or "hex(TYPE):" first, in lines of at
// most 80 characters continued with a backslash, as regedit writes them. COLUMN is
// where the data starts on its line.
void AppendHex(WideBuffer *out, size_t column, uint32_t type, const uint8_t *data, size_t size)
{
    if (!out->Reserve(16 + HexRoom(size)))
        return;
    char16_t *w = out->data + out->len, *start = w;
    *w++ = u'h', *w++ = u'e', *w++ = u'x';
    if (type != kSavedBinary) {
        *w++ = u'(';
        int shift = 28;
        while (shift > 0 && !((type >> shift) & 15))
            shift -= 4;
        for (; shift >= 0; shift -= 4)
            *w++ = kHex[(type >> shift) & 15];
        *w++ = u')';
    }
    *w++ = u':';
    column += w - start;
    for (size_t i = 0; i < size; ++i) {
        *w++ = kHex[data[i] >> 4];
        *w++ = kHex[data[i] & 15];
        column += 2;
        if (i + 1 < size) {
            *w++ = u',';
            if (++column > 76) {
                *w++ = u'\\', *w++ = u'\r', *w++ = u'\n', *w++ = u' ', *w++ = u' ';
                column = 2;
            }
        }
    }
    *w++ = u'\r', *w++ = u'\n';
    out->len = w - out->data;
}

// One root's dump, converted line by line.
class Converter {
public:
    Converter(Reader *reader, const char16_t *rootName, WideBuffer *out)
        : r_(reader), root_(rootName), rootLen_(0), out_(out)
    {
        while (root_[rootLen_])
            ++rootLen_;
    }
    ~Converter()
    {
        if (bytes_)
            TextFree(bytes_);
    }

    bool Run()
    {
        static const char kHeader[] = "WINE REGISTRY Version 2";
        const char *line;
        size_t n;
        if (!r_->Line(&line, &n) || n != sizeof(kHeader) - 1 || memcmp(line, kHeader, n))
            return false;
        bool ok = true;
        while (ok && r_->Line(&line, &n)) {
            if (n == 0 || line[0] == ';')
                continue;
            if (line[0] == '[')
                ok = Key(line, line + n);
            else if (line[0] == '#')
                Directive(line, n);
            else if (line[0] == '"' || line[0] == '@')
                ok = Value(line, line + n);
            else
                ok = false;
        }
        FlushKey();
        return ok && !r_->failed() && !key_.failed && !prev_.failed && !written_.failed && !str_.failed &&
               !out_->failed;
    }

private:
    // A key's header: its full name on a line of its own after a blank line. Marks the
    // key DEPTH names deep on the current path as written.
    void WriteHeader(size_t pathLen, size_t depth)
    {
        if (!out_->Reserve(rootLen_ + pathLen + 8))
            return;
        char16_t *w = out_->data + out_->len;
        *w++ = u'\r', *w++ = u'\n', *w++ = u'[';
        memcpy(w, root_, rootLen_ * sizeof(char16_t));
        w += rootLen_;
        if (pathLen) {
            *w++ = u'\\';
            memcpy(w, key_.data, pathLen * sizeof(char16_t));
            w += pathLen;
        }
        *w++ = u']', *w++ = u'\r', *w++ = u'\n';
        out_->len = w - out_->data;
        if (depth < written_.len)
            written_.data[depth] = 1;
    }

    // A key's header is written once its section is known not to be a link.
    void FlushKey()
    {
        if (inKey_ && !skipKey_ && !keyWritten_) {
            WriteHeader(key_.len, keyDepth_);
            keyWritten_ = true;
        }
    }

    // "[path] stamp": a key. Links are left out, but the key holding one stays in the
    // file even when it has no section of its own (no values, only links below it): a
    // cold boot brings a link back only where its parent was saved (the roots always
    // are). written_.data[d] says whether the key d names deep on the current key's
    // path has its header written.
    bool Key(const char *line, const char *end)
    {
        FlushKey();
        // The previous key's path stays in prev_ for the comparison.
        key_.Swap(&prev_);
        key_.len = 0;
        // Names are separated by (escaped) backslashes. A path the saved registry cannot
        // carry, or that no registry holds, is refused (savedreg.h).
        size_t separators = 0;
        const char *after =
            Decode(line + 1, end, ']', kKeyStops, &key_, [&](char16_t c) { separators += c == u'\\'; });
        bool ok = after != nullptr && SavedKeyPathFault(key_.data, key_.len) == NameFault::None;
        // The number of leading names this key shares with the previous one, whose
        // marks stay: the separators before their first difference, and one more where
        // both end a name there.
        size_t common = 0;
        if (prev_.len && key_.len) {
            const char16_t *a = prev_.data, *b = key_.data;
            size_t an = prev_.len, bn = key_.len, n = an < bn ? an : bn, i = 0;
            const __m128i separator = _mm_set1_epi16(u'\\');
            while (n - i >= 8) {
                __m128i va = _mm_loadu_si128((const __m128i *)(a + i));
                int same = _mm_movemask_epi8(_mm_cmpeq_epi16(va, _mm_loadu_si128((const __m128i *)(b + i))));
                int seps = _mm_movemask_epi8(_mm_cmpeq_epi16(va, separator));
                if (same != 0xffff) {
                    int equal = __builtin_ctz(~same) / 2;
                    common += __builtin_popcount(seps & ((1 << (2 * equal)) - 1)) / 2;
                    i += equal;
                    break;
                }
                common += __builtin_popcount(seps) / 2;
                i += 8;
            }
            if (n - i < 8) {
                for (; i < n && a[i] == b[i]; ++i)
                    common += a[i] == u'\\';
            }
            common += (i == an || a[i] == u'\\') && (i == bn || b[i] == u'\\');
        }
        keyDepth_ = key_.len ? separators + 1 : 0;
        if (written_.len > common + 1)
            written_.len = common + 1;
        while (written_.len <= keyDepth_ && !written_.failed)
            written_.Append((char16_t)0);
        inKey_ = true;
        skipKey_ = keyWritten_ = false;
        return ok && !written_.failed && !key_.failed;
    }

    // "#link" makes the current key a link; other directives (#time, #class) carry
    // nothing a registry file keeps.
    void Directive(const char *line, size_t n)
    {
        if (n != 5 || memcmp(line, "#link", 5))
            return;
        skipKey_ = true;
        if (keyDepth_ > 1 && !written_.data[keyDepth_ - 1]) {
            size_t parentLen = key_.len;
            while (parentLen && key_.data[parentLen - 1] != u'\\')
                --parentLen;
            WriteHeader(parentLen - 1, keyDepth_ - 1);
        }
    }

    // "name"=data or @=data. The value is written as it is read; a value of a key that
    // is left out is read and checked all the same, and taken back.
    bool Value(const char *line, const char *end)
    {
        bool keep = inKey_ && !skipKey_;
        if (keep)
            FlushKey();
        // Room for the line: its name and a string each take at most two units a byte.
        if (!out_->Reserve(2 * (end - line) + 32))
            return false;
        size_t start = out_->len;
        const char *p = Name(line, end);
        if (!p)
            return false;
        out_->data[out_->len++] = u'=';
        bool ok;
        if (p < end && *p == '"')
            ok = PlainString(p, end, start, keep);
        else if (end - p > 4 && !memcmp(p, "str(", 4))
            ok = TypedString(p, end, start, keep);
        else if (end - p >= 6 && !memcmp(p, "dword:", 6))
            ok = Dword(p + 6, end);
        else if (end - p >= 4 && !memcmp(p, "hex", 3))
            ok = Hex(p + 3, end, start, keep);
        else
            ok = false;
        if (!keep)
            out_->len = start;
        return ok;
    }

    // The value's name, quoted, or @ for the default value; returns the position of
    // its '=', or NULL.
    const char *Name(const char *line, const char *end)
    {
        const char *p;
        if (line[0] == '@') {
            out_->data[out_->len++] = u'@';
            p = line + 1;
        } else {
            bool refused = false;
            size_t start = out_->len;
            p = Requote(line + 1, end, out_, SavedValueNameUnit, &refused);
            size_t written = p ? out_->len - start - 2 : 0;
            if (p && written == 0) {
                // An empty name is the default value's.
                out_->len = start;
                out_->data[out_->len++] = u'@';
            } else if (written > kMaxValueNameLength &&
                       QuotedLength(out_->data + start + 1, written) > kMaxValueNameLength) {
                // Over the registry's limit: counted as written first, each escape
                // counting twice, and exactly only when that is over it.
                return nullptr;
            }
        }
        return p && p < end && *p == '=' ? p + 1 : nullptr;
    }

    // The quoted string at p, unescaped into str_ with its terminator.
    bool UnescapeString(const char *p, const char *end)
    {
        str_.len = 0;
        if (!Unescape(p, end, &str_))
            return false;
        str_.Append(u'\0');
        return !str_.failed;
    }

    // A REG_SZ: as a quoted string when it can be one, otherwise as hex(1).
    bool PlainString(const char *p, const char *end, size_t start, bool keep)
    {
        bool refused = false;
        size_t dataStart = out_->len;
        const char *after = Requote(p + 1, end, out_, SavedAsText, &refused);
        if (after) {
            out_->data[out_->len++] = u'\r';
            out_->data[out_->len++] = u'\n';
            return true;
        }
        if (!refused)
            return false;
        out_->len = dataStart;
        if (!UnescapeString(p + 1, end))
            return false;
        if (keep)
            AppendHex(out_, dataStart - start, kSavedString, (const uint8_t *)str_.data, str_.len * 2);
        return true;
    }

    // str(TYPE):"..." (REG_EXPAND_SZ, REG_MULTI_SZ): hex of the string and its terminator.
    bool TypedString(const char *p, const char *end, size_t start, bool keep)
    {
        uint32_t type = 0;
        for (p += 4; p < end && HexDigit(*p) >= 0; ++p)
            type = type * 16 + HexDigit(*p);
        if (end - p < 3 || p[0] != ')' || p[1] != ':' || p[2] != '"')
            return false;
        if (!UnescapeString(p + 3, end))
            return false;
        if (!keep)
            return true;
        // str(1) is a REG_SZ all the same.
        bool plain = type == kSavedString;
        for (size_t i = 0; plain && i + 1 < str_.len; ++i)
            plain = SavedAsText(str_.data[i]);
        if (!plain) {
            AppendHex(out_, out_->len - start, type, (const uint8_t *)str_.data, str_.len * 2);
        } else if (out_->Reserve(2 * str_.len + 4)) {
            char16_t *w = out_->data + out_->len;
            *w++ = u'"';
            for (size_t i = 0; i + 1 < str_.len; ++i)
                w = PutQuoted(w, str_.data[i]);
            *w++ = u'"', *w++ = u'\r', *w++ = u'\n';
            out_->len = w - out_->data;
        }
        return true;
    }

    bool Dword(const char *p, const char *end)
    {
        uint32_t v = 0;
        int digits = 0;
        for (; p < end && HexDigit(*p) >= 0; ++p, ++digits)
            v = v * 16 + HexDigit(*p);
        if (digits == 0 || digits > 8 || p != end)
            return false;
        char16_t *w = out_->data + out_->len;
        static const char16_t kDword[] = u"dword:";
        memcpy(w, kDword, 6 * sizeof(char16_t));
        w += 6;
        for (int i = 0; i < 8; ++i)
            *w++ = kHex[(v >> (28 - 4 * i)) & 15];
        *w++ = u'\r', *w++ = u'\n';
        out_->len = w - out_->data;
        return true;
    }

    // hex:... or hex(TYPE):..., perhaps continued on the lines after.
    bool Hex(const char *p, const char *end, size_t start, bool keep)
    {
        uint32_t type = kSavedBinary;
        if (*p == '(') {
            type = 0;
            for (++p; p < end && HexDigit(*p) >= 0; ++p)
                type = type * 16 + HexDigit(*p);
            if (p >= end || *p != ')')
                return false;
            ++p;
        }
        count_ = 0;
        size_t column = out_->len - start;
        if (p >= end || *p != ':' || !ReadHex(r_, p + 1, end, &bytes_, &count_, &capacity_))
            return false;
        // The data may have taken more lines; the name stays where it was written.
        if (keep)
            AppendHex(out_, column, type, bytes_, count_);
        return true;
    }

    Reader *r_;
    const char16_t *root_;
    size_t rootLen_;
    WideBuffer *out_;
    WideBuffer key_, prev_, written_, str_;
    uint8_t *bytes_ = nullptr;
    size_t count_ = 0, capacity_ = 0;
    bool inKey_ = false, skipKey_ = false, keyWritten_ = false;
    size_t keyDepth_ = 0;
};

}  // namespace

bool ConvertWineDump(const char *dump, size_t size, const char16_t *rootName, WideBuffer *out)
{
    // The text grows to about twice the dump's size in bytes; reserving it up front
    // saves the copies of repeated growth.
    if (!out->drain)
        out->Reserve(size * 2);
    Reader reader(dump, size);
    return Converter(&reader, rootName, out).Run();
}

bool ConvertWineDumpFrom(DumpRead read, void *context, const char16_t *rootName, WideBuffer *out)
{
    Reader reader(read, context);
    return Converter(&reader, rootName, out).Run();
}

bool DecodeWineKeyPath(const char *p, const char *end, WideBuffer *out)
{
    return Decode(p, end, ']', kKeyStops, out, [](char16_t) {}) != nullptr;
}
