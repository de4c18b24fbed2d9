// Save and Delete: the save-lock flag, the flush, the hive file, and what the user is
// told, including the cases where a plain check of the file would lie.
#include "resource.h"
#include "support.h"

#include <gtest/gtest.h>

namespace {

const wchar_t kLock[] = L"SYSTEM\\ORV\\REGLock";
const wchar_t kHive[] = L"\\Flash Disk\\registry.dat";
const wchar_t kSaveDone[] = L"Registry Save Complete!";
const wchar_t kSaveFail[] = L"Registry Fail! After Reset PDA, Retry again!";
const wchar_t kDeleteDone[] = L"Registry Delete Complete!";
const wchar_t kDeleteFail[] = L"Registry Delete Fail! After Reset PDA, Retry again!";

std::wstring HostHive()
{
    return std::wstring(L"C:") + kHive;
}

std::string ReadAll(const std::wstring &path)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return std::string();
    std::string data(GetFileSize(h, NULL), '\0');
    DWORD n;
    ReadFile(h, &data[0], (DWORD)data.size(), &n, NULL);
    CloseHandle(h);
    return data;
}

class Commands : public ::testing::Test {
protected:
    void SetUp() override
    {
        DeleteFileW(HostHive().c_str());
        WriteDword(HKEY_LOCAL_MACHINE, kLock, L"EnableSave", 0);
    }
    void TearDown() override { DeleteFileW(HostHive().c_str()); }

    // Runs one command and returns the one box it showed, which must be whole on the
    // handheld's screen, in its frame, with its one button under the text.
    BoxWatcher::Box Run(void (*command)(void))
    {
        BoxWatcher boxes;
        command();
        EXPECT_EQ(boxes.boxes.size(), 1u);
        if (boxes.boxes.empty())
            return BoxWatcher::Box();
        const BoxWatcher::Box &box = boxes.boxes[0];
        ExpectWholeOnScreen(box);
        return box;
    }

    static void ExpectWholeOnScreen(const BoxWatcher::Box &box)
    {
        SCOPED_TRACE(testing::Message() << "box \"" << std::string(box.text.begin(), box.text.end()) << "\"");
        const RECT screen = {0, 0, 240, 320};
        EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), screen.right);
        EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), screen.bottom);
        EXPECT_TRUE(Inside(box.rect, screen)) << "the box at " << box.rect.left << "," << box.rect.top << " - "
                                              << box.rect.right << "," << box.rect.bottom << " leaves the screen";
        // The handheld's frame: one pixel round a 23-pixel caption and the client area.
        EXPECT_EQ(box.client.left - box.rect.left, 1);
        EXPECT_EQ(box.rect.right - box.client.right, 1);
        EXPECT_EQ(box.rect.bottom - box.client.bottom, 1);
        EXPECT_EQ(box.client.top - box.rect.top, 24);
        EXPECT_TRUE(Inside(box.textRect, box.client)) << "the text leaves the box";
        EXPECT_EQ(box.owner, nullptr) << "the box has an owner, which it would disable";
        ASSERT_EQ(box.buttons.size(), 1u);
        const BoxWatcher::Button &ok = box.buttons[0];
        EXPECT_EQ(ok.id, IDOK);
        EXPECT_EQ(ok.label, L"OK");
        EXPECT_TRUE(ok.focus);
        EXPECT_TRUE(Inside(ok.rect, box.client));
        EXPECT_GE(ok.rect.top, box.textRect.bottom) << "the button is not under the text";
        EXPECT_LE(abs((ok.rect.left - box.client.left) - (box.client.right - ok.rect.right)), 1) << "not centred";
    }
};

DWORD EnableSave()
{
    DWORD v = 99;
    return ReadDword(HKEY_LOCAL_MACHINE, kLock, L"EnableSave", &v) ? v : 99;
}

TEST_F(Commands, SaveSetsTheFlagFlushesAndReportsSuccess)
{
    BoxWatcher::Box box = Run(SaveRegistry);
    EXPECT_EQ(box.caption, L"Save OK");
    EXPECT_EQ(box.text, kSaveDone);
    EXPECT_EQ(EnableSave(), 1u);
    EXPECT_TRUE(DeviceFileExists(kHive));
}

TEST_F(Commands, SaveCreatesAMissingSaveLockKey)
{
    ASSERT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, kLock), ERROR_SUCCESS);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kLock);
    ASSERT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kLock));
    BoxWatcher::Box box = Run(SaveRegistry);
    EXPECT_EQ(box.text, kSaveDone);
    EXPECT_EQ(EnableSave(), 1u);
}

// A hive left by an earlier save must not turn a failed save into a success.
LONG WINAPI FailingFlush(HKEY)
{
    return ERROR_WRITE_FAULT;
}
LONG WINAPI FailingSetValue(HKEY, LPCWSTR, DWORD, DWORD, const BYTE *, DWORD)
{
    return ERROR_ACCESS_DENIED;
}
LONG WINAPI FailingCreate(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY, LPDWORD)
{
    return ERROR_ACCESS_DENIED;
}
int s_flushes;
// Reports success but writes nothing.
LONG WINAPI CountingFlush(HKEY)
{
    ++s_flushes;
    return ERROR_SUCCESS;
}

TEST_F(Commands, StaleHiveWithAFailedFlushReportsFailure)
{
    WriteDeviceFile(kHive, "an earlier save");
    ImportHook flush("RegFlushKey", (void *)FailingFlush);
    BoxWatcher::Box box = Run(SaveRegistry);
    EXPECT_EQ(box.caption, L"Save OK");
    EXPECT_EQ(box.text, kSaveFail);
    EXPECT_TRUE(SameText(ReadAll(HostHive()), "an earlier save"));
}

TEST_F(Commands, StaleHiveWithTheFlagNotWrittenReportsFailure)
{
    WriteDeviceFile(kHive, "an earlier save");
    WriteDword(HKEY_LOCAL_MACHINE, kLock, L"EnableSave", 1);
    ImportHook set("RegSetValueExW", (void *)FailingSetValue);
    BoxWatcher::Box box = Run(SaveRegistry);
    EXPECT_EQ(box.text, kSaveFail);
}

TEST_F(Commands, AKeyThatCannotBeCreatedStillFlushesButReportsFailure)
{
    WriteDeviceFile(kHive, "an earlier save");
    s_flushes = 0;
    ImportHook create("RegCreateKeyExW", (void *)FailingCreate);
    ImportHook flush("RegFlushKey", (void *)CountingFlush);
    BoxWatcher::Box box = Run(SaveRegistry);
    EXPECT_EQ(s_flushes, 1);
    EXPECT_EQ(box.text, kSaveFail);
}

TEST_F(Commands, SaveWithoutAHiveAfterTheFlushReportsFailure)
{
    ImportHook flush("RegFlushKey", (void *)CountingFlush);
    BoxWatcher::Box box = Run(SaveRegistry);
    EXPECT_EQ(box.text, kSaveFail);
}

TEST_F(Commands, DeleteRemovesTheHiveAndKeepsTheFlag)
{
    for (DWORD flag : {0u, 1u}) {
        WriteDword(HKEY_LOCAL_MACHINE, kLock, L"EnableSave", flag);
        WriteDeviceFile(kHive, "saved");
        BoxWatcher::Box box = Run(DeleteRegistry);
        EXPECT_EQ(box.caption, L"Delete OK");
        EXPECT_EQ(box.text, kDeleteDone);
        EXPECT_FALSE(DeviceFileExists(kHive));
        EXPECT_EQ(EnableSave(), flag);
    }
}

TEST_F(Commands, DeleteWithNoHiveReportsCompletion)
{
    ASSERT_FALSE(DeviceFileExists(kHive));
    BoxWatcher::Box box = Run(DeleteRegistry);
    EXPECT_EQ(box.caption, L"Delete OK");
    EXPECT_EQ(box.text, kDeleteDone);
}

TEST_F(Commands, AHiveThatCannotBeDeletedReportsFailureAndIsKept)
{
    WriteDeviceFile(kHive, "saved");
    // Held open without delete sharing, as by another program reading it.
    HANDLE held = CreateFileW(HostHive().c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    BoxWatcher::Box box = Run(DeleteRegistry);
    CloseHandle(held);
    EXPECT_EQ(box.caption, L"Delete OK");
    EXPECT_EQ(box.text, kDeleteFail);
    EXPECT_TRUE(SameText(ReadAll(HostHive()), "saved"));
}

// Every search the commands start is closed again: a handle left open would keep the
// hive's folder busy on the handheld.
std::vector<HANDLE> s_searches;
HANDLE(WINAPI *s_findFirst)(LPCWSTR, LPWIN32_FIND_DATAW);
BOOL(WINAPI *s_findClose)(HANDLE);
HANDLE WINAPI RecFindFirstFileW(LPCWSTR name, LPWIN32_FIND_DATAW data)
{
    HANDLE h = s_findFirst(name, data);
    if (h != INVALID_HANDLE_VALUE)
        s_searches.push_back(h);
    return h;
}
BOOL WINAPI RecFindClose(HANDLE h)
{
    for (size_t i = 0; i < s_searches.size(); ++i) {
        if (s_searches[i] == h) {
            s_searches.erase(s_searches.begin() + i);
            break;
        }
    }
    return s_findClose(h);
}

TEST_F(Commands, EverySearchIsClosed)
{
    ImportHook first("FindFirstFileW", (void *)RecFindFirstFileW);
    ImportHook close("FindClose", (void *)RecFindClose);
    s_findFirst = first.Original<decltype(s_findFirst)>();
    s_findClose = close.Original<decltype(s_findClose)>();
    s_searches.clear();
    WriteDword(HKEY_LOCAL_MACHINE, kLock, L"EnableSave", 1);
    EXPECT_EQ(Run(SaveRegistry).text, kSaveDone);
    EXPECT_TRUE(s_searches.empty()) << "Save left a search open";
    HANDLE held = CreateFileW(HostHive().c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    EXPECT_EQ(Run(DeleteRegistry).text, kDeleteFail);
    CloseHandle(held);
    EXPECT_TRUE(s_searches.empty()) << "Delete left a search open";
}

// Only paths that start with one backslash are the device's; "\\?\" and "\\server"
// names go to the platform as they are.
TEST_F(Commands, OtherPathsReachThePlatformUnchanged)
{
    WriteDeviceFile(kHive, "saved");
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(L"\\\\?\\C:\\Flash Disk\\registry.dat", &fd);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << "a \\\\?\\ path was changed on its way";
    FindClose(h);
    // A folder C:\server\share would be found if "\\server\share" were taken as C:'s.
    CreateDirectoryW(L"C:\\server", NULL);
    CreateDirectoryW(L"C:\\server\\share", NULL);
    EXPECT_EQ(FindFirstFileW(L"\\\\server\\share", &fd), INVALID_HANDLE_VALUE) << "a \\\\server path was taken as C:'s";
    RemoveDirectoryW(L"C:\\server\\share");
    RemoveDirectoryW(L"C:\\server");
    EXPECT_TRUE(DeleteFileW(L"\\\\?\\C:\\Flash Disk\\registry.dat"));
    EXPECT_FALSE(DeviceFileExists(kHive));
}

// A second tap while the first command's box is up runs inside that box's modal loop;
// the first destroy ends the program, the later one finds no window, and the program
// still exits with 0.
HWND s_main;
VOID CALLBACK TapSave(HWND, UINT, UINT_PTR id, DWORD)
{
    KillTimer(NULL, id);
    s_main = FindWindowW(L"Registry", L"Registry");
    PostMessageW(GetDlgItem(s_main, IDC_SAVE), BM_CLICK, 0, 0);
}

TEST(Program, ASecondTapDuringTheFirstBoxStillExitsWithZero)
{
    DeleteFileW(HostHive().c_str());
    ASSERT_EQ(FindWindowW(NULL, L"Registry"), nullptr);
    std::vector<Event> destroys;
    bool mainEnabled = false;
    BoxWatcher boxes([&](int index) {
        if (index == 0) {
            mainEnabled = IsWindowEnabled(s_main) != FALSE;
            PostMessageW(GetDlgItem(s_main, IDC_DELETE), BM_CLICK, 0, 0);
        }
    });
    Recorder rec;
    SetTimer(NULL, 0, 0, TapSave);
    int code = WinMain(GetModuleHandleW(NULL), NULL, const_cast<LPWSTR>(L""), SW_SHOWNORMAL);
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(mainEnabled) << "the box, which has no owner, disabled the main window";
    ASSERT_EQ(boxes.boxes.size(), 2u);
    EXPECT_EQ(boxes.boxes[0].caption, L"Save OK");
    EXPECT_EQ(boxes.boxes[1].caption, L"Delete OK");
    EXPECT_EQ(boxes.boxes[1].text, kDeleteDone);
    for (const Event &e : rec.events) {
        if (e.kind == Event::Call && e.name == "DestroyWindow")
            destroys.push_back(e);
    }
    EXPECT_EQ(destroys.size(), 2u) << "each command ends with a destroy of the main window";
    EXPECT_FALSE(IsWindow(s_main));
    DeleteFileW(HostHive().c_str());
}

}  // namespace
