// Converting the Wine server's registry dump into regedit syntax: its escapes, value
// forms, continuation lines and link keys, and refusing input it cannot read.
#include "regtext.h"

#include <gtest/gtest.h>

#include <string>

namespace {

bool Convert(const std::string &body, std::wstring *out)
{
    std::string dump = "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n" + body;
    WideBuffer buf;
    bool ok = ConvertWineDump(dump.data(), dump.size(), L"ROOT", &buf);
    out->assign(buf.data ? buf.data : L"", buf.len);
    return ok;
}

std::wstring Converted(const std::string &body)
{
    std::wstring out;
    EXPECT_TRUE(Convert(body, &out)) << body;
    return out;
}

TEST(WineDump, KeyPathsAreUnescapedAndPrefixedWithTheRoot)
{
    EXPECT_EQ(Converted("\n[Software\\\\Esc\\]aped\\\\caf\\x00e9] 1700000000\n#time=1d9\n\"v\"=dword:00000001\n"),
              L"\r\n[ROOT\\Software\\Esc]aped\\caf\x00e9]\r\n\"v\"=dword:00000001\r\n");
}

TEST(WineDump, StringEscapesDecodeToTheRightCharacters)
{
    // \x takes up to four hex digits, octal up to three, other escapes are literal.
    EXPECT_EQ(Converted("[K] 1\n\"a\\\"b\"=\"x\\\\y \\x263a\\x00e9Z \\101\\q\"\n"),
              L"\r\n[ROOT\\K]\r\n\"a\\\"b\"=\"x\\\\y \x263a\x00e9Z Aq\"\r\n");
    // A control character cannot stand in a quoted string: the value goes as hex(1).
    EXPECT_EQ(Converted("[K] 1\n\"c\"=\"\\e\\t\"\n"), L"\r\n[ROOT\\K]\r\n\"c\"=hex(1):1b,00,09,00,00,00\r\n");
}

TEST(WineDump, TypedStringsBecomeHexWithTheirTerminators)
{
    EXPECT_EQ(Converted("[K] 1\n\"m\"=str(7):\"a\\0b\\0\"\n\"e\"=str(2):\"%X%\"\n"),
              L"\r\n[ROOT\\K]\r\n\"m\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
              L"\"e\"=hex(2):25,00,58,00,25,00,00,00\r\n");
}

TEST(WineDump, HexDataContinuesAcrossLines)
{
    EXPECT_EQ(Converted("[K] 1\n@=hex(b):01,02,\\\n  03,04,\\\n  05,06,07,08\n\"z\"=hex:\n"),
              L"\r\n[ROOT\\K]\r\n@=hex(b):01,02,03,04,05,06,07,08\r\n\"z\"=hex:\r\n");
}

TEST(WineDump, LinkKeysAreLeftOutAndEmptyLeavesKept)
{
    EXPECT_EQ(Converted("[Linked] 1\n#time=1\n#link\n\"SymbolicLinkValue\"=hex(6):5c,00,\\\n  41,00\n"
                        "[Leaf] 1\n#time=1\n#class=\"c\"\n"),
              L"\r\n[ROOT\\Leaf]\r\n");
    // A key holding only links has no section of its own; it is written once, so that
    // a cold boot knows it was there. One with values is not written twice.
    EXPECT_EQ(Converted("[Only\\\\L1] 1\n#link\n[Only\\\\L2] 1\n#link\n[Only\\\\Sub\\\\L3] 1\n#link\n"
                        "[Valued] 1\n\"v\"=dword:1\n[Valued\\\\Sub] 1\n[Valued\\\\L4] 1\n#link\n"),
              L"\r\n[ROOT\\Only]\r\n\r\n[ROOT\\Only\\Sub]\r\n"
              L"\r\n[ROOT\\Valued]\r\n\"v\"=dword:00000001\r\n\r\n[ROOT\\Valued\\Sub]\r\n");
}

TEST(WineDump, RefusesInputItCannotRead)
{
    const char *bad[] = {
        "[K] 1\n\"v\"=bogus:1\n",          // unknown data form
        "[K] 1\n\"v\"=\"unterminated\n",   // string without its closing quote
        "[K] 1\n\"v\"=hex:0g\n",           // not a hex digit
        "[K] 1\n\"v\"=hex:01,\\\n",        // continuation past the end
        "[K] 1\n\"v\"=dword:123456789\n",  // more than 32 bits
        "[K] 1\ngarbage\n",                // neither key nor value
        "[K\n",                            // key without its bracket
        "[Line\\nBreak] 1\n",              // a key name no key line can hold
        "[K] 1\n\"a\\0b\"=dword:1\n",      // a NUL in a value name
    };
    for (const char *body : bad) {
        std::wstring out;
        EXPECT_FALSE(Convert(body, &out)) << body;
    }
    WideBuffer buf;
    const char headerless[] = "[K] 1\n\"v\"=dword:1\n";
    EXPECT_FALSE(ConvertWineDump(headerless, sizeof(headerless) - 1, L"ROOT", &buf));
}

}  // namespace
