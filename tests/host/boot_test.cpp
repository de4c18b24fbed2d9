// The cold boot's writer: keys and values in Wine's format, names escaped so that the
// Wine server reads back exactly what was saved, and the factory registry's links put
// back where their parent key was saved.
#include "boot.h"
#include "hivetext.h"
#include "winereg.h"

#include <gtest/gtest.h>

namespace {

// A factory file as Wine writes it: its header, a key, and links.
const char kFactory[] = "WINE REGISTRY Version 2\n"
                        ";; All keys relative to \\\\Machine\n"
                        "\n"
                        "#arch=win64\n"
                        "\n"
                        "[Software\\\\Classes] 1700000000\n"
                        "#time=1d9a5c3f0f7a6b2\n"
                        "\"Plain\"=\"x\"\n"
                        "\n"
                        "[Software\\\\Wow6432Node\\\\Classes] 1700000000\n"
                        "#link\n"
                        "\"SymbolicLinkValue\"=hex(6):5c,00\n"
                        "\n"
                        "[Software\\\\Wow6432Node\\\\Microsoft\\\\OLE] 1700000000\n"
                        "#link\n"
                        "\"SymbolicLinkValue\"=hex(6):5c,00,52,00\n";

std::u16string U(const std::string &s)
{
    return Units(s);
}

std::string Written(const std::vector<std::u16string> &keys)
{
    WineLinks machine, user;
    static const char kUser[] = "WINE REGISTRY Version 2\n;; All keys relative to \\\\User\\\\S-1-5-21\n";
    EXPECT_TRUE(ReadWineLinks(kFactory, &machine));
    EXPECT_TRUE(ReadWineLinks(kUser, &user));
    WineText machineText, userText;
    BootWriter writer(machine, &machineText, user, &userText, 42);
    for (const std::u16string &k : keys)
        writer.Key(Root::Machine, k);
    writer.Finish(Root::Machine);
    writer.Finish(Root::User);
    EXPECT_EQ(userText.Held(), kUser);
    return machineText.Held();
}

TEST(WineLinks, ReadsTheHeaderAndEachLinkAsItStands)
{
    WineLinks links;
    ASSERT_TRUE(ReadWineLinks(kFactory, &links));
    EXPECT_EQ(links.header, "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n\n");
    ASSERT_EQ(links.links.size(), 2u);
    EXPECT_EQ(links.links[0].path, u"Software\\Wow6432Node\\Classes");
    EXPECT_EQ(links.links[0].text, "[Software\\\\Wow6432Node\\\\Classes] 1700000000\n#link\n"
                                   "\"SymbolicLinkValue\"=hex(6):5c,00\n\n");
    EXPECT_EQ(links.links[1].path, u"Software\\Wow6432Node\\Microsoft\\OLE");
    EXPECT_FALSE(ReadWineLinks("REGEDIT4\n", &links));
}

TEST(BootWriter, PutsBackTheLinksWhoseParentWasSavedAndLetsThemHideWhatIsBelow)
{
    std::string text = Written({U("Software"), U("Software\\Wow6432Node"),
                                // Below a link, or naming one in other letters: the link's.
                                U("Software\\Wow6432Node\\Classes\\Below"), U("SOFTWARE\\wow6432node\\CLASSES"),
                                // Only beginning with a link's name: a key like any other.
                                U("Software\\Wow6432Node\\ClassesX")});
    EXPECT_EQ(text, std::string("WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n\n") +
                        "\n[Software] 42\n"
                        "\n[Software\\\\Wow6432Node] 42\n"
                        "\n[Software\\\\Wow6432Node\\\\ClassesX] 42\n"
                        "\n[Software\\\\Wow6432Node\\\\Classes] 1700000000\n#link\n"
                        "\"SymbolicLinkValue\"=hex(6):5c,00\n\n");
    // Microsoft, the OLE link's parent, was not saved (deleted before the save): its
    // link stays out, or it would bring the key back.
    EXPECT_EQ(text.find("OLE"), std::string::npos);
}

TEST(WineText, EscapesEveryNameSoThatTheServerReadsBackTheSame)
{
    // Names of each kind: the delimiters, controls before a digit, characters beyond
    // ASCII before hex digits, surrogates, the last units of the plane.
    std::u16string names[] = {
        U("[x]"), U("a\\b"), U("{U+0001}7"), U("{U+001B}[0m"), U("tab{U+0009}x"), U("\x7f"),
        U("caf\xc3\xa9" "1f"), U("\xe2\x80\xae" "txt.exe"), U("{U+D800}lone"), U("\xf0\x9f\x98\x80"), U("{U+FFFF}"),
        U("\"quoted\""),
    };
    for (const std::u16string &name : names) {
        WineText text;
        AppendWineKey(&text, u"Software\\" + name, 7);
        text.Held() += "#link\n";
        WineLinks links;
        ASSERT_TRUE(ReadWineLinks("WINE REGISTRY Version 2\n" + text.Held(), &links));
        ASSERT_EQ(links.links.size(), 1u);
        EXPECT_EQ(links.links[0].path, u"Software\\" + name) << text.Held();
        // Nothing but printable ASCII in the file.
        for (unsigned char c : text.Held())
            EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << text.Held();
    }
}

TEST(WineText, WritesEachTypeOfValueAsWineDoes)
{
    auto value = [](std::u16string_view name, uint32_t type, const std::string &data) {
        WineText text;
        AppendWineValue(&text, name, type, data);
        return text.Held();
    };
    EXPECT_EQ(value(u"", 1, Bytes(u"x\\\"y") + std::string(2, '\0')), "@=\"x\\\\\\\"y\"\n");
    EXPECT_EQ(value(u"n\"m", 2, Bytes(u"%PATH%") + std::string(2, '\0')), "\"n\\\"m\"=str(2):\"%PATH%\"\n");
    EXPECT_EQ(value(u"m", 7, Bytes(u"a") + std::string(4, '\0')), "\"m\"=str(7):\"a\\000\"\n");
    EXPECT_EQ(value(u"d", 4, std::string("\x2a\0\0\x80", 4)), "\"d\"=dword:8000002a\n");
    // A string without its terminator, a dword of another size: bytes.
    EXPECT_EQ(value(u"s", 1, Bytes(u"ab")), "\"s\"=hex(1):61,00,62,00\n");
    EXPECT_EQ(value(u"d", 4, std::string("\1\2", 2)), "\"d\"=hex(4):01,02\n");
    EXPECT_EQ(value(u"b", 3, ""), "\"b\"=hex:\n");
    // Long data in lines of at most 80 characters, continued with a backslash.
    std::string text = value(u"long", 3, std::string(100, '\xab'));
    size_t start = 0, lines = 0, bytes = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1, ++lines) {
        std::string line = text.substr(start, end - start);
        EXPECT_LE(line.size(), 80u) << line;
        for (size_t at = 0; (at = line.find("ab", at)) != std::string::npos; at += 2)
            ++bytes;
    }
    EXPECT_GT(lines, 3u);
    EXPECT_EQ(bytes, 100u);
}

// Each piece handed over, for the sizes.
struct Pieces {
    std::string whole;
    size_t largest = 0, count = 0;

    static bool Take(void *context, std::string_view piece)
    {
        Pieces *p = static_cast<Pieces *>(context);
        p->whole.append(piece);
        p->largest = std::max(p->largest, piece.size());
        ++p->count;
        return true;
    }
};

TEST(WineText, HandsOverAHugeValueInPiecesOfBoundedSize)
{
    // Four million units beyond ASCII: 24 MB of escapes, from a single value.
    std::u16string wide(4 << 20, u'\u00e9');
    std::string data = Bytes(wide) + std::string(2, '\0');
    std::string binary(3 << 20, '\x5a');
    Pieces pieces;
    WineText text(Pieces::Take, &pieces);
    AppendWineKey(&text, u"K", 1);
    AppendWineValue(&text, u"wide", 1, data);
    AppendWineValue(&text, u"binary", 3, binary);
    ASSERT_TRUE(text.Finish());
    EXPECT_TRUE(text.Held().empty());
    EXPECT_GT(pieces.count, 20u);
    EXPECT_LE(pieces.largest, WineText::kPiece + 4096);
    // The same text as when it is held whole.
    WineText whole;
    AppendWineKey(&whole, u"K", 1);
    AppendWineValue(&whole, u"wide", 1, data);
    AppendWineValue(&whole, u"binary", 3, binary);
    EXPECT_TRUE(pieces.whole == whole.Held());
}

TEST(WineText, StaysFailedOnceADrainFails)
{
    struct Refusing {
        static bool Take(void *, std::string_view) { return false; }
    };
    WineText text(Refusing::Take, nullptr);
    AppendWineValue(&text, u"x", 3, std::string(WineText::kPiece, '\0'));
    EXPECT_TRUE(text.Failed());
    EXPECT_FALSE(text.Finish());
}

}  // namespace
