// COREDLL's message boxes, laid out as the handheld lays them out: inside the screen,
// the text wrapped, in the handheld's frame, with the desktop box's buttons, keys and
// results.
#include "support.h"

#include <gtest/gtest.h>

namespace boxes {

typedef int(WINAPI *MessageBoxFn)(HWND, LPCWSTR, LPCWSTR, UINT);

// The desktop's own box, which COREDLL's replaces: the measure of "as before".
MessageBoxFn DesktopMessageBox()
{
    return (MessageBoxFn)(void *)GetProcAddress(GetModuleHandleW(L"user32.dll"), "MessageBoxW");
}

const RECT kScreen = {0, 0, 240, 320};

const wchar_t kDeleteFail[] = L"Registry Delete Fail! After Reset PDA, Retry again!";
const wchar_t kLongText[] =
    L"The registry could not be written to the flash disk because the disk is full or was removed while the "
    L"handheld saved it. Free some room on the flash disk, or put it back, reset the handheld and save again.";
const wchar_t kLongWord[] = L"\\Flash Disk\\Backups\\RegistryBackupFromTheLastSuccessfulSaveBeforeReset.dat";

// What a control draws, in a bitmap of its client size: the pixels that differ from
// background, and the bands of rows they fall in (a line of text each).
struct Ink {
    long pixels = 0;
    int bands = 0;
};

Ink InkOf(HWND control, COLORREF *background)
{
    RECT rc;
    GetClientRect(control, &rc);
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = rc.right;
    bi.bmiHeader.biHeight = -rc.bottom;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void *bits = nullptr;
    HDC screen = GetDC(control);
    HDC mem = CreateCompatibleDC(screen);
    HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, NULL, 0);
    HGDIOBJ old = SelectObject(mem, bmp);
    SendMessageW(control, WM_PRINTCLIENT, (WPARAM)mem, PRF_CLIENT | PRF_ERASEBKGND);
    GdiFlush();
    const DWORD *px = (const DWORD *)bits;
    // The last pixel of a drawing with room to spare is background.
    if (background && *background == CLR_INVALID)
        *background = px[rc.right * rc.bottom - 1];
    Ink ink;
    bool inBand = false;
    for (int y = 0; y < rc.bottom; ++y) {
        int row = 0;
        for (int x = 0; x < rc.right; ++x)
            row += px[y * rc.right + x] != *background;
        ink.pixels += row;
        if (row && !inBand)
            ++ink.bands;
        inBand = row != 0;
    }
    SelectObject(mem, old);
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(control, screen);
    return ink;
}

// What a box's text control draws where it is, and what the same control draws with
// room to spare on every side: equal when no part of the text is cut off.
struct TextInk {
    Ink shown, whole;
};

TextInk TextInkOf(HWND text)
{
    RECT rc;
    GetWindowRect(text, &rc);
    MapWindowPoints(NULL, GetParent(text), (POINT *)&rc, 2);
    TextInk t;
    COLORREF background = CLR_INVALID;
    SetWindowPos(text, NULL, 0, 0, 2000, 200, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    t.whole = InkOf(text, &background);
    SetWindowPos(text, NULL, 0, 0, rc.right - rc.left, rc.bottom - rc.top, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    t.shown = InkOf(text, &background);
    return t;
}

int Width(const RECT &rc)
{
    return rc.right - rc.left;
}

int Height(const RECT &rc)
{
    return rc.bottom - rc.top;
}

// A box's layout as the handheld draws it: whole on the screen and centred on it, in
// the one-pixel frame round the 23-pixel caption, the text and the buttons inside, the
// buttons side by side under the text and centred.
void ExpectLaidOut(const BoxWatcher::Box &b)
{
    EXPECT_TRUE(Inside(b.rect, kScreen)) << "the box at " << b.rect.left << "," << b.rect.top << " - " << b.rect.right
                                         << "," << b.rect.bottom << " leaves the screen";
    EXPECT_LE(abs((b.rect.left - kScreen.left) - (kScreen.right - b.rect.right)), 1) << "not centred across";
    EXPECT_LE(abs((b.rect.top - kScreen.top) - (kScreen.bottom - b.rect.bottom)), 1) << "not centred down";
    EXPECT_EQ(b.client.left - b.rect.left, 1);
    EXPECT_EQ(b.rect.right - b.client.right, 1);
    EXPECT_EQ(b.rect.bottom - b.client.bottom, 1);
    EXPECT_EQ(b.client.top - b.rect.top, 24);
    EXPECT_TRUE(Inside(b.textRect, b.client)) << "the text control leaves the box";
    ASSERT_FALSE(b.buttons.empty());
    RECT row = b.buttons[0].rect;
    for (size_t i = 0; i < b.buttons.size(); ++i) {
        const RECT &r = b.buttons[i].rect;
        EXPECT_TRUE(Inside(r, b.client)) << "button " << i << " leaves the box";
        EXPECT_GE(r.top, b.textRect.bottom) << "button " << i << " is not under the text";
        EXPECT_EQ(r.top, row.top) << "button " << i << " is not in the row";
        if (i > 0) {
            EXPECT_GE(r.left, b.buttons[i - 1].rect.right) << "buttons " << i - 1 << " and " << i << " overlap";
        }
        row.right = r.right;
    }
    EXPECT_LE(abs((row.left - b.client.left) - (b.client.right - row.right)), 1) << "the buttons are not centred";
}

// Shows a box, checks it while it is up with check, then ends it with its default
// button; returns what it showed.
BoxWatcher::Box Show(MessageBoxFn fn, const wchar_t *text, const wchar_t *caption, UINT type,
                     std::function<void(const BoxWatcher::Box &)> check = nullptr)
{
    BoxWatcher watcher([&](int index) {
        if (check)
            check(watcher.boxes[index]);
    });
    fn(NULL, text, caption, type);
    EXPECT_EQ(watcher.boxes.size(), 1u);
    return watcher.boxes.empty() ? BoxWatcher::Box() : watcher.boxes[0];
}

struct LongCase {
    const char *name;
    const wchar_t *text;
    UINT type;
};

const LongCase kLongCases[] = {
    {"DeleteFailure", kDeleteFail, MB_OK},
    {"Paragraph", kLongText, MB_OK},
    {"ParagraphWithIconAndThreeButtons", kLongText, MB_YESNOCANCEL | MB_ICONQUESTION},
    {"OneLongWord", kLongWord, MB_OKCANCEL},
    {"LongWordWithIcon", kLongWord, MB_OK | MB_ICONHAND},
};

class LongText : public ::testing::TestWithParam<LongCase> {};

TEST_P(LongText, WrapsIntoMoreLinesInsideABoxNoWiderThanTheScreen)
{
    const LongCase &c = GetParam();
    TextInk ink;
    BoxWatcher::Box b = Show(MessageBoxW, c.text, L"Caption", c.type, [&](const BoxWatcher::Box &box) {
        ink = TextInkOf(box.textControl);
    });
    ExpectLaidOut(b);
    EXPECT_EQ(b.text, c.text) << "the text control holds the whole text";
    EXPECT_LT(Width(b.rect), Width(kScreen));
    EXPECT_EQ(ink.whole.bands, 1) << "with room to spare the text is one line";
    EXPECT_GE(ink.shown.bands, 2) << "the text did not wrap";
    EXPECT_GT(ink.whole.pixels, 0);
    EXPECT_EQ(ink.shown.pixels, ink.whole.pixels) << "part of the text is cut off";
}

void PrintTo(const LongCase &c, std::ostream *os)
{
    *os << c.name;
}

INSTANTIATE_TEST_SUITE_P(MessageBoxes, LongText, ::testing::ValuesIn(kLongCases),
                         [](const ::testing::TestParamInfo<LongCase> &info) { return std::string(info.param.name); });

TEST(MessageBoxes, ShortTextsKeepOneLineInABoxNoWiderThanTheDesktopsBox)
{
    const struct {
        const wchar_t *text, *caption;
        UINT type;
    } cases[] = {
        {L"Registry Save Complete!", L"Save OK", MB_OK},
        {L"Registry Delete Complete!", L"Delete OK", MB_OK},
        {L"Try again?", L"Registry", MB_ABORTRETRYIGNORE | MB_ICONQUESTION},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "text " << std::string(c.text, c.text + lstrlenW(c.text)));
        TextInk ink;
        BoxWatcher::Box ours = Show(MessageBoxW, c.text, c.caption, c.type, [&](const BoxWatcher::Box &box) {
            ink = TextInkOf(box.textControl);
        });
        BoxWatcher::Box desktop = Show(DesktopMessageBox(), c.text, c.caption, c.type);
        ExpectLaidOut(ours);
        EXPECT_EQ(ink.shown.bands, 1);
        EXPECT_EQ(ink.shown.pixels, ink.whole.pixels) << "part of the text is cut off";
        EXPECT_LE(Width(ours.rect), Width(desktop.rect));
        EXPECT_EQ(ours.caption, desktop.caption);
        EXPECT_EQ(ours.text, desktop.text);
        ASSERT_EQ(ours.buttons.size(), desktop.buttons.size());
        for (size_t i = 0; i < ours.buttons.size(); ++i) {
            EXPECT_EQ(ours.buttons[i].id, desktop.buttons[i].id);
            EXPECT_EQ(ours.buttons[i].label, desktop.buttons[i].label);
        }
    }
}

TEST(MessageBoxes, ATextTallerThanTheScreenKeepsTheBoxAndItsButtonsOnIt)
{
    std::wstring text;
    for (int i = 0; i < 60; ++i)
        text += L"One more line of a very long report\n";
    BoxWatcher::Box b = Show(MessageBoxW, text.c_str(), L"Report", MB_OKCANCEL);
    ExpectLaidOut(b);
    EXPECT_EQ(b.text, text);
}

// Keys and commands end a box with the value its buttons give. Enter takes the default
// button; Esc and closing the box mean Cancel, or OK on a box whose only button is OK,
// and do nothing on a box that needs an answer (Yes/No, Abort/Retry/Ignore), nor does
// the command of a button the box does not have: the box stays up until one of its
// buttons is chosen.
struct InputCase {
    UINT type;
    UINT message;  // WM_KEYDOWN: a key press
    WPARAM wParam;
    int result;        // 0: the input leaves the box up
    bool likeDesktop;  // the desktop's box on this device gives the same result
};

const InputCase kInputCases[] = {
    {MB_OK, WM_KEYDOWN, VK_RETURN, IDOK, true},
    {MB_OK, WM_KEYDOWN, VK_ESCAPE, IDOK, false},
    {MB_OKCANCEL, WM_KEYDOWN, VK_ESCAPE, IDCANCEL, true},
    {MB_OKCANCEL | MB_DEFBUTTON2, WM_KEYDOWN, VK_RETURN, IDCANCEL, true},
    {MB_YESNO, WM_KEYDOWN, VK_ESCAPE, 0, false},
    {MB_YESNO | MB_DEFBUTTON2, WM_KEYDOWN, VK_RETURN, IDNO, true},
    {MB_YESNOCANCEL | MB_DEFBUTTON3, WM_KEYDOWN, VK_RETURN, IDCANCEL, true},
    {MB_ABORTRETRYIGNORE, WM_KEYDOWN, VK_RETURN, IDABORT, true},
    {MB_ABORTRETRYIGNORE, WM_KEYDOWN, VK_ESCAPE, 0, false},
    {MB_RETRYCANCEL, WM_KEYDOWN, VK_ESCAPE, IDCANCEL, true},
    {MB_OK | MB_DEFBUTTON4, WM_KEYDOWN, VK_RETURN, IDOK, false},
    {MB_OK, WM_SYSCOMMAND, SC_CLOSE, IDOK, false},
    {MB_YESNO, WM_SYSCOMMAND, SC_CLOSE, 0, false},
    {MB_YESNOCANCEL, WM_COMMAND, IDNO, IDNO, false},
    {MB_OK, WM_COMMAND, IDYES, 0, false},
};

// A box given some input: whether the input left it up, and what it returned. A box
// the input left up is ended by its last button once the input has been handled
// (timer messages come only when no other message is waiting).
struct Outcome {
    int result;
    bool leftUp;
    int lastButton;
};

HWND s_box;
Outcome *s_outcome;

VOID CALLBACK EndWithLastButton(HWND, UINT, UINT_PTR id, DWORD)
{
    KillTimer(NULL, id);
    if (!IsWindow(s_box))
        return;
    s_outcome->leftUp = true;
    HWND last = GetWindow(GetWindow(s_box, GW_CHILD), GW_HWNDLAST);
    s_outcome->lastButton = GetDlgCtrlID(last);
    PostMessageW(s_box, WM_COMMAND, MAKEWPARAM(s_outcome->lastButton, BN_CLICKED), (LPARAM)last);
}

Outcome RunWithInput(MessageBoxFn fn, UINT type, std::function<void(HWND)> input)
{
    Outcome outcome = {0, false, 0};
    s_outcome = &outcome;
    UINT_PTR timer = 0;
    BoxWatcher watcher(nullptr, [&](HWND box) {
        s_box = box;
        input(box);
        timer = SetTimer(NULL, 0, 0, EndWithLastButton);
    });
    outcome.result = fn(NULL, L"Save the registry?", L"Registry", type);
    KillTimer(NULL, timer);
    EXPECT_EQ(watcher.boxes.size(), 1u);
    s_outcome = nullptr;
    return outcome;
}

TEST(MessageBoxes, EnterEscAndCommandsEndTheBoxWithTheValueOfItsButtons)
{
    for (const InputCase &c : kInputCases) {
        SCOPED_TRACE(testing::Message() << "type 0x" << std::hex << c.type << " message 0x" << c.message << " 0x"
                                        << c.wParam);
        auto input = [&](HWND box) {
            if (c.message == WM_KEYDOWN)
                PostKey(box, (UINT)c.wParam);
            else
                PostMessageW(box, c.message, c.wParam, 0);
        };
        Outcome ours = RunWithInput(MessageBoxW, c.type, input);
        EXPECT_EQ(ours.leftUp, c.result == 0);
        EXPECT_EQ(ours.result, c.result ? c.result : ours.lastButton);
        if (c.likeDesktop) {
            Outcome desktop = RunWithInput(DesktopMessageBox(), c.type, input);
            EXPECT_FALSE(desktop.leftUp);
            EXPECT_EQ(desktop.result, ours.result);
        }
    }
}

TEST(MessageBoxes, OnlyAnOwnerIsDisabledWhileTheBoxIsUp)
{
    HWND window = CreateWindowExW(0, L"STATIC", L"program", WS_POPUP | WS_VISIBLE | WS_CAPTION, 0, 0, 100, 80, NULL,
                                  NULL, NULL, NULL);
    for (HWND owner : {(HWND)NULL, window}) {
        SCOPED_TRACE(owner ? "owned" : "no owner");
        bool enabled = false;
        BoxWatcher watcher([&](int) { enabled = IsWindowEnabled(window) != FALSE; });
        EXPECT_EQ(MessageBoxW(owner, L"Registry Save Complete!", L"Save OK", MB_OK), IDOK);
        ASSERT_EQ(watcher.boxes.size(), 1u);
        EXPECT_EQ(watcher.boxes[0].owner, owner);
        EXPECT_EQ(enabled, owner == NULL);
        EXPECT_TRUE(IsWindowEnabled(window)) << "the owner stays disabled after the box";
    }
    DestroyWindow(window);
}

TEST(MessageBoxes, FlagsAsOnTheDesktop)
{
    // MB_TOPMOST puts the box above every window; without it, it is not.
    for (UINT topmost : {0u, (UINT)MB_TOPMOST}) {
        BoxWatcher::Box b = Show(MessageBoxW, L"text", L"caption", MB_OK | topmost);
        EXPECT_EQ((b.exStyle & WS_EX_TOPMOST) != 0, topmost != 0);
    }
    // The default button has the focus.
    BoxWatcher::Box b = Show(MessageBoxW, L"text", L"caption", MB_YESNOCANCEL | MB_DEFBUTTON2);
    ASSERT_EQ(b.buttons.size(), 3u);
    EXPECT_TRUE(b.buttons[1].focus);
    EXPECT_FALSE(b.buttons[0].focus);
    // An icon sits left of the text, inside the box.
    for (UINT icon : {(UINT)MB_ICONEXCLAMATION, (UINT)MB_ICONASTERISK}) {
        SCOPED_TRACE(testing::Message() << "icon 0x" << std::hex << icon);
        RECT iconRect = {};
        HICON shown = NULL;
        b = Show(MessageBoxW, L"text", L"caption", MB_OK | icon, [&](const BoxWatcher::Box &box) {
            HWND ctl = GetDlgItem(box.hwnd, 1088);
            shown = (HICON)SendMessageW(ctl, STM_GETICON, 0, 0);
            GetWindowRect(ctl, &iconRect);
        });
        ExpectLaidOut(b);
        EXPECT_NE(shown, nullptr);
        EXPECT_TRUE(Inside(iconRect, b.client));
        EXPECT_LE(iconRect.right, b.textRect.left);
    }
    // No caption is "Error", no text an empty one, as on the desktop.
    b = Show(MessageBoxW, NULL, NULL, MB_OK);
    EXPECT_EQ(b.caption, L"Error");
    EXPECT_EQ(b.text, L"");
    // A kind of box the handheld does not lay out still shows, as the desktop's.
    BoxWatcher watcher(nullptr, [](HWND box) { PostKey(box, VK_RETURN); });
    EXPECT_EQ(MessageBoxW(NULL, L"text", L"caption", MB_CANCELTRYCONTINUE), IDCANCEL);
    EXPECT_EQ(watcher.boxes.size(), 1u);
}

}  // namespace boxes

namespace boxes {

// A box's width follows its caption only as far as the screen allows: a caption wider
// than the screen is cut in the caption bar, and the box stays on the screen.
TEST(MessageBoxes, ACaptionWiderThanTheScreenKeepsTheBoxOnIt)
{
    const wchar_t caption[] = L"A caption far wider than the handheld's screen, which is 240 pixels wide";
    BoxWatcher::Box plain = Show(MessageBoxW, L"Saved.", L"Save OK", MB_OK);
    BoxWatcher::Box b = Show(MessageBoxW, L"Saved.", caption, MB_OK);
    ExpectLaidOut(b);
    EXPECT_EQ(b.caption, caption);
    EXPECT_GT(Width(b.rect), Width(plain.rect)) << "the box did not grow with its caption";
}

// A box that cannot be made returns 0, the value MessageBox is documented to return
// for a failure (the desktop's box here gives -1, which callers do not check for).
TEST(MessageBoxes, ABoxThatCannotBeMadeReturnsZero)
{
    const HWND noWindow = (HWND)(ULONG_PTR)0x1234;
    ASSERT_FALSE(IsWindow(noWindow));
    BoxWatcher watcher;
    EXPECT_EQ(MessageBoxW(noWindow, L"text", L"caption", MB_OK), 0);
    EXPECT_TRUE(watcher.boxes.empty());
}

}  // namespace boxes
