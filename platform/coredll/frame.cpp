// Window frames as the handheld draws them. Desktop Win32 clamps captioned top-level
// windows to a minimum size and draws a three-pixel frame; the handheld has neither,
// so windows keep the size their programs ask for. Windows with WS_EX_CAPTIONOKBTN
// also get the handheld's caption OK button, which the desktop does not have.
#include "frame.h"

#include <windowsx.h>

// Set while the pen holds the caption OK button down inside it.
static const wchar_t kOkDownProp[] = L"CeCaptionOkDown";

static RECT WindowBox(HWND hWnd)
{
    RECT rc;
    GetWindowRect(hWnd, &rc);
    OffsetRect(&rc, -rc.left, -rc.top);
    return rc;
}

RECT CeCaptionRect(HWND hWnd)
{
    return CeCaptionRectFor(WindowBox(hWnd).right);
}

// Client area for a given window rectangle, in the same coordinates.
static void ClientFromWindow(RECT *rc)
{
    rc->left += CE_BORDER;
    rc->right -= CE_BORDER;
    rc->top += CE_BORDER + CE_CAPTION_HEIGHT;
    rc->bottom -= CE_BORDER;
    if (rc->right < rc->left)
        rc->right = rc->left;
    if (rc->bottom < rc->top)
        rc->bottom = rc->top;
}

// The caption OK button: a push button face with "OK" in the caption's font, bold;
// pressed, it looks sunken and its label moves by a pixel.
static void DrawCaptionOk(HDC hdc, int windowWidth, bool pressed)
{
    RECT rc = CeCaptionOkRectFor(windowWidth);
    DrawFrameControl(hdc, &rc, DFC_BUTTON, DFCS_BUTTONPUSH | (pressed ? DFCS_PUSHED : 0));

    HFONT font = NULL;
    NONCLIENTMETRICSW ncm;
    ncm.cbSize = sizeof(ncm);
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(ncm), &ncm, 0)) {
        ncm.lfCaptionFont.lfWeight = FW_BOLD;
        font = CreateFontIndirectW(&ncm.lfCaptionFont);
    }
    HGDIOBJ oldFont = font ? SelectObject(hdc, font) : NULL;
    int oldMode = SetBkMode(hdc, TRANSPARENT);
    COLORREF oldColor = SetTextColor(hdc, GetSysColor(COLOR_BTNTEXT));
    if (pressed)
        OffsetRect(&rc, 1, 1);
    DrawTextW(hdc, L"OK", 2, &rc, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    SetTextColor(hdc, oldColor);
    SetBkMode(hdc, oldMode);
    if (font) {
        SelectObject(hdc, oldFont);
        DeleteObject(font);
    }
}

void CePaintFrame(HWND hWnd, BOOL active)
{
    HDC hdc = GetWindowDC(hWnd);
    if (!hdc)
        return;
    RECT rc = WindowBox(hWnd);
    FrameRect(hdc, &rc, GetSysColorBrush(COLOR_WINDOWFRAME));
    RECT caption = CeCaptionRect(hWnd);
    UINT flags = DC_TEXT | (active ? DC_ACTIVE : 0);
    if (HasCaptionOk(hWnd)) {
        // The title stops short of the button; the bar behind the button is plain.
        RECT ok = CeCaptionOkRectFor(rc.right);
        RECT title = caption;
        title.right = ok.left - CE_CAPTION_OK_INSET;
        if (title.right < title.left)
            title.right = title.left;
        DrawCaption(hWnd, hdc, &title, flags);
        RECT rest = caption;
        rest.left = title.right;
        FillRect(hdc, &rest, GetSysColorBrush(active ? COLOR_ACTIVECAPTION : COLOR_INACTIVECAPTION));
        DrawCaptionOk(hdc, rc.right, GetPropW(hWnd, kOkDownProp) != NULL);
    } else {
        DrawCaption(hWnd, hdc, &caption, flags);
    }
    ReleaseDC(hWnd, hdc);
}

static LRESULT HitTest(HWND hWnd, LPARAM lParam)
{
    POINT pt = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    RECT rc;
    GetWindowRect(hWnd, &rc);
    if (!PtInRect(&rc, pt))
        return HTNOWHERE;
    pt.x -= rc.left;
    pt.y -= rc.top;
    OffsetRect(&rc, -rc.left, -rc.top);
    RECT client = rc;
    ClientFromWindow(&client);
    if (PtInRect(&client, pt))
        return HTCLIENT;
    RECT ok = CeCaptionOkRectFor(rc.right);
    if (HasCaptionOk(hWnd) && PtInRect(&ok, pt))
        return HTCAPTIONOK;
    RECT caption = CeCaptionRect(hWnd);
    if (PtInRect(&caption, pt))
        return HTCAPTION;
    return HTBORDER;
}

static bool OnCaptionOk(HWND hWnd, POINT screen)
{
    RECT rc;
    GetWindowRect(hWnd, &rc);
    RECT ok = CeCaptionOkRectFor(rc.right - rc.left);
    OffsetRect(&ok, rc.left, rc.top);
    return PtInRect(&ok, screen) != FALSE;
}

static void ShowCaptionOkDown(HWND hWnd, bool down)
{
    if (down)
        SetPropW(hWnd, kOkDownProp, (HANDLE)1);
    else
        RemovePropW(hWnd, kOkDownProp);
    HDC hdc = GetWindowDC(hWnd);
    if (hdc) {
        DrawCaptionOk(hdc, WindowBox(hWnd).right, down);
        ReleaseDC(hWnd, hdc);
    }
}

// A pen down on the caption OK button, tracked as a caption button is: the button
// looks pressed while the pen is on it, and lifting the pen there sends IDOK to the
// window, as a tap on a push button with that id would. Lifting it anywhere else, or
// losing the capture, does nothing.
static void TrackCaptionOk(HWND hWnd)
{
    SetCapture(hWnd);
    bool inside = true;
    ShowCaptionOkDown(hWnd, true);
    for (;;) {
        MSG msg;
        if (GetCapture() != hWnd) {
            inside = false;
            break;
        }
        // Mouse messages only: everything else waits until the pen lifts. A quit
        // message is put back for the loop that owns it.
        if (!GetMessageW(&msg, NULL, WM_MOUSEFIRST, WM_MOUSELAST)) {
            PostQuitMessage((int)msg.wParam);
            inside = false;
            break;
        }
        if (msg.message != WM_MOUSEMOVE && msg.message != WM_LBUTTONUP)
            continue;
        // While captured, the pen arrives in client coordinates of the window.
        POINT pt = {GET_X_LPARAM(msg.lParam), GET_Y_LPARAM(msg.lParam)};
        ClientToScreen(msg.hwnd ? msg.hwnd : hWnd, &pt);
        bool now = OnCaptionOk(hWnd, pt);
        if (msg.message == WM_LBUTTONUP) {
            inside = now;
            break;
        }
        if (now != inside) {
            inside = now;
            ShowCaptionOkDown(hWnd, inside);
        }
    }
    if (GetCapture() == hWnd)
        ReleaseCapture();
    if (IsWindow(hWnd)) {
        ShowCaptionOkDown(hWnd, false);
        if (inside)
            SendMessageW(hWnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    }
}

bool CeFrameMessage(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam, LRESULT *result)
{
    switch (message) {
    case WM_GETMINMAXINFO:
        ((MINMAXINFO *)lParam)->ptMinTrackSize.x = 0;
        ((MINMAXINFO *)lParam)->ptMinTrackSize.y = 0;
        *result = 0;
        return true;
    case WM_NCCALCSIZE:
        // Both forms carry the new window rectangle first.
        ClientFromWindow((RECT *)lParam);
        *result = 0;
        return true;
    case WM_NCHITTEST:
        *result = HitTest(hWnd, lParam);
        return true;
    case WM_NCLBUTTONDOWN:
    case WM_NCLBUTTONDBLCLK:
        // A second tap soon after the first comes as a double click; it presses the
        // button all the same.
        if (wParam != HTCAPTIONOK)
            return false;
        TrackCaptionOk(hWnd);
        *result = 0;
        return true;
    case WM_NCPAINT:
        CePaintFrame(hWnd, GetActiveWindow() == hWnd);
        *result = 0;
        return true;
    case WM_NCACTIVATE:
        CePaintFrame(hWnd, (BOOL)wParam);
        *result = TRUE;
        return true;
    case WM_SETTEXT:
        // The desktop repaints its own caption after a title change; draw ours over it.
        *result = DefWindowProcW(hWnd, message, wParam, lParam);
        CePaintFrame(hWnd, GetActiveWindow() == hWnd);
        return true;
    }
    return false;
}

CEAPI LRESULT WINAPI CeDefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    LRESULT result;
    if (HasCeFrame(hWnd) && CeFrameMessage(hWnd, Msg, wParam, lParam, &result))
        return result;
    return DefWindowProcW(hWnd, Msg, wParam, lParam);
}
