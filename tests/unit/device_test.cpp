// The start-up gate: which devices pass, what the check looks at and in what order,
// what it leaves open, and the bounds of its folder and path buffers. The checks look
// at real files and keys of the test's device; only the Windows folder query is
// answered by the test where a case needs another folder.
#include "support.h"

#include <gtest/gtest.h>

#include <set>

namespace {

const wchar_t kKeypadKey[] = L"ControlPanel\\QM410Key";
const wchar_t kOpenKeypadKey[] = L"open HKCU\\ControlPanel\\QM410Key";
const wchar_t *const kLibraries[] = {L"QM410Key.dll", L"KeyRelay.dll", L"PadRelay.dll"};
// Test folders live here on the device, as "\DevCheck\NAME".
const wchar_t kTestRoot[] = L"\\DevCheck";

// ---------------------------------------------------------------------------
// A recording layer over the calls the check makes

// What one check looked at, in order ("find PATH", "open HKCU\KEY"), and what it left.
struct Trace {
    std::vector<std::wstring> lookups;
    int folderQueries = 0;
    HWND owner = (HWND)-1;
    int folder = -1;
    BOOL create = -1;
    std::set<HANDLE> openSearches;
    std::set<HKEY> openKeys;
    int strayCloses = 0;  // closes of handles that the check did not get
    // Where the folder query was told to write, the buffers the searches were given,
    // and a place in the frame of the test that ran the check.
    const void *queryBuffer = nullptr;
    std::vector<std::pair<const void *, size_t>> searchBuffers;
    const void *callerFrame = nullptr;
};

enum FolderQuery {
    kDevicesOwn,  // the device's core library answers
    kAnswers,     // the query writes s_answer and succeeds
    kFails,       // the query fails and writes nothing
};

Trace *s_trace;
FolderQuery s_query;
std::wstring s_answer;
decltype(&SHGetSpecialFolderPath) s_realFolderQuery;
decltype(&FindFirstFileW) s_realFindFirst;
decltype(&FindClose) s_realFindClose;
decltype(&RegOpenKeyExW) s_realOpen;
decltype(&RegCloseKey) s_realCloseKey;

BOOL WINAPI TraceFolderQuery(HWND owner, LPWSTR path, int folder, BOOL create)
{
    ++s_trace->folderQueries;
    s_trace->owner = owner;
    s_trace->folder = folder;
    s_trace->create = create;
    s_trace->queryBuffer = path;
    switch (s_query) {
    case kDevicesOwn: return s_realFolderQuery(owner, path, folder, create);
    case kAnswers:
        memcpy(path, s_answer.c_str(), (s_answer.size() + 1) * sizeof(wchar_t));
        return TRUE;
    case kFails: break;
    }
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
}

HANDLE WINAPI TraceFindFirstFileW(LPCWSTR path, LPWIN32_FIND_DATAW fd)
{
    s_trace->lookups.push_back(L"find " + std::wstring(path));
    s_trace->searchBuffers.push_back({path, (lstrlenW(path) + 1) * sizeof(wchar_t)});
    s_trace->searchBuffers.push_back({fd, sizeof(*fd)});
    HANDLE h = s_realFindFirst(path, fd);
    if (h != INVALID_HANDLE_VALUE)
        s_trace->openSearches.insert(h);
    return h;
}

BOOL WINAPI TraceFindClose(HANDLE h)
{
    if (!s_trace->openSearches.erase(h))
        ++s_trace->strayCloses;
    return s_realFindClose(h);
}

LONG WINAPI TraceRegOpenKeyExW(HKEY root, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY key)
{
    std::wstring name = root == HKEY_CURRENT_USER ? L"HKCU" : root == HKEY_LOCAL_MACHINE ? L"HKLM" : L"?";
    s_trace->lookups.push_back(L"open " + name + L"\\" + subKey);
    LONG rc = s_realOpen(root, subKey, options, access, key);
    if (rc == ERROR_SUCCESS)
        s_trace->openKeys.insert(*key);
    return rc;
}

LONG WINAPI TraceRegCloseKey(HKEY key)
{
    if (!s_trace->openKeys.erase(key))
        ++s_trace->strayCloses;
    return s_realCloseKey(key);
}

// Records what the program looks at into *trace for as long as it lives.
class Tracing {
public:
    Tracing(Trace *trace, FolderQuery query, const std::wstring &answer)
        : folder_("SHGetSpecialFolderPath", (void *)TraceFolderQuery),
          find_("FindFirstFileW", (void *)TraceFindFirstFileW), close_("FindClose", (void *)TraceFindClose),
          open_("RegOpenKeyExW", (void *)TraceRegOpenKeyExW), closeKey_("RegCloseKey", (void *)TraceRegCloseKey)
    {
        s_trace = trace;
        trace->callerFrame = this;
        s_query = query;
        s_answer = answer;
        s_realFolderQuery = folder_.Original<decltype(s_realFolderQuery)>();
        s_realFindFirst = find_.Original<decltype(s_realFindFirst)>();
        s_realFindClose = close_.Original<decltype(s_realFindClose)>();
        s_realOpen = open_.Original<decltype(s_realOpen)>();
        s_realCloseKey = closeKey_.Original<decltype(s_realCloseKey)>();
    }
    ~Tracing() { s_trace = nullptr; }

private:
    ImportHook folder_, find_, close_, open_, closeKey_;
};

int RunCheck(Trace *trace, FolderQuery query = kDevicesOwn, const std::wstring &answer = L"")
{
    Tracing tracing(trace, query, answer);
    return CheckTargetDevice();
}

// The searches for the first n libraries in a folder, as the check makes them.
std::vector<std::wstring> Finds(const std::wstring &folder, int n)
{
    std::vector<std::wstring> out;
    for (int i = 0; i < n; ++i)
        out.push_back(L"find " + folder + L"\\" + kLibraries[i]);
    return out;
}

std::vector<std::wstring> FindsAndOpen(const std::wstring &folder)
{
    std::vector<std::wstring> out = Finds(folder, 3);
    out.push_back(kOpenKeypadKey);
    return out;
}

// The folder query has no size argument and may write MAX_PATH units: they must all be
// the check's to give, overlapping neither the buffers it searches with nor the frame
// of whoever called it.
::testing::AssertionResult QueryGotMaxPathUnitsOfItsOwn(const Trace &t)
{
    const char *begin = (const char *)t.queryBuffer;
    const char *end = begin + MAX_PATH * sizeof(wchar_t);
    for (const auto &buffer : t.searchBuffers) {
        const char *b = (const char *)buffer.first;
        if (b < end && begin < b + buffer.second)
            return ::testing::AssertionFailure() << "the query's MAX_PATH units overlap a search's buffer";
    }
    if (end > (const char *)t.callerFrame)
        return ::testing::AssertionFailure() << "the query's MAX_PATH units reach into the caller's frame";
    return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------
// The device: test folders, libraries in the root folder, the keypad key

std::wstring Host(const std::wstring &devicePath)
{
    return L"C:" + devicePath;
}

void RemoveTree(const std::wstring &host)
{
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((host + L"\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::wstring child = host + L"\\" + fd.cFileName;
            if (!lstrcmpW(fd.cFileName, L".") || !lstrcmpW(fd.cFileName, L".."))
                continue;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(child);
            else
                DeleteFileW(child.c_str());
        } while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryW(host.c_str());
}

// An entry with a library's name: an empty file, or a directory.
void MakeEntry(const std::wstring &devicePath, bool directory = false)
{
    if (directory) {
        ASSERT_TRUE(CreateDirectoryW(Host(devicePath).c_str(), NULL)) << GetLastError();
        return;
    }
    HANDLE h = CreateFileW(Host(devicePath).c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(h);
}

class DeviceCheck : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(KeyExists(HKEY_CURRENT_USER, kKeypadKey)) << "the test device is not the target";
        hadScan = ReadDword(HKEY_CURRENT_USER, kKeypadKey, L"KBD/SCAN", &scan);
        RemoveTree(Host(kTestRoot));
        ASSERT_TRUE(CreateDirectoryW(Host(kTestRoot).c_str(), NULL));
    }

    // Puts back what the test took away: other tests need the target device.
    void TearDown() override
    {
        RemoveTree(Host(kTestRoot));
        for (const std::wstring &path : inRoot)
            DeleteFileW(Host(path).c_str());
        HKEY key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kKeypadKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL),
                  ERROR_SUCCESS);
        RegCloseKey(key);
        if (hadScan)
            WriteDword(HKEY_CURRENT_USER, kKeypadKey, L"KBD/SCAN", scan);
    }

    // A test folder, "\DevCheck\NAME", with every library but the one skipped; the
    // library given as a directory is made one.
    std::wstring Folder(const std::wstring &name, const wchar_t *skip = nullptr, const wchar_t *asDirectory = nullptr)
    {
        std::wstring folder = std::wstring(kTestRoot) + L"\\" + name;
        EXPECT_TRUE(CreateDirectoryW(Host(folder).c_str(), NULL)) << GetLastError();
        for (const wchar_t *library : kLibraries) {
            if (library != skip)
                MakeEntry(folder + L"\\" + library, library == asDirectory);
        }
        return folder;
    }

    void LibrariesInRoot()
    {
        for (const wchar_t *library : kLibraries) {
            inRoot.push_back(std::wstring(L"\\") + library);
            MakeEntry(inRoot.back());
        }
    }

    // Every check ends with nothing of its own left open, and closes nothing else.
    void ExpectNothingLeftOpen(const Trace &t)
    {
        EXPECT_TRUE(t.openSearches.empty()) << "search handles left open";
        EXPECT_TRUE(t.openKeys.empty()) << "keys left open";
        EXPECT_EQ(t.strayCloses, 0) << "closes of handles the check did not get";
    }

    bool hadScan = false;
    DWORD scan = 0;
    std::vector<std::wstring> inRoot;
};

// ---------------------------------------------------------------------------

TEST_F(DeviceCheck, TheTestDevicePassesOnItsOwnWindowsFolderAndKey)
{
    Trace t;
    EXPECT_EQ(RunCheck(&t), 1);
    EXPECT_EQ(t.folderQueries, 1);
    EXPECT_EQ(t.owner, nullptr);
    EXPECT_EQ(t.folder, CSIDL_WINDOWS);
    EXPECT_EQ(t.create, FALSE);
    EXPECT_EQ(t.lookups, FindsAndOpen(L"\\Windows"));
    ExpectNothingLeftOpen(t);
}

TEST_F(DeviceCheck, EachMissingLibraryFailsAndNothingAfterItIsLookedAt)
{
    for (int missing = 0; missing < 3; ++missing) {
        SCOPED_TRACE(kLibraries[missing]);
        std::wstring folder = Folder(L"without" + std::to_wstring(missing), kLibraries[missing]);
        Trace t;
        EXPECT_EQ(RunCheck(&t, kAnswers, folder), 0);
        EXPECT_EQ(t.lookups, Finds(folder, missing + 1));
        ExpectNothingLeftOpen(t);
    }
}

TEST_F(DeviceCheck, AMissingKeypadKeyFailsWhateverLibrariesThereAre)
{
    ASSERT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, kKeypadKey), ERROR_SUCCESS);
    Trace t;
    EXPECT_EQ(RunCheck(&t), 0);
    EXPECT_EQ(t.lookups, FindsAndOpen(L"\\Windows"));
    ExpectNothingLeftOpen(t);
}

TEST_F(DeviceCheck, AKeypadKeyWithNoValuesPasses)
{
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kKeypadKey, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    wchar_t name[256];
    DWORD size = 256;
    while (RegEnumValueW(key, 0, name, &size, NULL, NULL, NULL, NULL) == ERROR_SUCCESS) {
        ASSERT_EQ(RegDeleteValueW(key, name), ERROR_SUCCESS);
        size = 256;
    }
    DWORD values = 99;
    RegQueryInfoKeyW(key, NULL, NULL, NULL, NULL, NULL, NULL, &values, NULL, NULL, NULL, NULL);
    RegCloseKey(key);
    ASSERT_EQ(values, 0u);

    Trace t;
    EXPECT_EQ(RunCheck(&t), 1);
    ExpectNothingLeftOpen(t);
}

TEST_F(DeviceCheck, ADirectoryWithALibrarysNameCountsAsPresent)
{
    for (const wchar_t *library : kLibraries) {
        SCOPED_TRACE(library);
        std::wstring folder = Folder(std::wstring(L"dir-") + library, nullptr, library);
        Trace t;
        EXPECT_EQ(RunCheck(&t, kAnswers, folder), 1);
        EXPECT_EQ(t.lookups, FindsAndOpen(folder));
        ExpectNothingLeftOpen(t);
    }
}

TEST_F(DeviceCheck, AFailedFolderQueryLooksInTheRootFolder)
{
    Trace missing;
    EXPECT_EQ(RunCheck(&missing, kFails), 0);
    EXPECT_EQ(missing.lookups, std::vector<std::wstring>{L"find \\QM410Key.dll"});

    LibrariesInRoot();
    Trace present;
    EXPECT_EQ(RunCheck(&present, kFails), 1);
    EXPECT_EQ(present.lookups, FindsAndOpen(L""));
    ExpectNothingLeftOpen(present);
}

// The folder buffer holds 29 units and a terminator: a folder of 29 units is used
// whole, and every library path composed from it (42 units) is searched for whole. One
// unit more, or the longest path the query may write, fails before any lookup.
TEST_F(DeviceCheck, AFolderOfUpTo29UnitsIsUsedWholeAndALongerOneFailsUnlooked)
{
    auto NamePadded = [](size_t units) {
        std::wstring prefix = std::wstring(kTestRoot) + L"\\";
        return std::wstring(units - prefix.size(), L'x');
    };
    std::wstring longest = Folder(NamePadded(29));
    ASSERT_EQ(longest.size(), 29u);
    Trace fits;
    EXPECT_EQ(RunCheck(&fits, kAnswers, longest), 1);
    EXPECT_EQ(fits.lookups, FindsAndOpen(longest));
    EXPECT_TRUE(QueryGotMaxPathUnitsOfItsOwn(fits));
    ExpectNothingLeftOpen(fits);

    std::wstring tooLong = Folder(NamePadded(30));
    ASSERT_EQ(tooLong.size(), 30u);
    Trace over;
    EXPECT_EQ(RunCheck(&over, kAnswers, tooLong), 0);
    EXPECT_TRUE(over.lookups.empty());

    Trace longestQuery;
    EXPECT_EQ(RunCheck(&longestQuery, kAnswers, L"\\" + std::wstring(MAX_PATH - 2, L'w')), 0);
    EXPECT_TRUE(longestQuery.lookups.empty());
}

// ---------------------------------------------------------------------------
// The gate at the head of WinMain

int s_windowsAsked;
LRESULT CALLBACK RefuseWindows(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_CREATEWND) {
        ++s_windowsAsked;
        return 1;  // refused, so a gate that lets the program through cannot hang the test
    }
    return CallNextHookEx(NULL, code, wParam, lParam);
}

TEST_F(DeviceCheck, OnAnotherDeviceWinMainEndsWithZeroBeforeAnyClassWindowOrWrite)
{
    HINSTANCE self = GetModuleHandleW(NULL);
    ASSERT_EQ(FindWindowW(NULL, L"Registry"), nullptr);
    UnregisterClassW(L"Registry", self);
    WriteDword(HKEY_LOCAL_MACHINE, L"Comm", L"BootCount", 7);
    std::wstring folder = Folder(L"other", L"PadRelay.dll");

    s_windowsAsked = 0;
    HHOOK hook = SetWindowsHookExW(WH_CBT, RefuseWindows, NULL, GetCurrentThreadId());
    Trace t;
    int code;
    {
        Tracing tracing(&t, kAnswers, folder);
        code = WinMain(self, NULL, const_cast<LPWSTR>(L""), SW_SHOWNORMAL);
    }
    UnhookWindowsHookEx(hook);

    EXPECT_EQ(code, 0);
    EXPECT_EQ(t.lookups, Finds(folder, 3)) << "the check ran, and failed on PadRelay.dll";
    EXPECT_EQ(s_windowsAsked, 0);
    WNDCLASSW wc;
    EXPECT_FALSE(GetClassInfoW(self, L"Registry", &wc)) << "the main class was registered";
    DWORD bootCount = 0;
    EXPECT_TRUE(ReadDword(HKEY_LOCAL_MACHINE, L"Comm", L"BootCount", &bootCount));
    EXPECT_EQ(bootCount, 7u);
    EXPECT_FALSE(TakeQuit());
}

}  // namespace
