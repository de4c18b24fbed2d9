// What the device shows: its windows, its message box, its screen.
#include "helper.h"

#include "framegeom.h"

#include <stdio.h>
#include <vector>

// A window's text as the window system keeps it. Asked of another program's window,
// GetWindowTextW reads what the system holds, where GetWindowTextLengthW would wait on
// that program: a buffer that grows until the text fits takes the one call.
std::wstring WindowText(HWND hWnd)
{
    std::wstring s(256, L'\0');
    for (;;) {
        int n = GetWindowTextW(hWnd, &s[0], (int)s.size());
        if (n < (int)s.size() - 1 || s.size() >= 65536) {
            s.resize(n < 0 ? 0 : n);
            return s;
        }
        s.assign(s.size() * 4, L'\0');
    }
}

static std::wstring ClassName(HWND hWnd)
{
    wchar_t name[256];
    int n = GetClassNameW(hWnd, name, 256);
    return std::wstring(name, n);
}

// A text in double quotes: a quote or backslash in it escaped, and its control
// characters as Printable shows them.
static std::string Quote(const std::wstring &s)
{
    std::wstring quoted;
    for (wchar_t c : s) {
        if (c == L'"' || c == L'\\')
            quoted += L'\\';
        quoted += c;
    }
    return "\"" + Printable(quoted) + "\"";
}

// Visible top-level windows, topmost first.
// The top-level windows in z-order, taken in one go: stepping from one window to the
// next while they change (a box being activated) could pass one by.
static BOOL CALLBACK AddWindow(HWND h, LPARAM list)
{
    ((std::vector<HWND> *)list)->push_back(h);
    return TRUE;
}

static std::vector<HWND> TopWindows(bool all)
{
    std::vector<HWND> every, list;
    EnumWindows(AddWindow, (LPARAM)&every);
    for (HWND h : every) {
        if (all || IsWindowVisible(h))
            list.push_back(h);
    }
    return list;
}

// Descendants in z-order, depth first.
static void Descendants(HWND parent, std::vector<HWND> *out)
{
    for (HWND h = GetWindow(parent, GW_CHILD); h; h = GetWindow(h, GW_HWNDNEXT)) {
        out->push_back(h);
        Descendants(h, out);
    }
}

// The focus, active and capture windows of the thread of hWnd, asked once a thread for
// one listing.
static bool HasFocus(HWND hWnd, bool *active, bool *capture)
{
    static std::vector<std::pair<DWORD, GUITHREADINFO>> known;
    *active = *capture = false;
    if (!hWnd) {
        known.clear();
        return false;
    }
    DWORD thread = GetWindowThreadProcessId(hWnd, NULL);
    const GUITHREADINFO *info = NULL;
    for (const auto &k : known) {
        if (k.first == thread)
            info = &k.second;
    }
    if (!info) {
        GUITHREADINFO gti;
        gti.cbSize = sizeof(gti);
        if (!GetGUIThreadInfo(thread, &gti))
            gti.hwndActive = gti.hwndCapture = gti.hwndFocus = NULL;
        known.push_back({thread, gti});
        info = &known.back().second;
    }
    const GUITHREADINFO &gti = *info;
    *active = gti.hwndActive == hWnd;
    *capture = gti.hwndCapture == hWnd;
    return gti.hwndFocus == hWnd;
}

// What 'cedev windows' tells of one window or control. A control's rectangle is in
// its parent's client area; its screen rectangle goes along in JSON.
struct WindowFacts {
    bool child;
    int id;
    std::wstring text, cls;
    RECT rc, screen;
    DWORD style, exstyle;
    bool enabled, visible, active, focus, capture;
};

static WindowFacts Facts(HWND hWnd, bool child)
{
    WindowFacts f;
    f.child = child;
    f.id = child ? (int)(short)GetDlgCtrlID(hWnd) : 0;
    f.text = WindowText(hWnd);
    f.cls = ClassName(hWnd);
    GetWindowRect(hWnd, &f.screen);
    f.rc = f.screen;
    if (child)
        MapWindowPoints(NULL, GetParent(hWnd), (POINT *)&f.rc, 2);
    f.style = (DWORD)GetWindowLongW(hWnd, GWL_STYLE);
    f.exstyle = (DWORD)GetWindowLongW(hWnd, GWL_EXSTYLE);
    f.enabled = !(f.style & WS_DISABLED);
    f.visible = IsWindowVisible(hWnd);
    f.focus = HasFocus(hWnd, &f.active, &f.capture);
    return f;
}

static std::string Describe(const WindowFacts &f)
{
    char buf[256];
    std::string line;
    if (f.child) {
        snprintf(buf, sizeof(buf), "  id=%d ", f.id);
        line = buf;
    }
    line += "text=" + Quote(f.text) + " class=" + Quote(f.cls);
    snprintf(buf, sizeof(buf), " x=%ld y=%ld w=%ld h=%ld style=0x%08lx exstyle=0x%08lx", f.rc.left, f.rc.top,
             f.rc.right - f.rc.left, f.rc.bottom - f.rc.top, (unsigned long)f.style, (unsigned long)f.exstyle);
    line += buf;
    line += f.enabled ? " enabled" : " disabled";
    if (!f.visible)
        line += " hidden";
    if (f.active)
        line += " active";
    if (f.focus)
        line += " focus";
    if (f.capture)
        line += " capture";
    return line + "\n";
}

static void Rect(JsonObject *o, const RECT &rc)
{
    o->Num("x", rc.left).Num("y", rc.top).Num("w", rc.right - rc.left).Num("h", rc.bottom - rc.top);
}

// The same facts as one JSON object; a control names its top-level window.
static std::string DescribeJson(const WindowFacts &f, const std::wstring &top)
{
    JsonObject o;
    o.Str("type", f.child ? L"control" : L"window");
    if (f.child)
        o.Str("window", top).Num("id", f.id);
    o.Str("text", f.text).Str("class", f.cls);
    Rect(&o, f.rc);
    o.Num("screen_x", f.screen.left).Num("screen_y", f.screen.top);
    o.Num("style", f.style).Num("exstyle", f.exstyle);
    o.Bool("enabled", f.enabled).Bool("visible", f.visible).Bool("active", f.active);
    o.Bool("focus", f.focus).Bool("capture", f.capture);
    return o.Line();
}

int CmdWindows(int argc, wchar_t **argv)
{
    bool json = TakeFlag(&argc, argv, L"--json");
    bool all = TakeFlag(&argc, argv, L"--all");
    if (argc != 0)
        return Usage(L"usage: cedev windows [--all] [--json]");
    bool unused;
    HasFocus(NULL, &unused, &unused);  // a listing of its own
    std::string out;
    for (HWND top : TopWindows(all)) {
        WindowFacts f = Facts(top, false);
        out += json ? DescribeJson(f, f.text) : Describe(f);
        std::vector<HWND> kids;
        Descendants(top, &kids);
        for (HWND k : kids) {
            if (all || IsWindowVisible(k))
                out += json ? DescribeJson(Facts(k, true), f.text) : Describe(Facts(k, true));
        }
    }
    Out(out);
    return kExitOk;
}

static std::wstring WithoutMnemonics(const std::wstring &s)
{
    std::wstring out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == L'&' && i + 1 < s.size())
            ++i;
        out += s[i];
    }
    return out;
}

static POINT Centre(const RECT &rc)
{
    POINT pt = {(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2};
    return pt;
}

// Windows are searched topmost first: in each, its controls, then the OK button that
// the handheld draws in the caption of a window with WS_EX_CAPTIONOKBTN. A message
// box's own OK button above such a window is found first.
bool FindControl(const std::wstring &text, POINT *centre, std::wstring *what)
{
    for (HWND top : TopWindows(false)) {
        std::vector<HWND> kids;
        Descendants(top, &kids);
        for (HWND k : kids) {
            if (!IsWindowVisible(k) || WithoutMnemonics(WindowText(k)) != text)
                continue;
            RECT rc;
            GetWindowRect(k, &rc);
            *centre = Centre(rc);
            *what = ClassName(k);
            return true;
        }
        if (text == L"OK" && HasCaptionOk(top)) {
            RECT rc;
            GetWindowRect(top, &rc);
            RECT ok = CeCaptionOkRectFor(rc.right - rc.left);
            OffsetRect(&ok, rc.left, rc.top);
            *centre = Centre(ok);
            *what = L"caption OK button";
            return true;
        }
    }
    return false;
}


// A message box is a dialog with a static text and at least one push button; the
// About box has no button of its own, only the caption OK.
HWND FindMessageBox()
{
    for (HWND top : TopWindows(false)) {
        if (ClassName(top) != L"#32770")
            continue;
        bool button = false;
        for (HWND k = GetWindow(top, GW_CHILD); k; k = GetWindow(k, GW_HWNDNEXT)) {
            if (!lstrcmpiW(ClassName(k).c_str(), L"Button"))
                button = true;
        }
        if (button)
            return top;
    }
    return NULL;
}

// The text of a message box: its whole text, as the program gave it, not the lines it
// is wrapped into on the screen. Both the desktop's box and the handheld's keep it in
// one static control with id 0xFFFF; any other box, its longest static text.
static std::wstring MessageBoxText(HWND box)
{
    HWND textControl = GetDlgItem(box, 0xFFFF);
    if (textControl && !lstrcmpiW(ClassName(textControl).c_str(), L"Static"))
        return WindowText(textControl);
    std::wstring text;
    for (HWND k = GetWindow(box, GW_CHILD); k; k = GetWindow(k, GW_HWNDNEXT)) {
        if (!lstrcmpiW(ClassName(k).c_str(), L"Static") && IsWindowVisible(k)) {
            std::wstring t = WindowText(k);
            if (t.size() > text.size())
                text = t;
        }
    }
    return text;
}

int CmdBox(int argc, wchar_t **argv)
{
    bool json = TakeFlag(&argc, argv, L"--json");
    if (argc != 0)
        return Usage(L"usage: cedev box [--json]");
    HWND box = FindMessageBox();
    if (!box)
        return Fail(L"no message box on screen");
    if (json) {
        JsonObject o;
        o.Str("caption", WindowText(box)).Str("text", MessageBoxText(box));
        RECT rc;
        GetWindowRect(box, &rc);
        Rect(&o, rc);
        Out(o.Line());
    } else {
        Out("caption: " + Printable(WindowText(box)) + "\ntext: " + Printable(MessageBoxText(box)) + "\n");
    }
    return kExitOk;
}

int CmdScreenshot(int argc, wchar_t **)
{
    if (argc != 0)
        return Usage(L"usage: cedev-helper screenshot > FILE.bmp");
    int cx = GetSystemMetrics(SM_CXSCREEN), cy = GetSystemMetrics(SM_CYSCREEN);
    BITMAPINFOHEADER bih = {};
    bih.biSize = sizeof(bih);
    bih.biWidth = cx;
    bih.biHeight = cy;
    bih.biPlanes = 1;
    bih.biBitCount = 24;
    bih.biCompression = BI_RGB;
    void *bits;
    HDC screen = GetDC(NULL);
    HDC mem = CreateCompatibleDC(screen);
    HBITMAP bmp = CreateDIBSection(screen, (BITMAPINFO *)&bih, DIB_RGB_COLORS, &bits, NULL, 0);
    if (!screen || !mem || !bmp)
        return Fail(L"cannot read the screen");
    HGDIOBJ old = SelectObject(mem, bmp);
    BitBlt(mem, 0, 0, cx, cy, screen, 0, 0, SRCCOPY);
    GdiFlush();
    DWORD stride = ((cx * 3) + 3) & ~3;
    BITMAPFILEHEADER bfh = {};
    bfh.bfType = 0x4d42;
    bfh.bfOffBits = sizeof(bfh) + sizeof(bih);
    bfh.bfSize = bfh.bfOffBits + stride * cy;
    OutBytes(&bfh, sizeof(bfh));
    OutBytes(&bih, sizeof(bih));
    OutBytes(bits, (size_t)stride * cy);
    SelectObject(mem, old);
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(NULL, screen);
    return kExitOk;
}

// xwindow: the X window that shows the device's screen. Wine's X driver keeps it as a
// property of the desktop window; on a display of its own the device's screen is the
// whole display, but on the user's desktop it is one window among others.
int CmdXWindow(int argc, wchar_t **)
{
    if (argc != 0)
        return Usage(L"usage: cedev-helper xwindow");
    HANDLE xid = GetPropA(GetDesktopWindow(), "__wine_x11_whole_window");
    if (!xid)
        return Fail(L"the device's desktop has no X window");
    char buf[32];
    snprintf(buf, sizeof(buf), "0x%lx\n", (unsigned long)(ULONG_PTR)xid);
    Out(buf);
    return kExitOk;
}

static HWND FindTopWindow(const std::wstring &title)
{
    for (HWND top : TopWindows(false)) {
        if (WindowText(top) == title)
            return top;
    }
    return NULL;
}

// wait window TITLE | wait nowindow TITLE | wait box | wait nobox | wait focus TEXT
// [--timeout SECONDS]: polls the screen until the condition holds.
int CmdWait(int argc, wchar_t **argv)
{
    DWORD timeout = 10000;
    std::vector<std::wstring> args;
    for (int i = 0; i < argc; ++i) {
        if (!lstrcmpW(argv[i], L"--timeout")) {
            if (i + 1 == argc || !ParseSeconds(argv[i + 1], &timeout))
                return Usage(L"--timeout needs a number of seconds");
            ++i;
        } else {
            args.push_back(argv[i]);
        }
    }
    const wchar_t *usage = L"usage: cedev wait window TITLE | nowindow TITLE | box | nobox | focus TEXT "
                           L"[--timeout SECONDS]";
    if (args.empty())
        return Usage(usage);
    const std::wstring what = args[0];
    bool needsArg = what == L"window" || what == L"nowindow" || what == L"focus";
    if (args.size() != (needsArg ? 2u : 1u) ||
        (!needsArg && what != L"box" && what != L"nobox"))
        return Usage(usage);

    DWORD start = GetTickCount();
    for (;;) {
        bool done;
        if (what == L"window")
            done = FindTopWindow(args[1]) != NULL;
        else if (what == L"nowindow")
            done = FindTopWindow(args[1]) == NULL;
        else if (what == L"box")
            done = FindMessageBox() != NULL;
        else if (what == L"nobox")
            done = FindMessageBox() == NULL;
        else {
            done = false;
            HWND fg = GetForegroundWindow();
            GUITHREADINFO gti;
            gti.cbSize = sizeof(gti);
            if (fg && GetGUIThreadInfo(GetWindowThreadProcessId(fg, NULL), &gti) && gti.hwndFocus)
                done = WindowText(gti.hwndFocus) == args[1];
        }
        if (done)
            return kExitOk;
        if (GetTickCount() - start >= timeout)
            break;
        Sleep(20);
    }
    std::wstring cond = what + (args.size() > 1 ? L" \"" + args[1] + L"\"" : L"");
    return Fail(L"timed out waiting for " + cond);
}
