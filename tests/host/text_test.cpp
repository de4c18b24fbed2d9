// The two escapers of what comes out of a device: cedev-seal's EscapeText (UTF-8
// streams on the host) and the helper's Printable (UTF-16 strings inside the device).
// Every control and format character is escaped in both; every other character of
// every script passes unchanged.
#include "escape.h"
#include "hivetext.h"
#include "text.h"

#include <gtest/gtest.h>

namespace {

std::string Escaped(std::string_view in, TextMode mode = TextMode::Text)
{
    std::string carry, out;
    EscapeText(in, mode, true, &carry, &out);
    EXPECT_TRUE(carry.empty());
    return out;
}

std::string Printable(const std::string &utf8)
{
    std::u16string units = Units(utf8);
    return PrintableUtf16(units.data(), units.size());
}

std::string Utf8(uint32_t c)
{
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xc0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xe0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3f));
        out += static_cast<char>(0x80 | (c & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3f));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3f));
        out += static_cast<char>(0x80 | (c & 0x3f));
    }
    return out;
}

// Unicode's format characters (general category Cf, Unicode 15) and the line and
// paragraph separators: invisible, and able to reorder or hide what a terminal shows.
const uint32_t kInvisible[][2] = {
    {0x00ad, 0x00ad},   {0x0600, 0x0605},   {0x061c, 0x061c},   {0x06dd, 0x06dd},   {0x070f, 0x070f},
    {0x0890, 0x0891},   {0x08e2, 0x08e2},   {0x180e, 0x180e},   {0x200b, 0x200f},   {0x2028, 0x2029},
    {0x202a, 0x202e},   {0x2060, 0x2064},   {0x2066, 0x206f},   {0xfeff, 0xfeff},   {0xfff9, 0xfffb},
    {0x110bd, 0x110bd}, {0x110cd, 0x110cd}, {0x13430, 0x1343f}, {0x1bca0, 0x1bca3}, {0x1d173, 0x1d17a},
    {0xe0001, 0xe0001}, {0xe0020, 0xe007f},
};

bool Invisible(uint32_t c)
{
    for (const auto &r : kInvisible) {
        if (c >= r[0] && c <= r[1])
            return true;
    }
    return false;
}

// How plain output shows a character that must not reach a terminal raw.
std::string Escape(uint32_t c)
{
    char buf[16];
    snprintf(buf, sizeof(buf), c < 0x80 ? "\\x%02x" : c < 0x10000 ? "\\u%04x" : "\\U%08x", c);
    return buf;
}

TEST(Escapers, EscapeEveryControlCharacter)
{
    // All of C0 but the line break and tab, which text keeps; DEL; all of C1.
    for (uint32_t c = 0; c < 0xa0; ++c) {
        if (c >= 0x20 && c < 0x7f)
            continue;
        std::string in = "a" + Utf8(c) + "b";
        if (c == '\n' || c == '\t') {
            EXPECT_EQ(Escaped(in), in) << c;
        } else if (c == '\r') {
            EXPECT_EQ(Escaped(in), "a\\rb");
        } else {
            EXPECT_EQ(Escaped(in), "a" + Escape(c) + "b") << "EscapeText, character " << c;
        }
        // The helper names the line breaks and tabs too: a name stays on its line.
        std::string named = c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t" : Escape(c);
        EXPECT_EQ(Printable(in), "a" + named + "b") << "Printable, character " << c;
    }
}

TEST(Escapers, EscapeEveryFormatCharacter)
{
    size_t seen = 0;
    for (const auto &r : kInvisible) {
        for (uint32_t c = r[0]; c <= r[1]; ++c, ++seen) {
            EXPECT_EQ(Escaped("x" + Utf8(c) + "y"), "x" + Escape(c) + "y") << "EscapeText, U+" << std::hex << c;
            EXPECT_EQ(Printable("x" + Utf8(c) + "y"), "x" + Escape(c) + "y") << "Printable, U+" << std::hex << c;
        }
    }
    EXPECT_EQ(seen, 172u);
    // The ones that turn text around, by name.
    EXPECT_EQ(Escaped("\xe2\x80\xae" "exe.txt"), "\\u202eexe.txt");
    EXPECT_EQ(Printable("\xe2\x80\xae" "exe.txt"), "\\u202eexe.txt");
    EXPECT_EQ(Escaped("a\xe2\x81\xa6" "b\xe2\x81\xa9"), "a\\u2066b\\u2069");
    EXPECT_EQ(Escaped("bom\xef\xbb\xbfin"), "bom\\ufeffin");
    EXPECT_EQ(Printable("tag\xf3\xa0\x80\x81"), "tag\\U000e0001");
}

TEST(Escapers, PassEveryOtherCharacterOfEveryPlaneUnchanged)
{
    // Each character beyond ASCII, alone and between letters: a sweep of the whole
    // code space, surrogates aside.
    std::string in, expected;
    std::u16string units;
    size_t passed = 0;
    for (uint32_t c = 0xa0; c <= 0x10ffff; ++c) {
        if (c >= 0xd800 && c < 0xe000)
            continue;
        std::string u = Utf8(c);
        in += u;
        expected += Invisible(c) ? Escape(c) : u;
        passed += !Invisible(c);
    }
    EXPECT_TRUE(Escaped(in) == expected) << "EscapeText changed a character it should pass, or passed one it should not";
    EXPECT_TRUE(Printable(in) == expected) << "Printable changed a character it should pass, or passed one it should not";
    EXPECT_EQ(passed, 0x10ffff - 0xa0 + 1 - 0x800 - 172u);
}

TEST(Escapers, PassOrdinaryTextOfEveryScript)
{
    const char *texts[] = {
        "Registry Save Complete!",
        "café naïve Ærø",
        "Ωμέγα λέξη",
        "Жук Щука",
        "Բարև",
        "שלום עולם",
        "سلام عليكم",
        "हिन्दी",
        "ਪੰਜਾਬੀ",
        "മലയാളം",
        "ไทย ภาษา",
        "ქართული",
        "한국어 텍스트",
        "ひらがな カタカナ",
        "日本語 中文",
        "ሀሁሂ",
        "ᏣᎳᎩ",
        "ᠮᠣᠩᠭᠣᠯ",
        "😀 𐐷 𠀀",
        "e\xcc\x81 n\xcc\x83",  // combining marks
        "\xef\xbf\xbd \xee\x80\x80 \xef\xbf\xbf",  // the replacement character, private use, a noncharacter
    };
    for (const char *t : texts) {
        EXPECT_EQ(Escaped(t), t);
        EXPECT_EQ(Escaped(t, TextMode::Program), t);
        EXPECT_EQ(Printable(t), t);
    }
}

TEST(EscapeText, EscapesWhatIsNotUtf8ByteByByte)
{
    EXPECT_EQ(Escaped("a\xff" "b"), "a\\xffb");
    EXPECT_EQ(Escaped("\xc0\xaf"), "\\xc0\\xaf");               // overlong /
    EXPECT_EQ(Escaped("\xed\xa0\x80"), "\\xed\\xa0\\x80");      // a surrogate
    EXPECT_EQ(Escaped("\xf4\x90\x80\x80"), "\\xf4\\x90\\x80\\x80");  // beyond U+10FFFF
    EXPECT_EQ(Escaped("\xe2\x80"), "\\xe2\\x80");               // cut short at the end
    EXPECT_EQ(Escaped("\xe2\x80x"), "\\xe2\\x80x");
}

TEST(EscapeText, CarriageReturnsPassOnlyWhereALineEndsInThem)
{
    EXPECT_EQ(Escaped("a\r\nb"), "a\r\nb");
    EXPECT_EQ(Escaped("a\rb"), "a\\rb");
    EXPECT_EQ(Escaped("a\r"), "a\\r");
    EXPECT_EQ(Escaped("a\rb\r\n", TextMode::Program), "a\rb\r\n");
    EXPECT_EQ(Escaped("\x1b]0;title\x07", TextMode::Program), "\\x1b]0;title\\x07");
    EXPECT_EQ(Escaped("\x1b[2J", TextMode::Raw), "\x1b[2J");
}

TEST(EscapeText, GivesTheSameInPiecesCutAnywhere)
{
    std::string in = "a\r\n\xe2\x80\xaeZ\xf0\x9f\x98\x80\xc2\x85\xff\r\xf3\xa0\x80\x81\xe2\x80\r\nend\xe2";
    std::string whole = Escaped(in);
    for (size_t cut = 0; cut <= in.size(); ++cut) {
        for (size_t cut2 = cut; cut2 <= in.size(); ++cut2) {
            std::string carry, out;
            EscapeText(std::string_view(in).substr(0, cut), TextMode::Text, false, &carry, &out);
            EscapeText(std::string_view(in).substr(cut, cut2 - cut), TextMode::Text, false, &carry, &out);
            EscapeText(std::string_view(in).substr(cut2), TextMode::Text, true, &carry, &out);
            EXPECT_EQ(out, whole) << "cut at " << cut << " and " << cut2;
        }
    }
}

TEST(Printable, ShowsLoneSurrogatesWhichUtf8CannotCarry)
{
    EXPECT_EQ(Printable("{U+D800}lone"), "\\ud800lone");
    EXPECT_EQ(Printable("x{U+DC0A}"), "x\\udc0a");
    EXPECT_EQ(Printable("{U+DC00}{U+D800}"), "\\udc00\\ud800");
    EXPECT_EQ(Printable("{U+D83D}{U+DE00}"), "\xf0\x9f\x98\x80");
}

}  // namespace
