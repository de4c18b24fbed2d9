// Converting the Wine server's registry dump into the saved registry's lines: its
// escapes, value forms, continuation lines and link keys, and refusing input it cannot
// read. The converter is the core library's own, built for the host.
#include "winedump.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace {

const uint32_t kDiskFull = 112;  // Win32's ERROR_DISK_FULL, as a drain reports it

bool Convert(const std::string &body, std::u16string *out)
{
    std::string dump = "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n" + body;
    WideBuffer buf;
    bool ok = ConvertWineDump(dump.data(), dump.size(), u"ROOT", &buf);
    out->assign(buf.data ? buf.data : u"", buf.len);
    return ok;
}

std::u16string Converted(const std::string &body)
{
    std::u16string out;
    EXPECT_TRUE(Convert(body, &out)) << body;
    return out;
}

TEST(WineDump, KeyPathsAreUnescapedAndPrefixedWithTheRoot)
{
    EXPECT_EQ(Converted("\n[Software\\\\Esc\\]aped\\\\caf\\x00e9] 1700000000\n#time=1d9\n\"v\"=dword:00000001\n"),
              u"\r\n[ROOT\\Software\\Esc]aped\\caf\x00e9]\r\n\"v\"=dword:00000001\r\n");
}

TEST(WineDump, StringEscapesDecodeToTheRightCharacters)
{
    // \x takes up to four hex digits, octal up to three, other escapes are literal.
    EXPECT_EQ(Converted("[K] 1\n\"a\\\"b\"=\"x\\\\y \\x263a\\x00e9Z \\101\\q\"\n"),
              u"\r\n[ROOT\\K]\r\n\"a\\\"b\"=\"x\\\\y \x263a\x00e9Z Aq\"\r\n");
    // A control character cannot stand in a quoted string: the value goes as hex(1).
    EXPECT_EQ(Converted("[K] 1\n\"c\"=\"\\e\\t\"\n"), u"\r\n[ROOT\\K]\r\n\"c\"=hex(1):1b,00,09,00,00,00\r\n");
}

TEST(WineDump, TypedStringsBecomeHexWithTheirTerminators)
{
    EXPECT_EQ(Converted("[K] 1\n\"m\"=str(7):\"a\\0b\\0\"\n\"e\"=str(2):\"%X%\"\n"),
              u"\r\n[ROOT\\K]\r\n\"m\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
              u"\"e\"=hex(2):25,00,58,00,25,00,00,00\r\n");
}

TEST(WineDump, HexDataContinuesAcrossLines)
{
    EXPECT_EQ(Converted("[K] 1\n@=hex(b):01,02,\\\n  03,04,\\\n  05,06,07,08\n\"z\"=hex:\n"),
              u"\r\n[ROOT\\K]\r\n@=hex(b):01,02,03,04,05,06,07,08\r\n\"z\"=hex:\r\n");
}

TEST(WineDump, LinkKeysAreLeftOutAndEmptyLeavesKept)
{
    EXPECT_EQ(Converted("[Linked] 1\n#time=1\n#link\n\"SymbolicLinkValue\"=hex(6):5c,00,\\\n  41,00\n"
                        "[Leaf] 1\n#time=1\n#class=\"c\"\n"),
              u"\r\n[ROOT\\Leaf]\r\n");
    // A key holding only links has no section of its own; it is written once, so that
    // a cold boot knows it was there. One with values is not written twice.
    EXPECT_EQ(Converted("[Only\\\\L1] 1\n#link\n[Only\\\\L2] 1\n#link\n[Only\\\\Sub\\\\L3] 1\n#link\n"
                        "[Valued] 1\n\"v\"=dword:1\n[Valued\\\\Sub] 1\n[Valued\\\\L4] 1\n#link\n"),
              u"\r\n[ROOT\\Only]\r\n\r\n[ROOT\\Only\\Sub]\r\n"
              u"\r\n[ROOT\\Valued]\r\n\"v\"=dword:00000001\r\n\r\n[ROOT\\Valued\\Sub]\r\n");
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
        std::u16string out;
        EXPECT_FALSE(Convert(body, &out)) << body;
    }
    WideBuffer buf;
    const char headerless[] = "[K] 1\n\"v\"=dword:1\n";
    EXPECT_FALSE(ConvertWineDump(headerless, sizeof(headerless) - 1, u"ROOT", &buf));
}

// A dump with what a real one holds: every value form, escapes, UTF-8, a value whose
// data runs over many lines, links, and one line longer than a piece of reading.
std::string SampleDump()
{
    std::string dump = "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n";
    for (int k = 0; k < 40; ++k) {
        std::string key = "Software\\\\Vendor" + std::to_string(k % 7) + "\\\\Key" + std::to_string(k);
        dump += "\n[" + key + "] 1700000000\n#time=1d9\n";
        if (k % 9 == 4) {
            dump += "#link\n\"SymbolicLinkValue\"=hex(6):5c,00,41,00\n";
            continue;
        }
        dump += "@=\"default " + std::to_string(k) + "\"\n";
        dump += "\"Quote\\\"d \\\\ caf\xc3\xa9 \xf0\x9f\x98\x80\"=\"line\\nbreak \\x263a \\101\"\n";
        dump += "\"ctl\"=\"\\e\\t\"\n";
        dump += "\"dw\"=dword:" + std::to_string(10000000 + k) + "\n";
        dump += "\"m\"=str(7):\"a\\0b\\0\"\n";
        dump += "\"bin\"=hex:";
        for (int i = 0; i < 3 * k; ++i)
            dump += (i ? (i % 25 ? "," : ",\\\n  ") : "") + std::string("a5");
        dump += "\n";
    }
    dump += "\n[Long] 1\n\"v\"=\"" + std::string(100 * 1024, 'x') + "\"\n";
    return dump;
}

struct Pieces {
    const std::string *dump;
    size_t at, piece;
};

bool ReadPieces(void *context, char *buffer, size_t size, size_t *got)
{
    Pieces *p = (Pieces *)context;
    size_t n = std::min({size, p->piece, p->dump->size() - p->at});
    memcpy(buffer, p->dump->data() + p->at, n);
    p->at += n;
    *got = n;
    return true;
}

uint32_t DrainTo(void *context, const char16_t *text, size_t len)
{
    ((std::u16string *)context)->append(text, len);
    return 0;
}

TEST(WineDump, ReadInPiecesAndWrittenThroughADrainItConvertsTheSame)
{
    std::string dump = SampleDump();
    WideBuffer whole;
    ASSERT_TRUE(ConvertWineDump(dump.data(), dump.size(), u"ROOT", &whole));
    std::u16string expected(whole.data, whole.len);
    ASSERT_NE(expected.find(u"[ROOT\\Software\\Vendor3\\Key38]"), std::u16string::npos);
    ASSERT_NE(expected.find(u"\"v\"=\"xxxx"), std::u16string::npos);

    // Lines split at every place a piece can end, and a drain that takes the text a
    // few units at a time or in one go at the end.
    for (size_t piece : {1, 2, 3, 7, 64, 4093, 65536, 1 << 20}) {
        for (size_t room : {0, 16, 4096}) {
            SCOPED_TRACE("piece " + std::to_string(piece) + ", room " + std::to_string(room));
            Pieces pieces = {&dump, 0, piece};
            std::u16string drained;
            WideBuffer out;
            if (room) {
                out.drain = DrainTo;
                out.drainContext = &drained;
                out.Reserve(room);
            }
            ASSERT_TRUE(ConvertWineDumpFrom(ReadPieces, &pieces, u"ROOT", &out));
            EXPECT_EQ(out.Finish(), 0u);
            drained.append(out.data ? out.data : u"", out.len);
            EXPECT_TRUE(drained == expected);
        }
    }
}

bool FailAfter(void *context, char *buffer, size_t size, size_t *got)
{
    Pieces *p = (Pieces *)context;
    if (p->at >= p->piece)
        return false;
    return ReadPieces(context, buffer, std::min(size, p->piece - p->at), got);
}

uint32_t DiskFull(void *, const char16_t *, size_t)
{
    return kDiskFull;
}

TEST(WineDump, AFailedReadOrWriteFailsTheConversion)
{
    std::string dump = SampleDump();
    Pieces pieces = {&dump, 0, dump.size() / 2};
    WideBuffer out;
    EXPECT_FALSE(ConvertWineDumpFrom(FailAfter, &pieces, u"ROOT", &out));

    WideBuffer full;
    full.drain = DiskFull;
    full.Reserve(64);
    EXPECT_FALSE(ConvertWineDump(dump.data(), dump.size(), u"ROOT", &full));
    EXPECT_TRUE(full.failed);
    EXPECT_EQ(full.error, kDiskFull);
}

}  // namespace
