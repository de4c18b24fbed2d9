// A handheld program that checks, from the ARM side, what the ARM runner hands it: the
// structures in the handheld's layout, values converted both ways, callbacks nested in
// callbacks. It ends with 0 when every check holds, else with the number of the first
// that failed (as in "check 12"), so that the test names it.
#include "platform.h"

#define ID_TEXT 1

static int s_failed;
static int s_check;

static void Check(bool ok)
{
    ++s_check;
    if (!ok && !s_failed)
        s_failed = s_check;
}

static bool Same(LPCWSTR a, LPCWSTR b)
{
    while (*a && *a == *b)
        ++a, ++b;
    return *a == *b;
}

// ---------------------------------------------------------------------------
// A window whose procedure records what its messages carried.

static const WCHAR kClass[] = L"ApiCheck";
static int s_param;
static bool s_createSeen, s_createRight, s_minMaxSeen;
static int s_nestedResult;

static LRESULT CALLBACK CheckWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE: {
        const CREATESTRUCTW *cs = (const CREATESTRUCTW *)lParam;
        s_createSeen = true;
        s_createRight = cs->lpCreateParams == &s_param && cs->cx == 100 && cs->cy == 60 && cs->x == 10 &&
                        Same(cs->lpszName, L"Api window") && Same(cs->lpszClass, kClass) && cs->hwndParent == NULL;
        return 0;
    }
    case WM_GETMINMAXINFO: {
        // The window may grow no larger than 120 x 80: what the procedure writes here
        // must reach the window manager.
        MINMAXINFO *mmi = (MINMAXINFO *)lParam;
        s_minMaxSeen = true;
        mmi->ptMaxTrackSize.x = 120;
        mmi->ptMaxTrackSize.y = 80;
        return 0;
    }
    case WM_WINDOWPOSCHANGING: {
        // Every move is shifted right by 3 pixels, here, in the guest's copy.
        WINDOWPOS *wp = (WINDOWPOS *)lParam;
        if (!(wp->flags & SWP_NOMOVE))
            wp->x += 3;
        return DefWindowProcW(hWnd, message, wParam, lParam);
    }
    }
    return DefWindowProcW(hWnd, message, wParam, lParam);
}

// ---------------------------------------------------------------------------
// Dialogs from an in-memory template, one opened inside the other's WM_INITDIALOG.

static INT_PTR CALLBACK InnerDlgProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)wParam;
    if (message == WM_INITDIALOG) {
        EndDialog(hDlg, lParam + 1);
        return TRUE;
    }
    return FALSE;
}

// A dialog template starts on a 4-byte boundary.
static struct __attribute__((aligned(4))) {
    DLGTEMPLATE dlg;
    WORD menu, cls, title;
} s_template;

static INT_PTR CALLBACK OuterDlgProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)wParam;
    if (message == WM_INITDIALOG) {
        s_nestedResult = (int)DialogBoxIndirectParamW((HINSTANCE)GetModuleHandleW(NULL), &s_template.dlg, hDlg,
                                                      InnerDlgProc, 40);
        EndDialog(hDlg, lParam * 2);
        return TRUE;
    }
    return FALSE;
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int)
{
    WCHAR buf[128];

    // 1-3: the arguments and the module.
    Check(hPrevInstance == NULL);
    Check(Same(lpCmdLine, L"one \"two three\"") && Same(GetCommandLineW(), lpCmdLine));
    Check(GetModuleHandleW(NULL) == (HMODULE)hInstance);

    // 4-6: strings, copied and formatted in the program's memory.
    memset(buf, 0x55, sizeof(buf));
    Check(buf[7] == 0x5555 && wcslen(L"four") == 4);
    Check(wsprintfW(buf, L"%s|%d|%x|%c|%5d", L"ab", -5, 255, 'Z', 42) == 16 && Same(buf, L"ab|-5|ff|Z|   42"));
    memcpy(buf, L"copy", 10);
    Check(Same(buf, L"copy"));

    // 7-8: resources, into a buffer, and with no buffer as the handheld's read-only
    // string, whose address is the result.
    Check(LoadStringW(hInstance, ID_TEXT, buf, 128) == 6 && Same(buf, L"Runner"));
    const WCHAR *text = (const WCHAR *)LoadStringW(hInstance, ID_TEXT, NULL, 0);
    Check(text && Same(text, L"Runner"));

    // 9-11: the find data in the handheld's layout.
    WIN32_FIND_DATAW fd;
    memset(&fd, 0xAA, sizeof(fd));
    HANDLE find = FindFirstFileW(L"\\Windows\\QM410Key.dll", &fd);
    Check(find != INVALID_HANDLE_VALUE);
    Check(Same(fd.cFileName, L"QM410Key.dll") && fd.dwOID == 0 && fd.nFileSizeLow > 0);
    if (find != INVALID_HANDLE_VALUE)
        FindClose(find);
    Check(FindFirstFileW(L"\\Windows\\NoSuchFile.dll", &fd) == INVALID_HANDLE_VALUE);

    // 12-15: the registry through 32-bit handles, the predefined roots included.
    HKEY key;
    DWORD disposition = 0;
    Check(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\ApiCheck", 0, NULL, 0, 0, NULL, &key, &disposition) ==
              ERROR_SUCCESS &&
          (disposition == REG_CREATED_NEW_KEY || disposition == REG_OPENED_EXISTING_KEY));
    Check(RegSetValueExW(key, L"Name", 0, REG_SZ, (const BYTE *)L"value", 12) == ERROR_SUCCESS);
    DWORD type = 0, size = sizeof(buf);
    Check(RegQueryValueExW(key, L"Name", NULL, &type, (BYTE *)buf, &size) == ERROR_SUCCESS && type == REG_SZ &&
          size == 12 && Same(buf, L"value"));
    RegCloseKey(key);
    Check(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\NoSuchKey\\ApiCheck", 0, 0, &key) == ERROR_FILE_NOT_FOUND);

    // 16-20: a window: its creation data, a size limit and a move changed by the
    // procedure, each reaching the window manager.
    WNDCLASSW wc;
    memset(&wc, 0, sizeof(wc));
    wc.lpfnWndProc = CheckWndProc;
    wc.hInstance = hInstance;
    wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    wc.lpszClassName = kClass;
    Check(RegisterClassW(&wc) != 0);
    HWND hWnd = CreateWindowExW(0, kClass, L"Api window", WS_POPUP | WS_THICKFRAME, 10, 20, 100, 60, NULL, NULL,
                                hInstance, &s_param);
    Check(hWnd != NULL && s_createSeen && s_createRight);
    Check(FindWindowW(kClass, L"Api window") == hWnd);
    RECT rc;
    SetWindowPos(hWnd, NULL, 30, 40, 200, 200, SWP_NOZORDER | SWP_NOACTIVATE);
    Check(s_minMaxSeen && GetWindowRect(hWnd, &rc) && rc.right - rc.left == 120 && rc.bottom - rc.top == 80);
    Check(rc.left == 33 && rc.top == 40);
    DestroyWindow(hWnd);

    // 21-22: a dialog opened inside a dialog's initialisation, each with its own
    // procedure and parameter, each result returned.
    s_template.dlg.style = WS_POPUP | DS_MODALFRAME;
    s_template.dlg.cx = 50;
    s_template.dlg.cy = 20;
    Check(DialogBoxIndirectParamW(hInstance, &s_template.dlg, NULL, OuterDlgProc, 21) == 42);
    Check(s_nestedResult == 41);
    return s_failed;
}
