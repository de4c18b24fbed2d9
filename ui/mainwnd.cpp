// The main window: its two buttons in a frame, the boot counter, and the routing of
// every command.
#include "regsave.h"
#include "resource.h"

// The child controls, in creation order. Positions are client pixels; the frame starts
// above the client area so that its top edge is hidden under the caption.
static const struct {
    LPCWSTR text;
    DWORD style;
    int x, y, cx, cy;
    int id;
} s_controls[] = {
    {L"Save", WS_CHILD | WS_VISIBLE | WS_GROUP | BS_PUSHBUTTON, 5, 5, 76, 25, IDC_SAVE},
    {L"Delete", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 5, 33, 76, 25, IDC_DELETE},
    {L"", WS_CHILD | WS_VISIBLE | BS_GROUPBOX, 0, -7, 83, 70, 0},
};

static void CreateControls(HWND hWnd)
{
    for (unsigned i = 0; i < sizeof(s_controls) / sizeof(s_controls[0]); ++i) {
        CreateWindowExW(0, L"BUTTON", s_controls[i].text, s_controls[i].style, s_controls[i].x, s_controls[i].y,
                        s_controls[i].cx, s_controls[i].cy, hWnd, (HMENU)(INT_PTR)s_controls[i].id, g_hInstance,
                        NULL);
    }
}

void ResetBootCount(void)
{
    HKEY hKey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Comm", 0, 0, &hKey) == ERROR_SUCCESS) {
        DWORD dwZero = 0;
        RegSetValueExW(hKey, L"BootCount", 0, REG_DWORD, (const BYTE *)&dwZero, sizeof(dwZero));
        RegCloseKey(hKey);
    }
}

// Clicks (notification 0) always end the program; accelerators and other
// notifications are routed by id.
static LRESULT OnCommand(HWND hWnd, WPARAM wParam, LPARAM lParam)
{
    if (HIWORD(wParam) == 0) {
        switch (LOWORD(wParam)) {
        case IDC_SAVE:
            SaveRegistry();
            break;
        case IDC_DELETE:
            DeleteRegistry();
            break;
        }
        DestroyWindow(hWnd);
        return 0;
    }
    switch (LOWORD(wParam)) {
    case IDM_EXIT:
        DestroyWindow(hWnd);
        return 0;
    case IDM_ABOUT:
        ShowAboutBox(hWnd);
        return 0;
    }
    return DefWindowProcW(hWnd, WM_COMMAND, wParam, lParam);
}

LRESULT CALLBACK MainWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        CreateControls(hWnd);
        ResetBootCount();
        return 0;
    case WM_PAINT: {
        // The class background is all there is to draw.
        PAINTSTRUCT ps;
        RECT rt;
        BeginPaint(hWnd, &ps);
        GetClientRect(hWnd, &rt);
        EndPaint(hWnd, &ps);
        return 0;
    }
    case WM_COMMAND:
        return OnCommand(hWnd, wParam, lParam);
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hWnd, message, wParam, lParam);
}
