// The handheld's registry persistence in COREDLL.dll: RegFlushKey writes the registry
// to "\Flash Disk\registry.dat" in regedit syntax, only while saving is enabled, and
// never leaves a damaged or half-written file.
#include "support.h"

#include <gtest/gtest.h>
#include <winternl.h>

#include <algorithm>
#include <string>
#include <vector>

extern "C" NTSTATUS NTAPI NtCreateKey(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, ULONG, PUNICODE_STRING, ULONG, PULONG);
extern "C" NTSTATUS NTAPI NtSetValueKey(HANDLE, PUNICODE_STRING, ULONG, ULONG, PVOID, ULONG);
extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE);

namespace {

const wchar_t kLock[] = L"SYSTEM\\ORV\\REGLock";
const wchar_t kHive[] = L"C:\\Flash Disk\\registry.dat";
const wchar_t kTemp[] = L"C:\\Flash Disk\\registry.dat.new";
const wchar_t kTestKey[] = L"Software\\RegSaveTests";

std::wstring ReadHive()
{
    HANDLE h = CreateFileW(kHive, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return std::wstring();
    DWORD size = GetFileSize(h, NULL), n;
    std::wstring text(size / 2, L'\0');
    ReadFile(h, &text[0], size, &n, NULL);
    CloseHandle(h);
    return text;
}

void WriteHive(const std::wstring &text)
{
    HANDLE h = CreateFileW(kHive, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD n;
    WriteFile(h, text.data(), (DWORD)(text.size() * 2), &n, NULL);
    CloseHandle(h);
}

void SetValue(const wchar_t *name, DWORD type, const void *data, DWORD size)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kTestKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL), 0);
    RegSetValueExW(key, name, 0, type, (const BYTE *)data, size);
    RegCloseKey(key);
}

void SetString(const wchar_t *name, DWORD type, const std::wstring &s)
{
    SetValue(name, type, s.c_str(), (DWORD)((s.size() + 1) * 2));
}

bool StartsWith(const std::wstring &s, const std::wstring &prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::wstring &s, const std::wstring &suffix)
{
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The block of a key in the file: its header line up to the blank line after it.
std::wstring KeyBlock(const std::wstring &text, const std::wstring &key)
{
    size_t at = text.find(L"\r\n[" + key + L"]\r\n");
    if (at == std::wstring::npos)
        return std::wstring();
    size_t end = text.find(L"\r\n\r\n", at + 2);
    return text.substr(at + 2, end - at);
}

class Persistence : public ::testing::Test {
protected:
    void SetUp() override
    {
        DeleteFileW(kHive);
        WriteDword(HKEY_LOCAL_MACHINE, kLock, L"EnableSave", 1);
    }
    void TearDown() override
    {
        DeleteFileW(kHive);
        RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey);
        RegDeleteKeyW(HKEY_CURRENT_USER, kTestKey);
        // A link key goes by itself; a tree deletion would follow it.
        HKEY link;
        if (!RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\RegSaveTests\\Link", REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS,
                           &link)) {
            NtDeleteKey(link);
            RegCloseKey(link);
        }
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kTestKey);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kTestKey);
    }
};

TEST_F(Persistence, WritesBothRootsInRegeditSyntax)
{
    ASSERT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    std::wstring text = ReadHive();
    ASSERT_GT(text.size(), 1000u);
    EXPECT_TRUE(StartsWith(text, L"\xfeff" L"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_"));
    EXPECT_TRUE(EndsWith(text, L"\r\n\r\n; End of registry\r\n"));
    EXPECT_EQ(KeyBlock(text, L"HKEY_LOCAL_MACHINE\\System\\ORV\\REGLock"),
              L"[HKEY_LOCAL_MACHINE\\System\\ORV\\REGLock]\r\n\"EnableSave\"=dword:00000001\r\n");
    EXPECT_NE(KeyBlock(text, L"HKEY_CURRENT_USER\\ControlPanel\\QM410Key"), L"");
    EXPECT_EQ(GetFileAttributesW(kTemp), INVALID_FILE_ATTRIBUTES) << "the temporary file was left behind";
}

TEST_F(Persistence, WritesEveryKindOfValueAsRegeditReadsIt)
{
    SetString(L"Quote\"d\\name", REG_SZ, L"C:\\path \"quoted\"");
    SetString(L"", REG_SZ, L"default");
    SetString(L"Lines", REG_SZ, L"one\r\ntwo");
    SetString(L"Unicode", REG_SZ, L"caf\x00e9 \x65e5\x672c \xd83d\xde00");
    SetString(L"Expand", REG_EXPAND_SZ, L"%A%");
    SetValue(L"Multi", REG_MULTI_SZ, L"a\0b\0", 10);
    SetValue(L"NoTerminator", REG_SZ, L"abc", 4);
    DWORD dw = 0x12ab;
    SetValue(L"Dword", REG_DWORD, &dw, 4);
    SetValue(L"ShortDword", REG_DWORD, &dw, 2);
    unsigned long long qw = 0x0102030405060708ULL;
    SetValue(L"Qword", REG_QWORD, &qw, 8);
    SetValue(L"Empty", REG_BINARY, "", 0);
    SetValue(L"None", REG_NONE, "\x01", 1);
    BYTE big[40];
    for (int i = 0; i < 40; ++i)
        big[i] = (BYTE)i;
    SetValue(L"Long", REG_BINARY, big, sizeof(big));

    ASSERT_EQ(RegFlushKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
    std::wstring block = KeyBlock(ReadHive(), L"HKEY_CURRENT_USER\\Software\\RegSaveTests");
    const wchar_t *expected[] = {
        L"\"Quote\\\"d\\\\name\"=\"C:\\\\path \\\"quoted\\\"\"\r\n",
        L"@=\"default\"\r\n",
        L"\"Lines\"=\"one\\r\\ntwo\"\r\n",
        L"\"Unicode\"=\"caf\x00e9 \x65e5\x672c \xd83d\xde00\"\r\n",
        L"\"Expand\"=hex(2):25,00,41,00,25,00,00,00\r\n",
        L"\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n",
        L"\"NoTerminator\"=hex(1):61,00,62,00\r\n",
        L"\"Dword\"=dword:000012ab\r\n",
        L"\"ShortDword\"=hex(4):ab,12\r\n",
        L"\"Qword\"=hex(b):08,07,06,05,04,03,02,01\r\n",
        L"\"Empty\"=hex:\r\n",
        L"\"None\"=hex(0):01\r\n",
    };
    for (const wchar_t *line : expected)
        EXPECT_NE(block.find(line), std::wstring::npos) << "missing: " << testing::PrintToString(std::wstring(line))
                                                        << "\nin: " << testing::PrintToString(block);

    // Long data wraps into lines of at most 80 columns, each continued with a
    // backslash, and joins back into every byte.
    size_t at = block.find(L"\"Long\"=hex:");
    ASSERT_NE(at, std::wstring::npos);
    std::wstring joined;
    int lines = 0;
    for (size_t pos = at;; ++lines) {
        size_t eol = block.find(L"\r\n", pos);
        std::wstring line = block.substr(pos, eol - pos);
        EXPECT_LE(line.size(), 80u) << testing::PrintToString(line);
        bool more = !line.empty() && line.back() == L'\\';
        joined += line.substr(lines ? 2 : 0, line.size() - (more ? 1 : 0) - (lines ? 2 : 0));
        pos = eol + 2;
        if (!more)
            break;
    }
    EXPECT_GT(lines, 0);
    EXPECT_EQ(joined, L"\"Long\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,17,"
                      L"18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27");
}

TEST_F(Persistence, LeavesSymbolicLinksOutAndWritesTheirTargets)
{
    // A link is the device's own structure; writing it as a key would turn it into a
    // plain key with a stray value when the file is read back.
    HKEY target, link;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\RegSaveTests\\Target", 0, NULL, 0, KEY_ALL_ACCESS,
                              NULL, &target, NULL), 0);
    DWORD one = 1;
    RegSetValueExW(target, L"InTarget", 0, REG_DWORD, (const BYTE *)&one, 4);
    RegCloseKey(target);
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\RegSaveTests\\Link", 0, NULL,
                              REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS, NULL, &link, NULL), 0);
    const wchar_t path[] = L"\\Registry\\Machine\\Software\\RegSaveTests\\Target";
    ASSERT_EQ(RegSetValueExW(link, L"SymbolicLinkValue", 0, REG_LINK, (const BYTE *)path, sizeof(path) - 2), 0);
    RegCloseKey(link);

    ASSERT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    std::wstring text = ReadHive();
    EXPECT_EQ(KeyBlock(text, L"HKEY_LOCAL_MACHINE\\Software\\RegSaveTests\\Target"),
              L"[HKEY_LOCAL_MACHINE\\Software\\RegSaveTests\\Target]\r\n\"InTarget\"=dword:00000001\r\n");
    EXPECT_EQ(text.find(L"RegSaveTests\\Link"), std::wstring::npos);
}

TEST_F(Persistence, WritesNothingUnlessSavingIsEnabled)
{
    WriteHive(L"old");
    const struct {
        const wchar_t *why;
        DWORD type;
        const void *data;
        DWORD size;
    } cases[] = {
        {L"zero", REG_DWORD, "\0\0\0\0", 4},
        {L"two", REG_DWORD, "\2\0\0\0", 4},
        {L"a string", REG_SZ, L"1", 4},
        {L"too short", REG_BINARY, "\1", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.why)));
        HKEY key;
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, kLock, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL);
        RegSetValueExW(key, L"EnableSave", 0, c.type, (const BYTE *)c.data, c.size);
        RegCloseKey(key);
        EXPECT_NE(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
        EXPECT_TRUE(SameText(ReadHive(), L"old"));
    }
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kLock, L"EnableSave");
    EXPECT_NE(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_TRUE(SameText(ReadHive(), L"old"));
}

TEST_F(Persistence, FailsWithoutAFlashDisk)
{
    ASSERT_TRUE(MoveFileW(L"C:\\Flash Disk", L"C:\\Flash Disk.away"));
    LONG rc = RegFlushKey(HKEY_LOCAL_MACHINE);
    bool created = GetFileAttributesW(L"C:\\Flash Disk") != INVALID_FILE_ATTRIBUTES;
    MoveFileW(L"C:\\Flash Disk.away", L"C:\\Flash Disk");
    EXPECT_EQ(rc, ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(created) << "the flush created the flash disk folder";
}

TEST_F(Persistence, AFailedWriteLeavesThePreviousFileAsItWas)
{
    WriteHive(L"\xfeff" L"previous");
    // The temporary file cannot be created where a folder of its name stands.
    ASSERT_TRUE(CreateDirectoryW(kTemp, NULL));
    LONG rc = RegFlushKey(HKEY_LOCAL_MACHINE);
    RemoveDirectoryW(kTemp);
    EXPECT_NE(rc, ERROR_SUCCESS);
    EXPECT_TRUE(SameText(ReadHive(), L"\xfeff" L"previous"));
}

// The new file is on the disk before it takes the old one's place: a power cut after
// the move must not leave a name that points at data never written.
std::vector<std::string> *s_fileCalls;
BOOL(WINAPI *s_flushFileBuffers)(HANDLE);
BOOL(WINAPI *s_moveFileEx)(LPCWSTR, LPCWSTR, DWORD);
BOOL WINAPI RecFlushFileBuffers(HANDLE h)
{
    s_fileCalls->push_back("flush");
    return s_flushFileBuffers(h);
}
BOOL(WINAPI *s_writeFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
BOOL WINAPI RecWriteFile(HANDLE h, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    if (size)
        s_fileCalls->push_back("write");
    return s_writeFile(h, data, size, written, overlapped);
}
BOOL WINAPI RecMoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    s_fileCalls->push_back(flags & MOVEFILE_WRITE_THROUGH ? "move, written through" : "move");
    return s_moveFileEx(from, to, flags);
}

TEST_F(Persistence, MakesTheNewFileDurableBeforeTheMove)
{
    HMODULE core = GetModuleHandleW(L"COREDLL.dll");
    ASSERT_NE(core, nullptr);
    ImportHook flush(core, "KERNEL32.dll", "FlushFileBuffers", (void *)RecFlushFileBuffers);
    ImportHook move(core, "KERNEL32.dll", "MoveFileExW", (void *)RecMoveFileExW);
    ImportHook write(core, "KERNEL32.dll", "WriteFile", (void *)RecWriteFile);
    s_flushFileBuffers = flush.Original<decltype(s_flushFileBuffers)>();
    s_moveFileEx = move.Original<decltype(s_moveFileEx)>();
    s_writeFile = write.Original<decltype(s_writeFile)>();
    std::vector<std::string> calls;
    s_fileCalls = &calls;
    ASSERT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    s_fileCalls = nullptr;
    // The text is written in pieces and may be flushed as it goes; a flush follows the
    // last piece, and the move comes once, last.
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls.back(), "move, written through");
    EXPECT_EQ(calls[calls.size() - 2], "flush");
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "move, written through"), 1);
    EXPECT_NE(std::find(calls.begin(), calls.end(), "write"), calls.end());
}

TEST_F(Persistence, RefusesNamesNoRegistryFileCanBringBack)
{
    // A key line has no escapes, and no file carries a NUL in a name: each of these
    // makes the flush fail and leaves the previous file as it was.
    WriteHive(L"\xfeff" L"previous");
    const struct {
        const wchar_t *key, *value;
        size_t keyLen, valueLen;
    } cases[] = {
        {L"Line\nBreak", L"v", 10, 1}, {L"Carriage\rReturn", L"v", 15, 1},
        {L"Nul\0Inside", L"v", 10, 1}, {L"Plain", L"Nul\0Value", 5, 9},
    };
    HKEY parent;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kTestKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &parent, NULL), 0);
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.key, c.keyLen) + L"/" + std::wstring(c.value, c.valueLen)));
        // The native calls take counted names, so a NUL can be part of one.
        UNICODE_STRING name = {(USHORT)(c.keyLen * 2), (USHORT)(c.keyLen * 2), (PWSTR)c.key};
        OBJECT_ATTRIBUTES attr;
        InitializeObjectAttributes(&attr, &name, 0, parent, NULL);
        HANDLE key;
        ASSERT_EQ(NtCreateKey(&key, KEY_ALL_ACCESS, &attr, 0, NULL, 0, NULL), 0);
        UNICODE_STRING valueName = {(USHORT)(c.valueLen * 2), (USHORT)(c.valueLen * 2), (PWSTR)c.value};
        DWORD one = 1;
        ASSERT_EQ(NtSetValueKey(key, &valueName, 0, REG_DWORD, &one, 4), 0);
        EXPECT_NE(RegFlushKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
        EXPECT_TRUE(SameText(ReadHive(), L"\xfeff" L"previous"));
        NtDeleteKey(key);
        CloseHandle(key);
    }
    RegCloseKey(parent);
    // Line breaks in value names and data are escaped, and a flush takes them.
    SetString(L"Line\r\nBreak", REG_SZ, L"data\r\nlines");
    EXPECT_EQ(RegFlushKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
}

TEST_F(Persistence, ReplacesTheWholePreviousFile)
{
    // A previous file longer than the new one leaves no tail behind.
    WriteHive(std::wstring(4 * 1024 * 1024, L'x'));
    ASSERT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    std::wstring text = ReadHive();
    EXPECT_TRUE(EndsWith(text, L"\r\n\r\n; End of registry\r\n"));
    EXPECT_EQ(text.find(L"xxxx"), std::wstring::npos);
}

}  // namespace
