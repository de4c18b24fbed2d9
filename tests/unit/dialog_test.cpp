// COREDLL's modal dialogs: the handheld's frame round a captioned dialog, the caption
// OK button of templates with WS_EX_CAPTIONOKBTN, and everything else left to the
// dialog manager and the program's dialog procedure.
#include "support.h"

#include "framegeom.h"

#include <gtest/gtest.h>

namespace {

const DWORD kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
const short kWidth = 125, kHeight = 55;  // dialog units
const LPARAM kParam = 0x5A5A;

// A template with no controls and the system font, in either form.
std::vector<WORD> Template(bool extended, DWORD exStyle)
{
    std::vector<WORD> t;
    auto dword = [&](DWORD v) {
        t.push_back(LOWORD(v));
        t.push_back(HIWORD(v));
    };
    if (extended) {
        t.push_back(1);
        t.push_back(0xFFFF);
        dword(0);  // help id
        dword(exStyle);
        dword(kStyle);
    } else {
        dword(kStyle);
        dword(exStyle);
    }
    t.push_back(0);  // controls
    t.push_back(0);  // x
    t.push_back(0);  // y
    t.push_back(kWidth);
    t.push_back(kHeight);
    t.push_back(0);  // no menu
    t.push_back(0);  // the default class
    for (const wchar_t *c = L"Probe"; *c; ++c)
        t.push_back(*c);
    t.push_back(0);
    return t;
}

struct Probe {
    LPARAM initParam = 0;
    bool claimHitTest = false;
} s_probe;

INT_PTR CALLBACK ProbeDlgProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        s_probe.initParam = lParam;
        return TRUE;
    case WM_NCHITTEST:
        if (s_probe.claimHitTest) {
            SetWindowLongPtrW(hDlg, DWLP_MSGRESULT, HTCLIENT);
            return TRUE;
        }
        break;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(hDlg, LOWORD(wParam));
            return TRUE;
        }
        break;
    }
    return FALSE;
}

class Dialogs : public ::testing::Test {
protected:
    void SetUp() override
    {
        s_probe = Probe();
        owner = CreateWindowExW(0, L"STATIC", L"owner", WS_POPUP | WS_VISIBLE, 0, 0, 240, 320, NULL, NULL, NULL,
                                NULL);
    }
    void TearDown() override { DestroyWindow(owner); }
    // Runs a dialog; whileUp runs once it is shown, and then Cancel is posted, so a
    // dialog that the action leaves up ends with IDCANCEL.
    INT_PTR Run(bool extended, DWORD exStyle, std::function<void(HWND)> whileUp)
    {
        std::vector<WORD> t = Template(extended, exStyle);
        DialogWatcher watcher([&](HWND dlg) {
            whileUp(dlg);
            PostMessageW(dlg, WM_COMMAND, IDCANCEL, 0);
        });
        INT_PTR result = DialogBoxIndirectParamW(GetModuleHandleW(NULL), (LPCDLGTEMPLATEW)t.data(), owner,
                                                 ProbeDlgProc, kParam);
        EXPECT_EQ(watcher.dialogs.size(), 1u);
        return result;
    }
    HWND owner = NULL;
};

RECT WindowBox(HWND hWnd)
{
    RECT rc;
    GetWindowRect(hWnd, &rc);
    OffsetRect(&rc, -rc.left, -rc.top);
    return rc;
}

POINT Centre(const RECT &rc)
{
    return POINT{(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2};
}

// A point in window coordinates, as lParam of a screen-coordinate message.
LPARAM ScreenParam(HWND hWnd, POINT pt)
{
    RECT rc;
    GetWindowRect(hWnd, &rc);
    return MAKELPARAM(rc.left + pt.x, rc.top + pt.y);
}

// The same point in client coordinates, as the window gets it while it holds the
// capture.
LPARAM ClientParam(HWND hWnd, POINT pt)
{
    RECT rc;
    GetWindowRect(hWnd, &rc);
    POINT c = {rc.left + pt.x, rc.top + pt.y};
    ScreenToClient(hWnd, &c);
    return MAKELPARAM(c.x, c.y);
}

LRESULT HitTest(HWND hWnd, POINT pt)
{
    return SendMessageW(hWnd, WM_NCHITTEST, 0, ScreenParam(hWnd, pt));
}

// ---------------------------------------------------------------------------
// The frame

TEST_F(Dialogs, CaptionedDialogsGetTheHandheldFrameRoundTheTemplateSize)
{
    for (bool extended : {false, true}) {
        for (DWORD exStyle : {0x0ul, (unsigned long)WS_EX_CAPTIONOKBTN}) {
            SCOPED_TRACE(testing::Message() << "extended " << extended << " exstyle " << std::hex << exStyle);
            RECT window = {}, client = {}, expected = {0, 0, kWidth, kHeight};
            POINT origin = {0, 0};
            Run(extended, exStyle, [&](HWND dlg) {
                window = WindowBox(dlg);
                GetClientRect(dlg, &client);
                MapDialogRect(dlg, &expected);
                ClientToScreen(dlg, &origin);
                RECT rc;
                GetWindowRect(dlg, &rc);
                origin.x -= rc.left;
                origin.y -= rc.top;
            });
            EXPECT_EQ(s_probe.initParam, kParam) << "the creation parameter reaches the procedure";
            EXPECT_EQ(client.right, expected.right);
            EXPECT_EQ(client.bottom, expected.bottom);
            // A one-pixel border, and a 23-pixel caption above the client area.
            EXPECT_EQ(origin.x, 1);
            EXPECT_EQ(origin.y, 24);
            EXPECT_EQ(window.right, client.right + 2);
            EXPECT_EQ(window.bottom, client.bottom + 25);
        }
    }
}

TEST_F(Dialogs, TheProgramsProcedureSeesFrameMessagesFirst)
{
    LRESULT ours = 0, claimed = 0, caption = 0;
    Run(false, WS_EX_CAPTIONOKBTN, [&](HWND dlg) {
        POINT ok = Centre(CeCaptionOkRectFor(WindowBox(dlg).right));
        ours = HitTest(dlg, ok);
        caption = HitTest(dlg, POINT{5, 5});
        s_probe.claimHitTest = true;
        claimed = HitTest(dlg, ok);
    });
    EXPECT_NE(ours, HTCLIENT);
    EXPECT_NE(ours, HTCAPTION);
    EXPECT_EQ(caption, HTCAPTION);
    EXPECT_EQ(claimed, HTCLIENT);
}

// ---------------------------------------------------------------------------
// The caption OK button, pressed by the pen

enum Where { OkCentre, OkTopLeft, OkBottomRight, LeftOfOk, ClientArea, Nowhere };

POINT Resolve(HWND dlg, Where w)
{
    RECT ok = CeCaptionOkRectFor(WindowBox(dlg).right);
    switch (w) {
    case OkCentre: return Centre(ok);
    case OkTopLeft: return POINT{ok.left, ok.top};
    case OkBottomRight: return POINT{ok.right - 1, ok.bottom - 1};
    case LeftOfOk: return POINT{ok.left - 1, Centre(ok).y};
    case ClientArea: return POINT{20, 40};
    case Nowhere: break;
    }
    return POINT{0, 0};
}

struct PenCase {
    const char *name;
    DWORD exStyle;
    bool extended;
    UINT press;  // WM_NCLBUTTONDOWN, or WM_NCLBUTTONDBLCLK for a quick second tap
    Where down, via, up;
    INT_PTR result;
};

const PenCase kPenCases[] = {
    {"TapOnOkEndsWithIdOk", WS_EX_CAPTIONOKBTN, false, WM_NCLBUTTONDOWN, OkCentre, Nowhere, OkCentre, IDOK},
    {"CornersOfOkCount", WS_EX_CAPTIONOKBTN, false, WM_NCLBUTTONDOWN, OkTopLeft, Nowhere, OkBottomRight, IDOK},
    {"QuickSecondTapCounts", WS_EX_CAPTIONOKBTN, false, WM_NCLBUTTONDBLCLK, OkCentre, Nowhere, OkCentre, IDOK},
    {"BackOnOkBeforeLifting", WS_EX_CAPTIONOKBTN, false, WM_NCLBUTTONDOWN, OkCentre, ClientArea, OkCentre, IDOK},
    {"LiftedOffOkDoesNothing", WS_EX_CAPTIONOKBTN, false, WM_NCLBUTTONDOWN, OkCentre, Nowhere, ClientArea,
     IDCANCEL},
    {"TapBesideOkDoesNothing", WS_EX_CAPTIONOKBTN, false, WM_NCLBUTTONDOWN, LeftOfOk, Nowhere, LeftOfOk, IDCANCEL},
    {"NoButtonWithoutTheBit", 0, false, WM_NCLBUTTONDOWN, OkCentre, Nowhere, OkCentre, IDCANCEL},
};

class CaptionOk : public Dialogs, public ::testing::WithParamInterface<PenCase> {};

// Posts what the window system delivers for the pen: the press as a non-client
// message with the window's own hit-test code, then moves and the lift as client
// messages, as the window gets them while it holds the capture.
TEST_P(CaptionOk, EndsTheDialogOnlyForATapOnTheButton)
{
    const PenCase &c = GetParam();
    INT_PTR result = Run(c.extended, c.exStyle, [&](HWND dlg) {
        POINT down = Resolve(dlg, c.down);
        PostMessageW(dlg, c.press, HitTest(dlg, down), ScreenParam(dlg, down));
        if (c.via != Nowhere)
            PostMessageW(dlg, WM_MOUSEMOVE, 0, ClientParam(dlg, Resolve(dlg, c.via)));
        PostMessageW(dlg, WM_LBUTTONUP, 0, ClientParam(dlg, Resolve(dlg, c.up)));
    });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(GetCapture(), nullptr) << "the capture was kept";
}

void PrintTo(const PenCase &c, std::ostream *os)
{
    *os << c.name;
}

INSTANTIATE_TEST_SUITE_P(Pen, CaptionOk, ::testing::ValuesIn(kPenCases),
                         [](const ::testing::TestParamInfo<PenCase> &info) { return std::string(info.param.name); });

// The button's look while the pen moves: pressed while the pen is on it, raised
// when it leaves. Each pixel is read as the next pen message is taken from the queue,
// so it shows the effect of the messages before it.
std::vector<COLORREF> *s_pixels;
HWND s_watched;
POINT s_pixel;

LRESULT CALLBACK PixelHook(int code, WPARAM wParam, LPARAM lParam)
{
    const MSG *msg = (const MSG *)lParam;
    if (code == HC_ACTION && wParam == PM_REMOVE && s_pixels && msg->hwnd == s_watched &&
        (msg->message == WM_MOUSEMOVE || msg->message == WM_LBUTTONUP)) {
        HDC hdc = GetWindowDC(s_watched);
        s_pixels->push_back(GetPixel(hdc, s_pixel.x, s_pixel.y));
        ReleaseDC(s_watched, hdc);
    }
    return CallNextHookEx(NULL, code, wParam, lParam);
}

TEST_F(Dialogs, CaptionOkLooksPressedOnlyWhileThePenIsOnIt)
{
    std::vector<COLORREF> pixels;
    s_pixels = &pixels;
    HHOOK hook = SetWindowsHookExW(WH_GETMESSAGE, PixelHook, NULL, GetCurrentThreadId());
    INT_PTR result = Run(false, WS_EX_CAPTIONOKBTN, [&](HWND dlg) {
        s_watched = dlg;
        RECT ok = CeCaptionOkRectFor(WindowBox(dlg).right);
        s_pixel = POINT{ok.left, ok.top};
        POINT on = Centre(ok), off = Resolve(dlg, ClientArea);
        PostMessageW(dlg, WM_NCLBUTTONDOWN, HitTest(dlg, on), ScreenParam(dlg, on));
        PostMessageW(dlg, WM_MOUSEMOVE, 0, ClientParam(dlg, off));
        PostMessageW(dlg, WM_MOUSEMOVE, 0, ClientParam(dlg, on));
        PostMessageW(dlg, WM_LBUTTONUP, 0, ClientParam(dlg, off));
    });
    UnhookWindowsHookEx(hook);
    s_pixels = nullptr;
    EXPECT_EQ(result, IDCANCEL);
    ASSERT_EQ(pixels.size(), 3u);
    EXPECT_NE(pixels[0], pixels[1]) << "no change when the pen left the button";
    EXPECT_EQ(pixels[0], pixels[2]) << "not pressed again when the pen came back";
}

}  // namespace
