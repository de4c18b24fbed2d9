// Window frames as the handheld draws them. Desktop Win32 clamps captioned top-level
// windows to a minimum size and draws a three-pixel frame; the handheld has neither,
// so windows keep the size their programs ask for.
#include "frame.h"

bool HasCeFrame(HWND hWnd)
{
    LONG style = GetWindowLongW(hWnd, GWL_STYLE);
    return !(style & WS_CHILD) && (style & WS_CAPTION) == WS_CAPTION;
}

static RECT WindowBox(HWND hWnd)
{
    RECT rc;
    GetWindowRect(hWnd, &rc);
    OffsetRect(&rc, -rc.left, -rc.top);
    return rc;
}

RECT CeCaptionRect(HWND hWnd)
{
    RECT rc = WindowBox(hWnd);
    rc.left += CE_BORDER;
    rc.right -= CE_BORDER;
    rc.top += CE_BORDER;
    rc.bottom = rc.top + CE_CAPTION_HEIGHT;
    return rc;
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

void CePaintFrame(HWND hWnd, BOOL active)
{
    HDC hdc = GetWindowDC(hWnd);
    if (!hdc)
        return;
    RECT rc = WindowBox(hWnd);
    FrameRect(hdc, &rc, GetSysColorBrush(COLOR_WINDOWFRAME));
    RECT caption = CeCaptionRect(hWnd);
    DrawCaption(hWnd, hdc, &caption, DC_TEXT | (active ? DC_ACTIVE : 0));
    ReleaseDC(hWnd, hdc);
}

static LRESULT HitTest(HWND hWnd, LPARAM lParam)
{
    POINT pt = {(short)LOWORD(lParam), (short)HIWORD(lParam)};
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
    RECT caption = CeCaptionRect(hWnd);
    if (PtInRect(&caption, pt))
        return HTCAPTION;
    return HTBORDER;
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
