// Message boxes as the handheld shows them. The desktop's box is laid out for a
// desktop screen: it grows with its text until the line fits, so a long message runs
// past the edges of a 240-pixel screen, and it keeps the desktop's frame. The
// handheld's box never grows wider than its screen, less a small margin: the text
// wraps at word boundaries instead, and the box grows downwards. It has the handheld's
// one-pixel frame and caption, and its buttons are centred under the text.
//
// The box is an ordinary dialog, built in memory and run through the same modal
// dialog path as the program's own dialogs: the dialog manager gives it its modal
// loop, keyboard and focus; the frame comes from the handheld's frame code. Its
// controls follow the desktop box's conventions: the text is a static control with id
// 0xFFFF holding the whole text, the icon a static with id 1088, and each button has
// the id the box returns for it.
#include "frame.h"

namespace {

// Space round the text, between the text and the buttons and below them, in pixels.
const int kPad = 8;
// Space between the box and the edges of the screen, at the least.
const int kScreenMargin = 6;
// Between two buttons, and between the icon and the text.
const int kGap = 6;
// A button is at least this wide, and this much wider than its label.
const int kButtonMinWidth = 50;
const int kButtonLabelPad = 16;
// A button is this much taller than a line of text.
const int kButtonExtraHeight = 10;
// Room the caption bar leaves on each side of its title.
const int kCaptionPad = 4;

const WORD kTextId = 0xFFFF;
const WORD kIconId = 1088;
const WORD kMaxButtons = 3;

// How the text is drawn: the static control's own rules for the style below
// (SS_LEFT, SS_NOPREFIX, SS_EDITCONTROL), so that it is measured as it is drawn. A word
// too long for a line is broken rather than cut off at the box's edge.
const UINT kTextFormat = DT_LEFT | DT_EXPANDTABS | DT_WORDBREAK | DT_NOPREFIX | DT_EDITCONTROL;
const DWORD kTextStyle = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT | SS_NOPREFIX | SS_EDITCONTROL;

struct ButtonSet {
    WORD count;
    WORD ids[kMaxButtons];
};

// The buttons of each MB_TYPEMASK value, in the order they are shown.
const ButtonSet kButtonSets[] = {
    {1, {IDOK}},                       // MB_OK
    {2, {IDOK, IDCANCEL}},             // MB_OKCANCEL
    {3, {IDABORT, IDRETRY, IDIGNORE}}, // MB_ABORTRETRYIGNORE
    {3, {IDYES, IDNO, IDCANCEL}},      // MB_YESNOCANCEL
    {2, {IDYES, IDNO}},                // MB_YESNO
    {2, {IDRETRY, IDCANCEL}},          // MB_RETRYCANCEL
};

const wchar_t *ButtonLabel(WORD id)
{
    switch (id) {
    case IDOK: return L"OK";
    case IDCANCEL: return L"Cancel";
    case IDABORT: return L"&Abort";
    case IDRETRY: return L"&Retry";
    case IDIGNORE: return L"&Ignore";
    case IDYES: return L"&Yes";
    case IDNO: return L"&No";
    }
    return L"";
}

// What the box's procedure needs, from the call to its end.
struct Box {
    const wchar_t *text;
    UINT type;
    ButtonSet buttons;
    WORD defaultId;
    HICON icon;
    HWND owner;
};

// Requests this box does not lay out itself: they keep the desktop's box.
const UINT kDesktopOnly = MB_HELP | MB_TASKMODAL | MB_RIGHT | MB_RTLREADING | MB_SERVICE_NOTIFICATION |
                          MB_DEFAULT_DESKTOP_ONLY;

HICON BoxIcon(UINT type)
{
    switch (type & MB_ICONMASK) {
    case MB_ICONHAND: return LoadIconW(NULL, IDI_HAND);
    case MB_ICONQUESTION: return LoadIconW(NULL, IDI_QUESTION);
    case MB_ICONEXCLAMATION: return LoadIconW(NULL, IDI_EXCLAMATION);
    case MB_ICONASTERISK: return LoadIconW(NULL, IDI_ASTERISK);
    }
    return NULL;
}

// The font the box's controls use: the system's message font, as a dialog template
// names it (face and point size).
void MessageFont(wchar_t face[LF_FACESIZE], WORD *points)
{
    lstrcpyW(face, L"Tahoma");
    *points = 8;
    NONCLIENTMETRICSW ncm;
    ncm.cbSize = sizeof(ncm);
    if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(ncm), &ncm, 0) || !ncm.lfMessageFont.lfFaceName[0])
        return;
    lstrcpynW(face, ncm.lfMessageFont.lfFaceName, LF_FACESIZE);
    LONG height = ncm.lfMessageFont.lfHeight;
    if (height < 0) {
        HDC hdc = GetDC(NULL);
        int dpi = hdc ? GetDeviceCaps(hdc, LOGPIXELSY) : 96;
        if (hdc)
            ReleaseDC(NULL, hdc);
        *points = (WORD)MulDiv(-height, 72, dpi);
    } else if (height > 0) {
        *points = (WORD)height;
    }
    if (*points == 0)
        *points = 8;
}

// Writes a dialog template into a buffer of WORDs, or only counts them when the
// buffer is NULL, so that the same code sizes and fills it.
class TemplateWriter {
public:
    explicit TemplateWriter(WORD *out) : out_(out), n_(0) {}
    size_t Size() const { return n_; }
    void Word(WORD w)
    {
        if (out_)
            out_[n_] = w;
        ++n_;
    }
    void Dword(DWORD d)
    {
        Word(LOWORD(d));
        Word(HIWORD(d));
    }
    void String(const wchar_t *s)
    {
        for (; *s; ++s)
            Word(*s);
        Word(0);
    }
    // Items start on a DWORD boundary; the buffer itself is DWORD-aligned.
    void Align()
    {
        if (n_ & 1)
            Word(0);
    }
    // An item of a predefined class (0x0080 button, 0x0082 static); its size and place
    // are set when the box is laid out.
    void Item(DWORD style, WORD id, WORD cls, const wchar_t *text)
    {
        Align();
        Dword(style);
        Dword(0);  // extended style
        for (int i = 0; i < 4; ++i)
            Word(0);  // x, y, cx, cy
        Word(id);
        Word(0xFFFF);
        Word(cls);
        String(text);
        Word(0);  // no creation data
    }

private:
    WORD *out_;
    size_t n_;
};

void WriteTemplate(TemplateWriter *w, const Box &box, const wchar_t *caption, const wchar_t *face, WORD points)
{
    DWORD exStyle = WS_EX_DLGMODALFRAME;
    if (box.type & (MB_TOPMOST | MB_SYSTEMMODAL))
        exStyle |= WS_EX_TOPMOST;
    w->Dword(WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_CLIPSIBLINGS | DS_MODALFRAME | DS_SETFONT | DS_NOIDLEMSG);
    w->Dword(exStyle);
    w->Word((WORD)(1 + (box.icon ? 1 : 0) + box.buttons.count));
    for (int i = 0; i < 4; ++i)
        w->Word(0);  // x, y, cx, cy: laid out in pixels once the font is known
    w->Word(0);      // no menu
    w->Word(0);      // the dialog class
    w->String(caption);
    w->Word(points);
    w->String(face);

    if (box.icon)
        w->Item(WS_CHILD | WS_VISIBLE | SS_ICON, kIconId, 0x0082, L"");
    w->Item(kTextStyle, kTextId, 0x0082, box.text);
    for (WORD i = 0; i < box.buttons.count; ++i) {
        WORD id = box.buttons.ids[i];
        DWORD style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | (id == box.defaultId ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON);
        if (i == 0)
            style |= WS_GROUP;
        w->Item(style, id, 0x0080, ButtonLabel(id));
    }
}

// The part of the screen a box may use: the work area of the owner's monitor.
RECT WorkArea(HWND owner)
{
    RECT rc = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    MONITORINFO mi;
    mi.cbSize = sizeof(mi);
    HMONITOR monitor = owner ? MonitorFromWindow(owner, MONITOR_DEFAULTTOPRIMARY) : MonitorFromPoint(POINT{0, 0},
                                                                                                    MONITOR_DEFAULTTOPRIMARY);
    if (monitor && GetMonitorInfoW(monitor, &mi))
        rc = mi.rcWork;
    return rc;
}

SIZE Measure(HDC hdc, const wchar_t *text, UINT format, int width)
{
    RECT rc = {0, 0, width, 0};
    DrawTextW(hdc, text, -1, &rc, format | DT_CALCRECT);
    SIZE size = {rc.right - rc.left, rc.bottom - rc.top};
    return size;
}

// The caption's title in the caption font, as the frame draws it.
int CaptionWidth(HWND hDlg)
{
    wchar_t caption[256];
    int n = GetWindowTextW(hDlg, caption, 256);
    if (n == 0)
        return 0;
    NONCLIENTMETRICSW ncm;
    ncm.cbSize = sizeof(ncm);
    if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(ncm), &ncm, 0))
        return 0;
    HFONT font = CreateFontIndirectW(&ncm.lfCaptionFont);
    HDC hdc = GetDC(hDlg);
    HGDIOBJ old = SelectObject(hdc, font);
    SIZE size = Measure(hdc, caption, DT_SINGLELINE | DT_NOPREFIX, 0);
    SelectObject(hdc, old);
    ReleaseDC(hDlg, hdc);
    DeleteObject(font);
    return size.cx + 2 * kCaptionPad;
}

int Max(int a, int b)
{
    return a > b ? a : b;
}

int Min(int a, int b)
{
    return a < b ? a : b;
}

// Sizes and places the box and its controls, in pixels, measured with the font the
// dialog manager gave the box.
void Layout(HWND hDlg, const Box &box)
{
    HDC hdc = GetDC(hDlg);
    HGDIOBJ old = SelectObject(hdc, (HFONT)SendMessageW(hDlg, WM_GETFONT, 0, 0));
    TEXTMETRICW tm;
    GetTextMetricsW(hdc, &tm);

    RECT work = WorkArea(box.owner);
    int maxClientW = (work.right - work.left) - 2 * kScreenMargin - 2 * CE_BORDER;
    int maxClientH = (work.bottom - work.top) - 2 * kScreenMargin - 2 * CE_BORDER - CE_CAPTION_HEIGHT;

    int iconW = 0, iconH = 0;
    if (box.icon) {
        iconW = GetSystemMetrics(SM_CXICON);
        iconH = GetSystemMetrics(SM_CYICON);
    }
    int textLeft = kPad + (box.icon ? iconW + kGap : 0);
    int maxTextW = Max(maxClientW - textLeft - kPad, 1);
    SIZE text = Measure(hdc, box.text, kTextFormat, maxTextW);
    text.cx = Min(text.cx, maxTextW);
    text.cy = Max(text.cy, tm.tmHeight);

    int buttonW = kButtonMinWidth;
    for (WORD i = 0; i < box.buttons.count; ++i)
        buttonW = Max(buttonW, Measure(hdc, ButtonLabel(box.buttons.ids[i]), DT_SINGLELINE, 0).cx + kButtonLabelPad);
    int buttonH = tm.tmHeight + kButtonExtraHeight;
    int buttonsW = box.buttons.count * buttonW + (box.buttons.count - 1) * kGap;
    SelectObject(hdc, old);
    ReleaseDC(hDlg, hdc);

    int clientW = Max(Max(textLeft + text.cx + kPad, buttonsW + 2 * kPad), CaptionWidth(hDlg));
    clientW = Min(clientW, maxClientW);
    int blockH = Max(text.cy, iconH);
    int clientH = kPad + blockH + kPad + buttonH + kPad;
    if (clientH > maxClientH) {
        // A text taller than the screen: the box fills the screen's height, its buttons
        // stay on the screen, and the text shows as many lines as fit.
        blockH = Max(blockH - (clientH - maxClientH), 0);
        clientH = maxClientH;
    }

    if (box.icon)
        SetWindowPos(GetDlgItem(hDlg, kIconId), NULL, kPad, kPad, iconW, iconH, SWP_NOZORDER | SWP_NOACTIVATE);
    int textH = Min(text.cy, blockH);
    SetWindowPos(GetDlgItem(hDlg, kTextId), NULL, textLeft, kPad + (blockH - textH) / 2,
                 Max(clientW - textLeft - kPad, 0), textH, SWP_NOZORDER | SWP_NOACTIVATE);
    int x = (clientW - buttonsW) / 2, y = kPad + blockH + kPad;
    for (WORD i = 0; i < box.buttons.count; ++i) {
        SetWindowPos(GetDlgItem(hDlg, box.buttons.ids[i]), NULL, x, y, buttonW, buttonH,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        x += buttonW + kGap;
    }

    int windowW = clientW + 2 * CE_BORDER, windowH = clientH + CE_CAPTION_HEIGHT + 2 * CE_BORDER;
    SetWindowPos(hDlg, NULL, work.left + (work.right - work.left - windowW) / 2,
                 work.top + (work.bottom - work.top - windowH) / 2, windowW, windowH,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

bool HasButton(const Box &box, WORD id)
{
    for (WORD i = 0; i < box.buttons.count; ++i) {
        if (box.buttons.ids[i] == id)
            return true;
    }
    return false;
}

const wchar_t kBoxProp[] = L"CeMessageBox";

INT_PTR CALLBACK BoxProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG: {
        const Box *box = (const Box *)lParam;
        SetPropW(hDlg, kBoxProp, (HANDLE)box);
        if (box->icon)
            SendDlgItemMessageW(hDlg, kIconId, STM_SETICON, (WPARAM)box->icon, 0);
        Layout(hDlg, *box);
        if (box->type & MB_SETFOREGROUND)
            SetForegroundWindow(hDlg);
        SendMessageW(hDlg, DM_SETDEFID, box->defaultId, 0);
        SetFocus(GetDlgItem(hDlg, box->defaultId));
        return FALSE;
    }
    case WM_COMMAND: {
        const Box *box = (const Box *)GetPropW(hDlg, kBoxProp);
        if (!box)
            return FALSE;
        WORD id = LOWORD(wParam);
        // Esc and the close command come as IDCANCEL. A box without a Cancel button
        // ends on them only when its one button is OK, and then with IDOK; a Yes/No or
        // Abort/Retry/Ignore box needs an answer.
        if (id == IDCANCEL && !HasButton(*box, IDCANCEL)) {
            if (box->buttons.count != 1 || box->buttons.ids[0] != IDOK)
                return TRUE;
            id = IDOK;
        }
        if (HasButton(*box, id))
            EndDialog(hDlg, id);
        return TRUE;
    }
    case WM_NCDESTROY:
        RemovePropW(hDlg, kBoxProp);
        return FALSE;
    }
    return FALSE;
}

}  // namespace

CEAPI int WINAPI CeMessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType)
{
    UINT kind = uType & MB_TYPEMASK;
    if (kind >= sizeof(kButtonSets) / sizeof(kButtonSets[0]) || (uType & kDesktopOnly))
        return MessageBoxW(hWnd, lpText, lpCaption, uType);

    Box box;
    box.text = lpText ? lpText : L"";
    box.type = uType;
    box.buttons = kButtonSets[kind];
    // MB_DEFBUTTON2 and 3 name the second and third button; one the box lacks means
    // the first, as on the desktop.
    UINT def = (uType & MB_DEFMASK) >> 8;
    box.defaultId = box.buttons.ids[def < box.buttons.count ? def : 0];
    box.icon = BoxIcon(uType);
    box.owner = hWnd;

    wchar_t face[LF_FACESIZE];
    WORD points;
    MessageFont(face, &points);
    const wchar_t *caption = lpCaption ? lpCaption : L"Error";

    TemplateWriter counter(NULL);
    WriteTemplate(&counter, box, caption, face, points);
    WORD *words = (WORD *)HeapAlloc(GetProcessHeap(), 0, counter.Size() * sizeof(WORD));
    if (!words) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    TemplateWriter writer(words);
    WriteTemplate(&writer, box, caption, face, points);

    // No owner means no window is disabled while the box is up, as with the desktop's
    // box: a program may keep its own window working behind it.
    INT_PTR result = CeDialogBoxIndirectParamW(GetModuleHandleW(NULL), (LPCDLGTEMPLATEW)words, hWnd, BoxProc,
                                               (LPARAM)&box);
    HeapFree(GetProcessHeap(), 0, words);
    return result > 0 ? (int)result : 0;
}
