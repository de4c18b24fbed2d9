// The saved registry's reader: what it refuses and by which line, what it hands over,
// what it makes of what the writer writes, and the checks that come before a file is
// read whole (its head, its size, where it is and what it is).
#include "devicefile.h"
#include "hivetext.h"
#include "savedfile.h"
#include "winedump.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Everything the reader hands over, as text: "K root path" and "V name type hexbytes".
class Recorder : public SavedSink {
public:
    std::vector<std::string> events;

    void Key(Root root, std::u16string_view path) override
    {
        events.push_back(std::string("K ") + (root == Root::Machine ? "HKLM " : "HKCU ") + Hex(path));
    }
    void Value(std::u16string_view name, uint32_t type, std::string_view data) override
    {
        std::string bytes;
        for (unsigned char b : data) {
            char buf[4];
            snprintf(buf, sizeof(buf), "%02x", b);
            bytes += buf;
        }
        events.push_back("V " + Hex(name) + " " + std::to_string(type) + " " + bytes);
    }

    // ASCII as it is, every other unit as {U+XXXX}.
    static std::string Hex(std::u16string_view s)
    {
        std::string out;
        for (char16_t c : s) {
            if (c >= 0x20 && c < 0x7f) {
                out += static_cast<char>(c);
            } else {
                char buf[12];
                snprintf(buf, sizeof(buf), "{U+%04X}", static_cast<unsigned>(c));
                out += buf;
            }
        }
        return out;
    }
};

struct Result {
    bool ok;
    std::string error;
    SavedCounts counts;
};

Result Read(const std::string &bytes, Recorder *recorder = nullptr)
{
    Recorder local;
    Result r;
    r.ok = ReadSavedRegistry(bytes, recorder ? recorder : &local, &r.counts, &r.error);
    return r;
}

// Splits "a^b^c" into lines.
std::vector<std::string> Lines(const std::string &joined)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t end = joined.find('^', start);
        out.push_back(joined.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return out;
        start = end + 1;
    }
}

const std::string kEndLine = kEnd;
// The limits count UTF-16 units: a character beyond the first plane is two.
const std::string kWideKey256 = Repeat("\xf0\x9f\x98\x80", 128);
const std::string kWideValue16384 = Repeat("\xf0\xa0\x80\x80", 8192);
const std::string kKey257 = Repeat("k", 257);
const std::string kValue16384 = Repeat("v", 16384);

TEST(SavedRegistryReader, RefusesEachDamageByItsLine)
{
    struct Case {
        std::string lines;  // after the header, joined by ^
        const char *error;  // how the report starts
    } cases[] = {
        // Names no registry holds.
        {"[HKEY_LOCAL_MACHINE\\Comm]^\"Boot{U+0000}Count\"=dword:00000001^" + kEndLine, "line 3: a value name holds a NUL"},
        {"[HKEY_LOCAL_MACHINE\\Soft{U+0000}ware]^" + kEndLine, "line 2: a key name holds a NUL"},
        {"[HKEY_LOCAL_MACHINE\\Software\\\\Empty]^" + kEndLine, "line 2: a key path has an empty name"},
        {"[HKEY_LOCAL_MACHINE\\Software\\]^" + kEndLine, "line 2: a key path has an empty name"},
        {"[HKEY_CURRENT_USER\\" + kWideKey256 + "k]^" + kEndLine, "line 2: a key name is longer than 256 characters"},
        {"[HKEY_LOCAL_MACHINE\\Software\\" + kKey257 + "]^" + kEndLine,
         "line 2: a key name is longer than 256 characters"},
        {"[HKEY_CURRENT_USER\\Software]^\"" + kWideValue16384 + "\"=dword:00000001^" + kEndLine,
         "line 3: a value name is longer than 16383"},
        {"[HKEY_LOCAL_MACHINE\\Comm]^\"" + kValue16384 + "\"=dword:00000001^" + kEndLine,
         "line 3: a value name is longer than 16383"},
        // Lines counted through characters whose UTF-16 units hold the byte of a line
        // break (U+010A, U+0A2A, U+0D0A, a low surrogate U+DC0A).
        {"[HKEY_CURRENT_USER\\Software\\ਪ一Ċ]^\"ഊ{U+D800}{U+DC0A}\"=\"ਪ一\"^\"x\"=\"a\\qb\"^" + kEndLine,
         "line 4: a string has an escape other than"},
        {"[HKEY_LOCAL_MACHINE\\Comm]^\"BootCount\"=dword:1^\"x\"=\"a\\qb\"^" + kEndLine,
         "line 4: a string has an escape other than"},
        {"\"x\"=dword:00000001^[HKEY_LOCAL_MACHINE\\Comm]^" + kEndLine, "line 2: a value comes before any key"},
        {"[HKEY_LOCAL_MACHINE\\Comm]^\"BootCount\"=dword:000000007^" + kEndLine,
         "line 3: a dword value is not 1 to 8 hex digits"},
        {"[HKEY_LOCAL_MACHINE\\Comm]^\"BootCount\"=dword:^" + kEndLine, "line 3: a dword value is not 1 to 8 hex digits"},
        {"[HKEY_LOCAL_MACHINE\\Comm]^\"BootCount\"=dword:0000000g^" + kEndLine,
         "line 3: a dword value is not 1 to 8 hex digits"},
        // Cut short, edited, or more than the two saved roots.
        {"[HKEY_LOCAL_MACHINE\\Comm]^\"BootCount\"=dword:00000007", "line 3: it ends before its end mark"},
        {"[-HKEY_LOCAL_MACHINE]^" + kEndLine, "line 2: a deletion line"},
        {"[HKEY_LOCAL_MACHINE\\Comm]^\"BootCount\"=-^" + kEndLine, "line 3: a deletion line"},
        {"[HKEY_CLASSES_ROOT\\.txt]^@=\"txtfile\"^" + kEndLine,
         "line 2: a key outside HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER"},
        {"[HKEY_USERS\\.DEFAULT\\Software]^" + kEndLine, "line 2: a key outside"},
        {"[HKEY_LOCAL_MACHINE\\Comm^" + kEndLine, "line 2: a key line does not end with ]"},
        {"[HKEY_LOCAL_MACHINE\\Comm]^\"BootCount\"=hex(4):07,00,\\^^" + kEndLine, "line 4: hex data ends with a comma"},
        {"[HKEY_LOCAL_MACHINE\\Comm]^\"x\"=hex:07,0^" + kEndLine, "line 3: hex data has a byte that is not two"},
        {"[HKEY_LOCAL_MACHINE\\Comm]^\"x\"=hex:07 08^" + kEndLine, "line 3: hex data has bytes not separated"},
        {"[HKEY_LOCAL_MACHINE\\Comm]^\"x\"=hex(1g):00^" + kEndLine, "line 3: a hex(type) has no valid type"},
        {"[HKEY_LOCAL_MACHINE\\Comm]^\"x\"=hex:01,\\", "line 3: hex data continues past the end of the file"},
        {"[HKEY_LOCAL_MACHINE\\Comm]^\"x\"=\"open^" + kEndLine, "line 3: a string has no closing quote"},
        {"[HKEY_LOCAL_MACHINE\\Comm]^\"x\"=\"a\"b^" + kEndLine, "line 3: a string value has more after"},
        {"[HKEY_LOCAL_MACHINE\\Comm]^\"x\"=qword:1^" + kEndLine, "line 3: a value's data is not a string, dword or hex"},
        {"[HKEY_LOCAL_MACHINE\\Comm]^\"x\" =dword:1^" + kEndLine, "line 3: a value name is not followed by ="},
        {"[HKEY_LOCAL_MACHINE\\Comm]^garbage^" + kEndLine, "line 3: a line is neither a key, a value nor a comment"},
        {"[HKEY_LOCAL_MACHINE\\Comm]^" + kEndLine + "^[HKEY_LOCAL_MACHINE\\Extra]", "line 4: there is more after its end mark"},
    };
    for (const Case &c : cases) {
        Result r = Read(HiveWithHead(Lines(c.lines)));
        EXPECT_FALSE(r.ok) << c.lines.substr(0, 80);
        EXPECT_EQ(r.error.compare(0, strlen(c.error), c.error), 0)
            << "[" << c.lines.substr(0, 80) << "] gave '" << r.error << "', expected '" << c.error << "...'";
    }
}

TEST(SavedRegistryReader, RefusesWhatIsNoRegistryFileByItsStart)
{
    EXPECT_EQ(Read("").error, "it is not UTF-16 text with a byte-order mark");
    EXPECT_EQ(Read("Windows Registry Editor Version 5.00\r\n").error, "it is not UTF-16 text with a byte-order mark");
    EXPECT_EQ(Read(HiveWithHead({kEnd}) + "x").error, "it is not UTF-16 text with a byte-order mark");
    EXPECT_EQ(Read(Hive({"REGEDIT4", kEnd})).error,
              "line 1: it does not start with \"Windows Registry Editor Version 5.00\"");
    EXPECT_EQ(Read(Hive({std::string(kHead) + " ", kEnd})).error.substr(0, 7), "line 1:");
    EXPECT_EQ(Read("\xff\xfe").error.substr(0, 7), "line 1:");
}

TEST(SavedRegistryReader, TakesNamesUpToTheRegistrysLimits)
{
    // 256 units of key name and 16383 of value name, in characters of either plane.
    Result r = Read(HiveWithHead({"[HKEY_LOCAL_MACHINE\\Software\\" + kKey257.substr(1) + "]",
                                  "\"" + kValue16384.substr(1) + "\"=dword:0000002a",
                                  "[HKEY_CURRENT_USER\\" + kWideKey256 + "]",
                                  "\"" + kWideValue16384.substr(0, kWideValue16384.size() - 4) + "v\"=\"wide\"",
                                  "[HKEY_CURRENT_USER\\ControlPanel\\QM410Key]", kEnd}));
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.counts.keys, 3u);
    EXPECT_EQ(r.counts.values, 2u);
}

TEST(SavedRegistryReader, HandsOverKeysAndValuesExactly)
{
    Recorder rec;
    Result r = Read(HiveWithHead({"", "; a comment", "[HKEY_LOCAL_MACHINE]", "@=\"root\"",
                                  "[hkey_current_user\\Software\\A b]", "\"q\\\"uote\"=\"back\\\\slash\\nline\\rret\"",
                                  "\"\"=dword:0000002A", "\"bin\"=hex:01,ff,\\", "  80 , 7f", "\"multi\"=hex(7):61,00,00,\\",
                                  "  00,00,00", "\"none\"=hex(0):", "@=\"caf\xc3\xa9 {U+D800}\"", "   ", kEnd, "", "  "}),
                    &rec);
    ASSERT_TRUE(r.ok) << r.error;
    std::vector<std::string> expected = {
        "K HKLM ",
        "V  1 72006f006f0074000000",
        "K HKCU Software\\A b",
        "V q\"uote 1 6200610063006b005c0073006c006100730068000a006c0069006e0065000d007200650074000000",
        "V  4 2a000000",
        "V bin 3 01ff807f",
        "V multi 7 610000000000",
        "V none 0 ",
        "V  1 63006100660000002000" "00d80000",
    };
    // The accented e is one unit, U+00E9.
    expected.back() = "V  1 630061006600e900200000d80000";
    EXPECT_EQ(rec.events, expected);
    EXPECT_EQ(r.counts.keys, 2u);
    EXPECT_EQ(r.counts.values, 7u);
}

TEST(SavedRegistryReader, TakesLineFeedsAloneAndAnyAlignment)
{
    // Lines ended by LF alone, as an editor may save them.
    std::u16string text = Units(std::string(kHead) + "\n[HKEY_LOCAL_MACHINE\\X]\n\"v\"=dword:1\n" + kEnd + "\n");
    std::string bytes = "\xff\xfe" + Bytes(text);
    Result r = Read(bytes);
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.counts.values, 1u);
    // The same bytes at an odd address read the same.
    std::string shifted = "x" + bytes;
    SavedCounts counts;
    std::string error;
    Recorder rec;
    EXPECT_TRUE(ReadSavedRegistry(std::string_view(shifted).substr(1), &rec, &counts, &error)) << error;
    EXPECT_EQ(counts.values, 1u);
}

// The checks made before a file is read whole, from its first bytes and its size.
TEST(SavedRegistryHead, AgreesWithTheReaderOnTheStartAndRefusesWhatIsTooLarge)
{
    std::string whole = HiveWithHead({"[HKEY_LOCAL_MACHINE\\X]", kEnd});
    std::string error;
    EXPECT_TRUE(CheckSavedHead(whole.substr(0, kSavedHeadSize), whole.size(), &error)) << error;
    // Files that end right after the header, with or without its line break.
    for (std::string tail : {"", "\r", "\n", "\r\n"}) {
        std::string file = "\xff\xfe" + Bytes(Units(kHead + tail));
        EXPECT_TRUE(CheckSavedHead(file.substr(0, kSavedHeadSize), file.size(), &error)) << error;
    }
    struct {
        std::string head;
        uint64_t size;
        const char *error;
    } bad[] = {
        {"", 0, "it is not UTF-16 text with a byte-order mark"},
        {"\xfe\xff" + whole.substr(2, kSavedHeadSize - 2), whole.size(), "it is not UTF-16 text with a byte-order mark"},
        {whole.substr(0, kSavedHeadSize), whole.size() + 1, "it is not UTF-16 text with a byte-order mark"},
        {"\xff\xfe" + Bytes(Units("Windows Registry Editor Version 4.00\r\n")), 1000, "line 1: it does not start with"},
        {"\xff\xfe" + Bytes(Units(kHead + std::string("\rX"))), 1000, "line 1: it does not start with"},
        {"\xff\xfe" + Bytes(Units(kHead + std::string(" \r\n"))), 1000, "line 1: it does not start with"},
        {"\xff\xfe" + Bytes(Units("Windows")), 16, "line 1: it does not start with"},
        // A sparse file of 100 GB with the right start, and one just over the limit.
        {whole.substr(0, kSavedHeadSize), 100ull << 30, "is too large: 107374182400 bytes, over the 256 MiB"},
        {whole.substr(0, kSavedHeadSize), kMaxSavedSize + 2, "is too large: 268435458 bytes"},
    };
    for (const auto &b : bad) {
        error.clear();
        EXPECT_FALSE(CheckSavedHead(b.head, b.size, &error)) << b.error;
        EXPECT_EQ(error.compare(0, strlen(b.error), b.error), 0) << "'" << error << "', expected '" << b.error << "'";
    }
    EXPECT_TRUE(CheckSavedHead(whole.substr(0, kSavedHeadSize), kMaxSavedSize, &error)) << error;
}

// ---------------------------------------------------------------------------
// What the persistence writes, read back: the core library's converter (winedump.cpp,
// built for the host) writes, the reader reads, and every key, name and byte of data
// comes back as it was in the registry. Where a name is one no registry holds or no
// saved registry carries, both refuse it.

// A UTF-16 name or text as the Wine server's dump writes it: printable ASCII as it is
// (a backslash and CLOSE escaped), control characters and surrogates as four-digit \x
// escapes, anything else as UTF-8.
std::string WineEscaped(std::u16string_view s, char close)
{
    std::string out;
    for (char16_t c : s) {
        if (c >= 0x20 && c < 0x7f) {
            if (c == '\\' || c == close)
                out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x80 || (c >= 0xd800 && c < 0xe000)) {
            char buf[8];
            snprintf(buf, sizeof(buf), "\\x%04x", static_cast<unsigned>(c));
            out += buf;
        } else if (c < 0x800) {
            out += static_cast<char>(0xc0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3f));
        } else {
            out += static_cast<char>(0xe0 | c >> 12);
            out += static_cast<char>(0x80 | (c >> 6 & 0x3f));
            out += static_cast<char>(0x80 | (c & 0x3f));
        }
    }
    return out;
}

std::string LittleEndian(const std::u16string &s)
{
    return std::string(reinterpret_cast<const char *>(s.data()), 2 * s.size());
}

// A value as the dump holds it (FORM, after its '=') and as the saved registry must
// give it back (TYPE, DATA).
struct DumpValue {
    std::u16string name;
    bool isDefault;  // written @= rather than by its (empty) name
    std::string form;
    uint32_t type;
    std::string data;
};

DumpValue TextValue(const std::u16string &name, const std::u16string &text)
{
    return {name, false, "\"" + WineEscaped(text, '"') + "\"", kSavedString, LittleEndian(text + u'\0')};
}

DumpValue TypedValue(const std::u16string &name, uint32_t type, const std::u16string &text)
{
    char prefix[16];
    snprintf(prefix, sizeof(prefix), "str(%x):\"", type);
    return {name, false, prefix + WineEscaped(text, '"') + "\"", type, LittleEndian(text + u'\0')};
}

DumpValue DwordValue(const std::u16string &name, uint32_t v)
{
    char form[16];
    snprintf(form, sizeof(form), "dword:%08x", v);
    return {name, false, form, kSavedDword, std::string(reinterpret_cast<const char *>(&v), 4)};
}

// Bytes as the dump writes them: 25 to a line, continued with a backslash.
DumpValue HexValue(const std::u16string &name, uint32_t type, const std::string &bytes)
{
    char form[32];
    snprintf(form, sizeof(form), type == kSavedBinary ? "hex:" : "hex(%x):", type);
    std::string s = form;
    for (size_t i = 0; i < bytes.size(); ++i) {
        char b[4];
        snprintf(b, sizeof(b), "%02x", static_cast<unsigned char>(bytes[i]));
        s += (i == 0 ? "" : i % 25 ? "," : ",\\\n  ") + std::string(b);
    }
    return {name, false, s, type, bytes};
}

DumpValue DefaultValue(DumpValue v)
{
    v.name.clear();
    v.isDefault = true;
    return v;
}

struct DumpKey {
    std::vector<std::u16string> names;  // below the root
    std::vector<DumpValue> values;
};

std::string WineDump(const std::vector<DumpKey> &keys)
{
    std::string dump = "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n";
    for (const DumpKey &k : keys) {
        std::string path;
        for (const std::u16string &n : k.names)
            path += (path.empty() ? "" : "\\\\") + WineEscaped(n, ']');
        dump += "\n[" + path + "] 1700000000\n#time=1d9\n";
        for (const DumpValue &v : k.values)
            dump += (v.isDefault ? std::string("@") : "\"" + WineEscaped(v.name, '"') + "\"") + "=" + v.form + "\n";
    }
    return dump;
}

// Both roots through the converter, between the head and the tail, as the flush
// assembles them; false when the converter refuses one.
bool WriteSaved(const std::vector<DumpKey> &machine, const std::vector<DumpKey> &user, std::string *bytes)
{
    WideBuffer out;
    out.Append(kSavedHead);
    std::string m = WineDump(machine), u = WineDump(user);
    if (!ConvertWineDump(m.data(), m.size(), SavedRootName(Root::Machine), &out) ||
        !ConvertWineDump(u.data(), u.size(), SavedRootName(Root::User), &out))
        return false;
    out.Append(kSavedTail);
    EXPECT_FALSE(out.failed);
    *bytes = std::string(reinterpret_cast<const char *>(out.data), 2 * out.len);
    return true;
}

// What the reader must hand over for these keys, as the Recorder writes it.
std::vector<std::string> Expected(Root root, const std::vector<DumpKey> &keys)
{
    Recorder r;
    for (const DumpKey &k : keys) {
        std::u16string path;
        for (const std::u16string &n : k.names)
            path += (path.empty() ? u"" : u"\\") + n;
        r.Key(root, path);
        for (const DumpValue &v : k.values)
            r.Value(v.name, v.type, v.data);
    }
    return r.events;
}

// Writes, reads back, and compares what came back with what was written, naming the
// first difference.
void ExpectRoundTrip(const std::vector<DumpKey> &machine, const std::vector<DumpKey> &user)
{
    std::string bytes;
    ASSERT_TRUE(WriteSaved(machine, user, &bytes)) << "the writer refused it";
    Recorder rec;
    Result r = Read(bytes, &rec);
    ASSERT_TRUE(r.ok) << "the reader refused what the writer wrote: " << r.error;
    std::vector<std::string> expected = Expected(Root::Machine, machine), more = Expected(Root::User, user);
    expected.insert(expected.end(), more.begin(), more.end());
    ASSERT_EQ(rec.events.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        if (rec.events[i] != expected[i]) {
            ADD_FAILURE() << "item " << i << " came back as\n  " << rec.events[i].substr(0, 300) << "\nnot\n  "
                          << expected[i].substr(0, 300);
            return;
        }
    }
}

// Every unit from FIRST to LAST that PASSES, in pieces of at most N.
template <class Pass>
std::vector<std::u16string> UnitsInPieces(unsigned first, unsigned last, size_t n, Pass passes)
{
    std::vector<std::u16string> pieces(1);
    for (unsigned c = first; c <= last; ++c) {
        if (!passes(static_cast<char16_t>(c)))
            continue;
        if (pieces.back().size() == n)
            pieces.emplace_back();
        pieces.back() += static_cast<char16_t>(c);
    }
    return pieces;
}

TEST(SavedRegistryRoundTrip, EveryValueTypeComesBackByteForByte)
{
    std::string bytes100;
    for (int i = 0; i < 100; ++i)
        bytes100 += static_cast<char>(i * 37);
    const std::string multi = LittleEndian(u"one") + std::string(2, '\0') + LittleEndian(u"two");
    std::vector<DumpKey> machine = {
        {{u"Software", u"Types"},
         {
             HexValue(u"none", kSavedNone, ""),
             HexValue(u"none bytes", kSavedNone, "\x01\x02"),
             TextValue(u"text", u"plain"),
             TextValue(u"escapes", u"back\\slash \"quoted\" line\nbreak ret\r tab\t"),
             TextValue(u"wide", u"caf\u00e9 \u65e5\u672c \xd83d\xde00 lone \xd800 end"),
             TextValue(u"empty", u""),
             TextValue(u"control", u"esc\x1b bell\x07"),  // no quoted text carries them: hex(1)
             HexValue(u"unterminated", kSavedString, std::string("a\0b", 3)),
             TypedValue(u"str1", kSavedString, u"typed as a string"),
             TypedValue(u"expand", kSavedExpandString, u"%SystemRoot%\\x"),
             HexValue(u"binary empty", kSavedBinary, ""),
             HexValue(u"binary", kSavedBinary, std::string("\x00\xff\x80\x7f", 4)),
             HexValue(u"binary long", kSavedBinary, bytes100),
             DwordValue(u"zero", 0),
             DwordValue(u"all ones", 0xffffffffu),
             HexValue(u"dword short", kSavedDword, "\x01\x02\x03"),
             HexValue(u"big endian", 5, "\x00\x00\x00\x2a"),
             HexValue(u"link", 6, LittleEndian(u"\\Registry\\Machine")),
             TypedValue(u"multi", kSavedMultiString, std::u16string(u"one\0two\0", 8)),
             HexValue(u"multi bytes", kSavedMultiString, multi),
             HexValue(u"resources", 8, "\x01"),
             HexValue(u"qword", 0xb, "\x01\x02\x03\x04\x05\x06\x07\x08"),
             HexValue(u"large type", 0x12345678, "\x09"),
             HexValue(u"largest type", 0xffffffffu, "\x0a"),
             DefaultValue(TextValue(u"", u"the default")),
         }},
        {{u"Software", u"Types", u"Empty"}, {}},
    };
    // An empty name is the default value's, as @ is.
    std::vector<DumpKey> user = {{{u"ControlPanel", u"QM410Key"}, {DwordValue(u"", 1), DefaultValue(DwordValue(u"", 2))}}};
    ExpectRoundTrip(machine, user);
}

TEST(SavedRegistryRoundTrip, EveryUnitOfANameOrTextComesBack)
{
    // Every unit a key name may hold, 256 to a name, each name a key of its own.
    std::vector<DumpKey> keys;
    for (const std::u16string &name :
         UnitsInPieces(1, 0xffff, kMaxKeyNameLength, [](char16_t c) { return c != u'\\' && c != u'\r' && c != u'\n'; }))
        keys.push_back({{u"Units", name}, {}});
    // Every unit a value name may hold, at most 16383 to a name; every unit of a quoted
    // text, and the rest in a text written as hex(1).
    DumpKey values = {{u"Values"}, {}};
    for (const std::u16string &name : UnitsInPieces(1, 0xffff, kMaxValueNameLength, SavedValueNameUnit))
        values.values.push_back(DwordValue(name, static_cast<uint32_t>(name.size())));
    for (const std::u16string &text : UnitsInPieces(1, 0xffff, 0x10000, SavedAsText))
        values.values.push_back(TextValue(u"quoted", text));
    for (const std::u16string &text : UnitsInPieces(1, 0x1f, 0x10000, [](char16_t c) { return !SavedAsText(c); }))
        values.values.push_back(TextValue(u"controls", text));
    keys.push_back(values);
    ExpectRoundTrip(keys, {});
}

TEST(SavedRegistryRoundTrip, NamesAtTheLimitsComeBackAndNoneThatBreaksARuleIsWritten)
{
    const std::u16string pair = u"\xd83d\xde00";  // two units
    std::u16string wideKey, wideValue;
    for (size_t i = 0; i < kMaxKeyNameLength / 2; ++i)
        wideKey += pair;
    for (size_t i = 0; i < kMaxValueNameLength / 2; ++i)
        wideValue += pair;
    wideValue += u'v';
    const std::u16string key(kMaxKeyNameLength, u'k'), value(kMaxValueNameLength, u'v');
    ExpectRoundTrip({{{u"Software", key, wideKey}, {DwordValue(value, 1), TextValue(wideValue, u"wide")}}},
                    {{{wideKey}, {DwordValue(wideValue, 2)}}});

    // One unit more, or a name no registry holds: the writer refuses it, as the reader
    // refuses the line it would have written.
    struct {
        DumpKey key;
        const char *line;   // the line the writer would have written, for the reader
        const char *error;  // how the reader's report starts
    } bad[] = {
        {{{key + u'k'}, {}}, nullptr, "line 2: a key name is longer than 256"},
        {{{wideKey + u'k'}, {}}, nullptr, "line 2: a key name is longer than 256"},
        {{{u"Software", u""}, {}}, "[HKEY_LOCAL_MACHINE\\Software\\\\x]", "line 2: a key path has an empty name"},
        {{{std::u16string(u"Soft\0ware", 9)}, {}}, "[HKEY_LOCAL_MACHINE\\Soft{U+0000}ware]", "line 2: a key name holds a NUL"},
        {{{u"Line\rbreak"}, {}}, "[HKEY_LOCAL_MACHINE\\Line{U+000D}break]", "line 2: a key name holds a line break"},
        {{{u"Values"}, {DwordValue(value + u'v', 1)}}, nullptr, "line 3: a value name is longer than 16383"},
        {{{u"Values"}, {DwordValue(wideValue + u'v', 1)}}, nullptr, "line 3: a value name is longer than 16383"},
        {{{u"Values"}, {DwordValue(std::u16string(u"a\0b", 3), 1)}}, "\"a{U+0000}b\"=dword:00000001",
         "line 3: a value name holds a NUL"},
    };
    for (auto &b : bad) {
        std::u16string n = b.key.names.back();
        SCOPED_TRACE(b.error);
        std::string bytes;
        EXPECT_FALSE(WriteSaved({b.key}, {}, &bytes));
        std::vector<std::string> lines;
        if (b.line && b.key.values.empty()) {
            lines = {b.line, kEnd};
        } else if (b.line) {
            lines = {"[HKEY_LOCAL_MACHINE\\Values]", b.line, kEnd};
        } else {
            // Over a limit: the name as the writer would have written it.
            std::string utf8;
            for (char16_t c : b.key.values.empty() ? n : b.key.values[0].name) {
                char buf[12];
                snprintf(buf, sizeof(buf), "{U+%04X}", static_cast<unsigned>(c));
                utf8 += buf;
            }
            if (b.key.values.empty())
                lines = {"[HKEY_LOCAL_MACHINE\\" + utf8 + "]", kEnd};
            else
                lines = {"[HKEY_LOCAL_MACHINE\\Values]", "\"" + utf8 + "\"=dword:00000001", kEnd};
        }
        Result r = Read(HiveWithHead(lines));
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error.compare(0, strlen(b.error), b.error), 0) << r.error;
    }
}

// A folder of the test's own, removed with what it holds.
class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/cedev-host-test.XXXXXX";
        path_ = mkdtemp(tmpl);
    }
    ~TempDir() { EXPECT_EQ(system(("rm -rf '" + path_ + "'").c_str()), 0); }
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void WriteFile(const std::string &path, const std::string &bytes)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
}

TEST(DeviceFile, FollowsNoLinkAnywhereOnItsPath)
{
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "real").c_str(), 0755), 0);
    WriteFile(dir / "real/x.dat", "data");
    ASSERT_EQ(symlink("real", (dir / "L").c_str()), 0);
    ASSERT_EQ(symlink("real/x.dat", (dir / "link.dat").c_str()), 0);
    DeviceFile direct;
    ASSERT_EQ(direct.Open(dir / "real/x.dat"), 0);
    EXPECT_EQ(direct.Size(), 4u);

    DeviceFile through;
    int err = through.Open(dir / "L/x.dat");
    EXPECT_EQ(err, DeviceFile::kLink);
    EXPECT_EQ(through.Why(err), "'L' on its path is a link, which cedev does not follow");
    DeviceFile last;
    err = last.Open(dir / "link.dat");
    EXPECT_EQ(err, DeviceFile::kLink);
    EXPECT_EQ(last.Why(err), "it is a link, which cedev does not follow");
    DeviceFile notFolder;
    err = notFolder.Open(dir / "real/x.dat/y");
    EXPECT_EQ(err, DeviceFile::kNotFolder);
    EXPECT_EQ(notFolder.Why(err), "'x.dat' on its path is not a folder");
    DeviceFile missing;
    EXPECT_EQ(missing.Open(dir / "real/none.dat"), ENOENT);
    EXPECT_EQ(missing.Open(dir / "none/x.dat"), ENOENT);
}

TEST(DeviceFile, OpensNothingButARegularFileAndNeverWaits)
{
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
    ASSERT_EQ(mkdir((dir / "folder").c_str(), 0755), 0);
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", (dir / "sock").c_str());
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
    for (const char *name : {"fifo", "folder", "sock"}) {
        DeviceFile f;
        int err = f.Open(dir / name);
        EXPECT_EQ(err, DeviceFile::kNotRegular) << name;
        EXPECT_EQ(f.Why(err), "it is not a regular file") << name;
    }
    close(s);
}

TEST(DeviceFile, KnowsTheSizeFirstAndReadsNoMoreThanAsked)
{
    TempDir dir;
    std::string hive = HiveWithHead({kEnd});
    WriteFile(dir / "huge.dat", hive);
    ASSERT_EQ(truncate((dir / "huge.dat").c_str(), 100ll << 30), 0);  // sparse: no disk taken
    DeviceFile f;
    ASSERT_EQ(f.Open(dir / "huge.dat"), 0);
    EXPECT_EQ(f.Size(), 100ull << 30);
    std::string head, all;
    ASSERT_EQ(f.ReadHead(kSavedHeadSize, &head), 0);
    EXPECT_EQ(head, hive.substr(0, kSavedHeadSize));
    EXPECT_EQ(f.ReadAll(kMaxSavedSize, &all), EFBIG);
    EXPECT_TRUE(all.empty());

    // A file cut short after it was opened reads as what is left.
    WriteFile(dir / "cut.dat", hive);
    DeviceFile cut;
    ASSERT_EQ(cut.Open(dir / "cut.dat"), 0);
    ASSERT_EQ(truncate((dir / "cut.dat").c_str(), 10), 0);
    ASSERT_EQ(cut.ReadAll(kMaxSavedSize, &all), 0);
    EXPECT_EQ(all, hive.substr(0, 10));
}

}  // namespace
