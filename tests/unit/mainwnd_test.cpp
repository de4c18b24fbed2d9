// The main window: class, placement, controls, boot counter, painting and the routing
// of every command.
#include "resource.h"
#include "support.h"

#include <gtest/gtest.h>

namespace {

const wchar_t kComm[] = L"Comm";

// Child windows as CreateWindowEx was asked for them, in creation order.
struct Created {
    std::wstring cls, text;
    LONG style;
    DWORD exStyle;
    int x, y, cx, cy;
    INT_PTR id;
    HWND parent;
    HINSTANCE instance;
};
std::vector<Created> *s_created;

LRESULT CALLBACK CreationHook(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_CREATEWND && s_created) {
        const CREATESTRUCTW *cs = ((CBT_CREATEWNDW *)lParam)->lpcs;
        if (cs->style & WS_CHILD) {
            Created c{IS_INTRESOURCE(cs->lpszClass) ? L"#atom" : cs->lpszClass,
                      cs->lpszName ? cs->lpszName : L"",
                      cs->style,
                      cs->dwExStyle,
                      cs->x,
                      cs->y,
                      cs->cx,
                      cs->cy,
                      (INT_PTR)cs->hMenu,
                      cs->hwndParent,
                      cs->hInstance};
            s_created->push_back(c);
        }
    }
    return CallNextHookEx(NULL, code, wParam, lParam);
}

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(FindWindowW(NULL, L"Registry"), nullptr) << "a main window was left over";
        instance = GetModuleHandleW(NULL);
    }
    void TearDown() override
    {
        if (IsWindow(hwnd))
            DestroyWindow(hwnd);
        TakeQuit();
    }
    void Create()
    {
        ASSERT_TRUE(CreateMainWindow(instance, SW_SHOWNORMAL));
        hwnd = FindWindowW(L"Registry", L"Registry");
        ASSERT_NE(hwnd, nullptr);
    }
    HINSTANCE instance = NULL;
    HWND hwnd = NULL;
};

TEST_F(MainWindow, ClassIsRegisteredWithItsValues)
{
    Create();
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    ASSERT_TRUE(GetClassInfoExW(instance, L"Registry", &wc));
    EXPECT_EQ(wc.style, (UINT)(CS_HREDRAW | CS_VREDRAW));
    EXPECT_EQ(wc.lpfnWndProc, MainWndProc);
    EXPECT_EQ(wc.cbClsExtra, 0);
    EXPECT_EQ(wc.cbWndExtra, 0);
    EXPECT_EQ(wc.hInstance, instance);
    EXPECT_EQ(wc.hIcon, LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP)));
    EXPECT_NE(wc.hIcon, nullptr);
    EXPECT_EQ(wc.hCursor, nullptr);
    EXPECT_EQ(wc.hbrBackground, (HBRUSH)GetStockObject(WHITE_BRUSH));
    EXPECT_EQ(wc.lpszMenuName, nullptr);
    EXPECT_EQ(g_hInstance, instance);
}

TEST_F(MainWindow, IsPlacedAndStyledAsTheHandheldShowsIt)
{
    Create();
    RECT rc;
    GetWindowRect(hwnd, &rc);
    EXPECT_EQ(rc.left, 77);
    EXPECT_EQ(rc.top, 113);
    EXPECT_EQ(rc.right - rc.left, 85);
    EXPECT_EQ(rc.bottom - rc.top, 88);

    wchar_t title[100];
    GetWindowTextW(hwnd, title, 100);
    EXPECT_STREQ(title, L"Registry");

    LONG style = GetWindowLongW(hwnd, GWL_STYLE);
    EXPECT_EQ(style & (WS_VISIBLE | WS_CAPTION), WS_VISIBLE | WS_CAPTION);
    EXPECT_EQ(style & (WS_SYSMENU | WS_THICKFRAME | WS_POPUP | WS_CHILD | WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0);
    // The platform adds WS_EX_WINDOWEDGE to captioned windows; nothing else is set.
    EXPECT_EQ(GetWindowLongW(hwnd, GWL_EXSTYLE) & ~WS_EX_WINDOWEDGE, 0);
    EXPECT_EQ(GetParent(hwnd), nullptr);
    EXPECT_EQ(GetMenu(hwnd), nullptr);
    EXPECT_EQ((HINSTANCE)GetWindowLongPtrW(hwnd, GWLP_HINSTANCE), instance);

    // A one-pixel border: the 83-pixel frame control spans the client area exactly.
    RECT client;
    GetClientRect(hwnd, &client);
    EXPECT_EQ(client.right, 83);
    EXPECT_EQ(client.bottom, 63);
}

TEST_F(MainWindow, CreatesSaveDeleteAndFrameInOrder)
{
    std::vector<Created> created;
    s_created = &created;
    HHOOK hook = SetWindowsHookExW(WH_CBT, CreationHook, NULL, GetCurrentThreadId());
    Create();
    UnhookWindowsHookEx(hook);
    s_created = nullptr;

    struct Expected {
        const wchar_t *text;
        LONG style;
        int x, y, cx, cy;
        INT_PTR id;
    } const expected[] = {
        {L"Save", 0x50020000, 5, 5, 76, 25, IDC_SAVE},
        {L"Delete", 0x50000000, 5, 33, 76, 25, IDC_DELETE},
        {L"", 0x50000007, 0, -7, 83, 70, 0},
    };
    ASSERT_EQ(created.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(lstrcmpiW(created[i].cls.c_str(), L"BUTTON"), 0);
        EXPECT_EQ(created[i].text, expected[i].text);
        EXPECT_EQ(created[i].style, expected[i].style);
        EXPECT_EQ(created[i].exStyle, 0u);
        EXPECT_EQ(created[i].x, expected[i].x);
        EXPECT_EQ(created[i].y, expected[i].y);
        EXPECT_EQ(created[i].cx, expected[i].cx);
        EXPECT_EQ(created[i].cy, expected[i].cy);
        EXPECT_EQ(created[i].id, expected[i].id);
        EXPECT_EQ(created[i].parent, hwnd);
        EXPECT_EQ(created[i].instance, instance);
    }
    // And the controls really are there, where the table puts them.
    HWND save = GetDlgItem(hwnd, IDC_SAVE);
    ASSERT_NE(save, nullptr);
    RECT rc;
    GetWindowRect(save, &rc);
    MapWindowPoints(NULL, hwnd, (POINT *)&rc, 2);
    EXPECT_EQ(rc.left, 5);
    EXPECT_EQ(rc.top, 5);
}

TEST_F(MainWindow, CreationResetsBootCount)
{
    WriteDword(HKEY_LOCAL_MACHINE, kComm, L"BootCount", 7);
    Create();
    DWORD value = 99;
    ASSERT_TRUE(ReadDword(HKEY_LOCAL_MACHINE, kComm, L"BootCount", &value));
    EXPECT_EQ(value, 0u);
}

TEST(ResetBootCount, WritesZeroThroughAnOpenWithNoAccess)
{
    // The open asks for no access at all; the handheld still lets it write.
    WriteDword(HKEY_LOCAL_MACHINE, kComm, L"BootCount", 5);
    ResetBootCount();
    DWORD value = 99;
    ASSERT_TRUE(ReadDword(HKEY_LOCAL_MACHINE, kComm, L"BootCount", &value));
    EXPECT_EQ(value, 0u);

    // A missing value is created.
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kComm, L"BootCount");
    ResetBootCount();
    ASSERT_TRUE(ReadDword(HKEY_LOCAL_MACHINE, kComm, L"BootCount", &value));
    EXPECT_EQ(value, 0u);
}

TEST(ResetBootCount, WithoutCommWritesNothing)
{
    ASSERT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, kComm), ERROR_SUCCESS);
    ResetBootCount();
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kComm));
    WriteDword(HKEY_LOCAL_MACHINE, kComm, L"BootCount", 1);
}

TEST_F(MainWindow, PaintDrawsNothingAndValidates)
{
    Create();
    UpdateWindow(hwnd);
    InvalidateRect(hwnd, NULL, TRUE);
    Recorder rec(hwnd);
    UpdateWindow(hwnd);
    std::vector<Event> expected = {
        Msg("WM_PAINT"),
        Call("BeginPaint", (UINT_PTR)hwnd),
        Call("GetClientRect", (UINT_PTR)hwnd),
        Call("EndPaint", (UINT_PTR)hwnd),
    };
    EXPECT_EQ(rec.events, expected);
    RECT update;
    EXPECT_FALSE(GetUpdateRect(hwnd, &update, FALSE));
}

// Each row of the routing table, as the sequence of messages and calls it causes.
struct Route {
    const char *name;
    WORD code;
    WORD id;
    enum { Destroys, Default, CommandThenDestroys, About } action;
};

const Route kRoutes[] = {
    {"ClickSave", BN_CLICKED, IDC_SAVE, Route::CommandThenDestroys},
    {"ClickDelete", BN_CLICKED, IDC_DELETE, Route::CommandThenDestroys},
    {"ClickOtherId", BN_CLICKED, 4242, Route::Destroys},
    {"ClickWithExitId", BN_CLICKED, IDM_EXIT, Route::Destroys},
    {"AcceleratorExit", 1, IDM_EXIT, Route::Destroys},
    {"OtherNotificationExit", 0x0300, IDM_EXIT, Route::Destroys},
    {"AcceleratorAbout", 1, IDM_ABOUT, Route::About},
    {"AcceleratorSaveId", 1, IDC_SAVE, Route::Default},
    {"AcceleratorDeleteId", 1, IDC_DELETE, Route::Default},
    {"AcceleratorOtherId", 1, 4242, Route::Default},
    {"OtherNotificationSaveId", BN_SETFOCUS, IDC_SAVE, Route::Default},
};

class Routing : public MainWindow, public ::testing::WithParamInterface<Route> {};

TEST_P(Routing, RoutesTheCommand)
{
    const Route &r = GetParam();
    Create();
    WPARAM wParam = MAKEWPARAM(r.id, r.code);
    LPARAM lParam = r.code == BN_CLICKED && r.id < 1000 ? (LPARAM)GetDlgItem(hwnd, r.id) : 0;
    std::vector<Event> expected = {Msg("WM_COMMAND", wParam, lParam)};
    bool destroys = r.action == Route::Destroys || r.action == Route::CommandThenDestroys;
    if (r.action == Route::CommandThenDestroys) {
        // Save and Delete each show their box (no owner, plain OK) before the window goes.
        expected.push_back(Call("MessageBoxW", 0, MB_OK));
    } else if (r.action == Route::About) {
        // Modal, owned by the main window, creation parameter 0, centred on the main
        // window's client area.
        expected.push_back(Call("DialogBoxIndirectParamW", (UINT_PTR)hwnd, 0));
        expected.push_back(Call("GetClientRect", (UINT_PTR)hwnd));
    } else if (r.action == Route::Default) {
        expected.push_back(Call("DefWindowProcW(WM_COMMAND)", wParam, lParam));
    }
    if (destroys) {
        expected.push_back(Call("DestroyWindow", (UINT_PTR)hwnd));
        expected.push_back(Msg("WM_DESTROY"));
        expected.push_back(Call("PostQuitMessage", 0));
    }

    // Message boxes and the About box are modal: they are ended from inside their loop.
    DialogWatcher closer([](HWND dlg) { PostMessageW(dlg, WM_COMMAND, IDCANCEL, 0); });
    Recorder rec(hwnd);
    LRESULT result = SendMessageW(hwnd, WM_COMMAND, wParam, lParam);
    EXPECT_EQ(rec.events, expected);
    EXPECT_EQ(result, 0);

    int code = -1;
    EXPECT_EQ(IsWindow(hwnd), !destroys);
    EXPECT_EQ(TakeQuit(&code), destroys);
    if (destroys) {
        EXPECT_EQ(code, 0);
    }
    bool modal = r.action == Route::About || r.action == Route::CommandThenDestroys;
    EXPECT_EQ(closer.dialogs.size(), modal ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Rows, Routing, ::testing::ValuesIn(kRoutes),
                         [](const ::testing::TestParamInfo<Route> &info) { return std::string(info.param.name); });

TEST_F(MainWindow, AnyWindowWithTheTitleCountsAsARunningCopy)
{
    // A hidden copy is shown; a visible one behind another window comes forward.
    for (DWORD visible : {(DWORD)0, (DWORD)WS_VISIBLE}) {
        // Not our class, and another case: the title comparison decides.
        HWND other = CreateWindowExW(0, L"STATIC", L"REGISTRY", WS_OVERLAPPED | visible, 0, 0, 50, 50, NULL, NULL,
                                     NULL, NULL);
        ASSERT_NE(other, nullptr);
        HWND front = CreateWindowExW(0, L"STATIC", L"front", WS_OVERLAPPED | WS_VISIBLE, 60, 0, 50, 50, NULL, NULL,
                                     NULL, NULL);
        ASSERT_TRUE(SetForegroundWindow(front));
        WriteDword(HKEY_LOCAL_MACHINE, kComm, L"BootCount", 3);

        EXPECT_FALSE(CreateMainWindow(instance, SW_SHOWNORMAL));
        EXPECT_EQ(FindWindowW(L"Registry", NULL), nullptr) << "a second main window was created";
        EXPECT_TRUE(IsWindowVisible(other)) << "the running copy was not shown";
        EXPECT_EQ(GetForegroundWindow(), other) << "the running copy was not brought forward";
        DWORD value = 0;
        ASSERT_TRUE(ReadDword(HKEY_LOCAL_MACHINE, kComm, L"BootCount", &value));
        EXPECT_EQ(value, 3u) << "a second start wrote the boot counter";
        DestroyWindow(front);
        DestroyWindow(other);
    }
}

}  // namespace
