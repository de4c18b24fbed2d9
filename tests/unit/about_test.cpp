// The About box: its template, its placement rule, the commands that end it, and
// running it over an owner.
#include "resource.h"
#include "support.h"

#include <gtest/gtest.h>

namespace {

HINSTANCE Self()
{
    return GetModuleHandleW(NULL);
}

// ---------------------------------------------------------------------------
// The template as the resource holds it

// Reads a dialog template field by field; a name-or-ordinal field that holds an
// ordinal reads as "#N".
struct TemplateReader {
    const WORD *p, *begin;
    WORD Word() { return *p++; }
    short Short() { return (short)*p++; }
    DWORD Dword()
    {
        DWORD lo = Word();
        return lo | ((DWORD)Word() << 16);
    }
    std::wstring String()
    {
        std::wstring s;
        while (*p)
            s += (wchar_t)*p++;
        ++p;
        return s;
    }
    std::wstring NameOrOrdinal()
    {
        if (*p != 0xFFFF)
            return String();
        p += 2;
        return L"#" + std::to_wstring(p[-1]);
    }
    void AlignDword() { p += (p - begin) & 1; }
};

TEST(AboutTemplate, MatchesItsTableFieldByField)
{
    HRSRC res = FindResourceExW(Self(), RT_DIALOG, MAKEINTRESOURCEW(IDD_ABOUT),
                                MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_NE(res, nullptr);
    const WORD *raw = (const WORD *)LockResource(LoadResource(Self(), res));
    ASSERT_NE(raw, nullptr);
    TemplateReader t = {raw, raw};

    // The standard form: it starts with the style, not with version 1 and 0xFFFF.
    EXPECT_EQ(t.Dword(), 0x80C800C0u) << "style";
    EXPECT_EQ(t.Dword(), 0x80000000u) << "extended style";
    EXPECT_EQ(t.Word(), 3) << "control count";
    EXPECT_EQ(t.Short(), 0);
    EXPECT_EQ(t.Short(), 0);
    EXPECT_EQ(t.Short(), 125);
    EXPECT_EQ(t.Short(), 55);
    EXPECT_EQ(t.NameOrOrdinal(), L"") << "menu";
    EXPECT_EQ(t.NameOrOrdinal(), L"") << "window class";
    EXPECT_EQ(t.String(), L"About QM410WLan");
    EXPECT_EQ(t.Word(), 8) << "point size";
    EXPECT_EQ(t.String(), L"System");

    struct Control {
        DWORD style;
        short x, y, cx, cy;
        const wchar_t *text;  // nullptr: the maker's notice, any text
    } const controls[] = {
        {0x50000003, 11, 17, 20, 20, L"#101"},
        {0x50020080, 38, 10, 70, 8, L"QM410WLan Version 1.0"},
        {0x50020000, 38, 25, 70, 8, nullptr},
    };
    for (const Control &c : controls) {
        SCOPED_TRACE(c.style);
        t.AlignDword();
        EXPECT_EQ(t.Dword(), c.style);
        EXPECT_EQ(t.Dword(), 0u) << "extended style";
        EXPECT_EQ(t.Short(), c.x);
        EXPECT_EQ(t.Short(), c.y);
        EXPECT_EQ(t.Short(), c.cx);
        EXPECT_EQ(t.Short(), c.cy);
        EXPECT_EQ(t.Word(), 0xFFFF) << "id";
        std::wstring cls = t.NameOrOrdinal();
        EXPECT_TRUE(cls == L"#130" || !lstrcmpiW(cls.c_str(), L"Static")) << "class";
        std::wstring text = t.NameOrOrdinal();
        if (c.text)
            EXPECT_EQ(text, c.text);
        else
            EXPECT_FALSE(text.empty()) << "the maker's notice";
        EXPECT_EQ(t.Word(), 0) << "creation data";
    }
    EXPECT_EQ((t.p - raw) * sizeof(WORD), SizeofResource(Self(), res)) << "nothing after the controls";
}

// ---------------------------------------------------------------------------
// Placement

// A top-level window whose client area has the given size, at a place of its own, so
// that a dialog placed relative to the screen and one placed relative to the parent
// land in different spots.
HWND CreateParent(int clientWidth, int clientHeight)
{
    DWORD style = WS_POPUP | WS_DLGFRAME | WS_VISIBLE;
    RECT rc = {0, 0, clientWidth, clientHeight};
    AdjustWindowRectEx(&rc, style, FALSE, 0);
    return CreateWindowExW(0, L"STATIC", L"parent", style, 30, 40, rc.right - rc.left, rc.bottom - rc.top, NULL,
                           NULL, NULL, NULL);
}

// A framed popup owned by the parent, whose window and client sizes differ.
HWND CreateDialogWindow(HWND owner, int width, int height)
{
    return CreateWindowExW(0, L"STATIC", L"dialog", WS_POPUP | WS_DLGFRAME, 5, 6, width, height, owner, NULL, NULL,
                           NULL);
}

RECT WindowRect(HWND hWnd)
{
    RECT rc;
    GetWindowRect(hWnd, &rc);
    return rc;
}

struct Placement {
    const char *name;
    int parentWidth, parentHeight;  // the parent's client area
    int width, height;              // the dialog's window
    int x, y;                       // where it belongs, on the screen
};

const Placement kPlacements[] = {
    {"Smaller", 200, 100, 100, 50, 50, 25},
    {"OddDifferencesTruncate", 107, 57, 100, 50, 3, 3},
    {"Equal", 120, 80, 120, 80, 0, 0},
    {"WiderClampsX", 100, 100, 150, 50, 0, 25},
    {"TallerClampsY", 100, 100, 50, 150, 25, 0},
    {"LargerByAnOddAmountClampsBoth", 100, 100, 107, 107, 0, 0},
};

class Centring : public ::testing::TestWithParam<Placement> {};

TEST_P(Centring, PlacesTheDialogAtTheClientOffset)
{
    const Placement &p = GetParam();
    HWND parent = CreateParent(p.parentWidth, p.parentHeight);
    HWND dlg = CreateDialogWindow(parent, p.width, p.height);
    ASSERT_NE(dlg, nullptr);

    EXPECT_EQ(AboutDlgProc(dlg, WM_INITDIALOG, 0, 0), TRUE);
    RECT rc = WindowRect(dlg);
    EXPECT_EQ(rc.left, p.x);
    EXPECT_EQ(rc.top, p.y);
    EXPECT_EQ(rc.right - rc.left, p.width) << "resized";
    EXPECT_EQ(rc.bottom - rc.top, p.height) << "resized";
    DestroyWindow(dlg);
    DestroyWindow(parent);
}

void PrintTo(const Placement &p, std::ostream *os)
{
    *os << p.name;
}

INSTANTIATE_TEST_SUITE_P(Sizes, Centring, ::testing::ValuesIn(kPlacements),
                         [](const ::testing::TestParamInfo<Placement> &info) { return std::string(info.param.name); });

HWND s_failFor;
BOOL(WINAPI *s_getWindowRect)(HWND, RECT *);
BOOL(WINAPI *s_getClientRect)(HWND, RECT *);

BOOL WINAPI FailingGetWindowRect(HWND hWnd, RECT *rc)
{
    if (hWnd == s_failFor)
        return FALSE;
    return s_getWindowRect(hWnd, rc);
}

// Fails, and leaves a rectangle behind that would place the dialog far from (0, 0).
BOOL WINAPI FailingGetClientRect(HWND hWnd, RECT *rc)
{
    if (hWnd == s_failFor) {
        SetRect(rc, 0, 0, 1000, 1000);
        return FALSE;
    }
    return s_getClientRect(hWnd, rc);
}

TEST(CentringFailures, WithoutItsOwnRectangleTheDialogStaysWhereItWas)
{
    HWND parent = CreateParent(200, 100);
    HWND dlg = CreateDialogWindow(parent, 100, 50);
    BOOL handled;
    {
        ImportHook hook("GetWindowRect", (void *)FailingGetWindowRect);
        s_getWindowRect = hook.Original<BOOL(WINAPI *)(HWND, RECT *)>();
        s_failFor = dlg;
        handled = (BOOL)AboutDlgProc(dlg, WM_INITDIALOG, 0, 0);
        s_failFor = NULL;
    }
    EXPECT_EQ(handled, TRUE) << "the platform still sets the default focus";
    RECT rc = WindowRect(dlg);
    EXPECT_EQ(rc.left, 5);
    EXPECT_EQ(rc.top, 6);
    DestroyWindow(dlg);
    DestroyWindow(parent);
}

TEST(CentringFailures, WithoutTheParentsClientAreaTheDialogGoesToTheCorner)
{
    HWND parent = CreateParent(400, 300);
    HWND dlg = CreateDialogWindow(parent, 100, 50);
    {
        ImportHook hook("GetClientRect", (void *)FailingGetClientRect);
        s_getClientRect = hook.Original<BOOL(WINAPI *)(HWND, RECT *)>();
        s_failFor = parent;
        EXPECT_EQ(AboutDlgProc(dlg, WM_INITDIALOG, 0, 0), TRUE);
        s_failFor = NULL;
    }
    RECT rc = WindowRect(dlg);
    EXPECT_EQ(rc.left, 0);
    EXPECT_EQ(rc.top, 0);
    DestroyWindow(dlg);

    // The same without any owner to ask.
    dlg = CreateDialogWindow(NULL, 100, 50);
    EXPECT_EQ(AboutDlgProc(dlg, WM_INITDIALOG, 0, 0), TRUE);
    rc = WindowRect(dlg);
    EXPECT_EQ(rc.left, 0);
    EXPECT_EQ(rc.top, 0);
    DestroyWindow(dlg);
    DestroyWindow(parent);
}

// ---------------------------------------------------------------------------
// Commands and the running box

LPCDLGTEMPLATEW AboutTemplate()
{
    HRSRC res = FindResourceW(Self(), MAKEINTRESOURCEW(IDD_ABOUT), RT_DIALOG);
    return (LPCDLGTEMPLATEW)LoadResource(Self(), res);
}

// Runs the About box from the resources with AboutDlgProc, posts these commands to
// it once it is up, and returns its result.
INT_PTR RunWithCommands(HWND owner, std::vector<WPARAM> commands)
{
    DialogWatcher watcher([&](HWND dlg) {
        for (WPARAM w : commands)
            PostMessageW(dlg, WM_COMMAND, w, 0);
    });
    return DialogBoxIndirectParamW(Self(), AboutTemplate(), owner, AboutDlgProc, 0);
}

TEST(AboutCommands, OkAndCancelEndTheBoxWithTheirIdsWhateverTheHighWord)
{
    HWND owner = CreateParent(200, 150);
    for (WORD id : {IDOK, IDCANCEL}) {
        for (WORD code : {0, 1, 0x0300, 0xFFFF}) {
            SCOPED_TRACE(testing::Message() << "id " << id << " code " << code);
            EXPECT_EQ(RunWithCommands(owner, {MAKEWPARAM(id, code)}), id);
        }
    }
    DestroyWindow(owner);
}

TEST(AboutCommands, OtherCommandsAreNotHandled)
{
    const WPARAM others[] = {0, 3, MAKEWPARAM(0, IDOK), MAKEWPARAM(IDM_ABOUT, 1), MAKEWPARAM(IDC_SAVE, 0), 0xFFFF};
    HWND plain = CreateParent(10, 10);
    for (WPARAM w : others)
        EXPECT_EQ(AboutDlgProc(plain, WM_COMMAND, w, 0), FALSE) << std::hex << w;
    for (UINT msg : {WM_CLOSE, WM_PAINT, WM_SETFOCUS, WM_SYSCOMMAND, WM_NOTIFY, WM_DESTROY})
        EXPECT_EQ(AboutDlgProc(plain, msg, IDOK, 0), FALSE) << std::hex << msg;

    // In a running box they leave it up: only the Cancel after them ends it.
    std::vector<WPARAM> commands(std::begin(others), std::end(others));
    commands.push_back(IDCANCEL);
    EXPECT_EQ(RunWithCommands(plain, commands), IDCANCEL);
    DestroyWindow(plain);
}

// The width a static control's text needs in the control's own font.
int TextWidth(HWND control)
{
    wchar_t text[100];
    int n = GetWindowTextW(control, text, 100);
    HDC hdc = GetDC(control);
    HGDIOBJ old = SelectObject(hdc, (HFONT)SendMessageW(control, WM_GETFONT, 0, 0));
    SIZE size = {0, 0};
    GetTextExtentPoint32W(hdc, text, n, &size);
    SelectObject(hdc, old);
    ReleaseDC(control, hdc);
    return size.cx;
}

TEST(AboutBox, RunsModallyOverItsOwnerCentredAndEndsOnOk)
{
    g_hInstance = Self();
    HWND owner = CreateParent(238, 200);
    RECT ownerClient;
    GetClientRect(owner, &ownerClient);

    struct Seen {
        std::wstring caption;
        HWND ownerOf;
        bool ownerEnabled;
        RECT rc;
        int noticeWidth, noticeRoom;
    } seen = {};
    DialogWatcher watcher([&](HWND dlg) {
        wchar_t caption[100];
        GetWindowTextW(dlg, caption, 100);
        seen.caption = caption;
        seen.ownerOf = GetWindow(dlg, GW_OWNER);
        seen.ownerEnabled = IsWindowEnabled(owner) != FALSE;
        GetWindowRect(dlg, &seen.rc);
        // The maker's notice is the last control; it must fit on its one line.
        HWND notice = GetWindow(GetWindow(dlg, GW_CHILD), GW_HWNDLAST);
        RECT room;
        GetClientRect(notice, &room);
        seen.noticeWidth = TextWidth(notice);
        seen.noticeRoom = room.right;
        PostMessageW(dlg, WM_COMMAND, IDOK, 0);
    });
    ShowAboutBox(owner);

    ASSERT_EQ(watcher.dialogs.size(), 1u);
    EXPECT_EQ(seen.caption, L"About QM410WLan");
    EXPECT_EQ(seen.ownerOf, owner);
    EXPECT_FALSE(seen.ownerEnabled) << "the owner is disabled while the box is up";
    EXPECT_TRUE(IsWindowEnabled(owner)) << "and enabled again after";
    EXPECT_FALSE(IsWindow(watcher.dialogs[0]));
    EXPECT_LE(seen.noticeWidth, seen.noticeRoom);

    // Centred by the size it is shown at, at the client offset, on the screen.
    int width = seen.rc.right - seen.rc.left, height = seen.rc.bottom - seen.rc.top;
    ASSERT_LT(width, ownerClient.right);
    ASSERT_LT(height, ownerClient.bottom);
    EXPECT_EQ(seen.rc.left, (ownerClient.right - width) / 2);
    EXPECT_EQ(seen.rc.top, (ownerClient.bottom - height) / 2);
    DestroyWindow(owner);
}

TEST(AboutBox, WithoutItsTemplateShowsNothing)
{
    // A module without the template: the dialog call fails and nothing is shown.
    g_hInstance = GetModuleHandleW(L"COREDLL.dll");
    ASSERT_NE(g_hInstance, nullptr);
    HWND owner = CreateParent(200, 150);
    DialogWatcher watcher(nullptr);
    ShowAboutBox(owner);
    EXPECT_TRUE(watcher.dialogs.empty());
    EXPECT_TRUE(IsWindowEnabled(owner));
    g_hInstance = Self();
    DestroyWindow(owner);
}

}  // namespace
