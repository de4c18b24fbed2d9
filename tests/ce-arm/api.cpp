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

// ---------------------------------------------------------------------------
// A window whose procedure paints, takes commands and moves itself, each through a
// call of the core library that calls the procedure back.

static const WCHAR kCallsClass[] = L"ApiCalls";
static int s_paints;
static RECT s_paintRect;
static WPARAM s_command;

static LRESULT CALLBACK CallsWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hWnd, &ps);
        if (dc && ps.hdc == dc) {
            ++s_paints;
            s_paintRect = ps.rcPaint;
        }
        EndPaint(hWnd, &ps);
        return 0;
    }
    case WM_COMMAND:
        s_command = wParam;
        return 0;
    case WM_APP:
        return wParam + lParam;
    case WM_WINDOWPOSCHANGING: {
        // Moved by the procedure alone, without the default procedure: what it writes
        // is all the window manager sees.
        WINDOWPOS *wp = (WINDOWPOS *)lParam;
        if (!(wp->flags & SWP_NOMOVE)) {
            wp->x += 5;
            wp->y += 7;
        }
        return 0;
    }
    }
    return DefWindowProcW(hWnd, message, wParam, lParam);
}

// The last bytes of the memory that holds the program's data (less than a page; the
// runner maps each section as memory of its own).
static BYTE s_room[16];

static void *Tail(unsigned bytes)
{
    return (BYTE *)(((uintptr_t)s_room | 0xFFF) + 1) - bytes;
}

// ---------------------------------------------------------------------------
// Thumb code. The handheld's CPU runs Thumb code as well as ARM code and moves between
// them by BX: each call out of the image (an import's thunk is ARM code) must come back
// to Thumb code in Thumb state, and each callback must run in its own state and return
// to the runner. The linker of this build writes no ARMv4T interworking veneers, so
// Thumb code calls, and is called, only through pointers (the compiler then uses BX);
// and it makes no call the compiler would add (no structure copies or clears).

#define THUMB __attribute__((target("thumb"), noinline))

static struct {
    decltype(&CreateWindowExW) createWindow;
    decltype(&DefWindowProcW) defWindowProc;
    decltype(&DestroyWindow) destroyWindow;
    decltype(&DialogBoxIndirectParamW) dialogBox;
    decltype(&DispatchMessageW) dispatch;
    decltype(&EndDialog) endDialog;
    decltype(&GetWindowRect) getWindowRect;
    decltype(&RegisterClassW) registerClass;
    decltype(&SetWindowPos) setWindowPos;
    decltype(&wcslen) length;
    decltype(&wsprintfW) format;
} volatile s_imports = {CreateWindowExW, DefWindowProcW, DestroyWindow, DialogBoxIndirectParamW, DispatchMessageW,
                        EndDialog, GetWindowRect, RegisterClassW, SetWindowPos, wcslen, wsprintfW};

static bool s_thumbCreate;
static int s_thumbNested;

THUMB static LRESULT CALLBACK ThumbWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CREATE) {
        const CREATESTRUCTW *cs = (const CREATESTRUCTW *)lParam;
        s_thumbCreate = cs->cx == 70 && cs->cy == 50 && cs->lpCreateParams == &s_param;
        return 0;
    }
    if (message == WM_APP)
        return wParam * lParam;
    return s_imports.defWindowProc(hWnd, message, wParam, lParam);
}

THUMB static INT_PTR CALLBACK ThumbDlgProc(HWND hDlg, UINT message, WPARAM, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        // A dialog whose procedure is ARM code, inside this Thumb one.
        s_thumbNested = (int)s_imports.dialogBox(NULL, &s_template.dlg, hDlg, InnerDlgProc, 50);
        s_imports.endDialog(hDlg, lParam + 3);
        return TRUE;
    }
    return FALSE;
}

// Returns 0, or the number of the step that failed.
THUMB static int ThumbChecks(HINSTANCE hInstance)
{
    WCHAR buf[16];
    if (s_imports.length(L"thumb") != 5)
        return 1;
    if (s_imports.format(buf, L"%d-%s", 12, L"t") != 4 || buf[0] != '1' || buf[2] != '-' || buf[3] != 't')
        return 2;
    WNDCLASSW wc;
    wc.style = 0;
    wc.lpfnWndProc = ThumbWndProc;
    wc.cbClsExtra = wc.cbWndExtra = 0;
    wc.hInstance = hInstance;
    wc.hIcon = NULL;
    wc.hCursor = NULL;
    wc.hbrBackground = NULL;
    wc.lpszMenuName = NULL;
    wc.lpszClassName = L"ApiThumb";
    if (!s_imports.registerClass(&wc))
        return 3;
    HWND hWnd = s_imports.createWindow(0, L"ApiThumb", L"Thumb", WS_POPUP, 10, 20, 70, 50, NULL, NULL, hInstance,
                                       &s_param);
    if (!hWnd || !s_thumbCreate)
        return 4;
    MSG m;
    m.hwnd = hWnd;
    m.message = WM_APP;
    m.wParam = 6;
    m.lParam = 7;
    m.time = 0;
    m.pt.x = m.pt.y = 0;
    if (s_imports.dispatch(&m) != 42)
        return 5;
    RECT rc;
    s_imports.setWindowPos(hWnd, NULL, 30, 40, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    if (!s_imports.getWindowRect(hWnd, &rc) || rc.left != 30 || rc.top != 40 || rc.right != 100)
        return 6;
    s_imports.destroyWindow(hWnd);
    if (s_imports.dialogBox(hInstance, &s_template.dlg, NULL, ThumbDlgProc, 10) != 13 || s_thumbNested != 51)
        return 7;
    return 0;
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

    // 23-27: files, synchronisation, resources, the registry's flush.
    WCHAR path[MAX_PATH];
    Check(SHGetSpecialFolderPath(NULL, path, CSIDL_WINDOWS, FALSE) && Same(path, L"\\Windows"));
    HANDLE mutex = CreateMutexW(NULL, TRUE, L"ApiCheck");
    Check(mutex && WaitForSingleObject(mutex, 0) == WAIT_OBJECT_0 && ReleaseMutex(mutex) && ReleaseMutex(mutex) &&
          !ReleaseMutex(mutex) && CloseHandle(mutex));
    // The test's device does not allow the registry to be saved.
    Check(!DeleteFileW(L"\\NoSuchFile.api") && RegFlushKey(HKEY_CURRENT_USER) != ERROR_SUCCESS);
    const WORD *block = (const WORD *)LoadResource(hInstance, FindResourceW(hInstance, MAKEINTRESOURCEW(1), RT_STRING));
    Check(block && block[0] == 0 && block[1] == 6 && block[2] == 'R' && block[7] == 'r');
    Check(LoadIconW(NULL, IDI_APPLICATION) != NULL);

    // 28-31: a window painted, shown and moved, each call calling its procedure back.
    wc.lpfnWndProc = CallsWndProc;
    wc.lpszClassName = kCallsClass;
    Check(RegisterClassW(&wc) != 0);
    hWnd = CreateWindowExW(0, kCallsClass, L"Calls", WS_POPUP, 10, 20, 100, 60, NULL, NULL, hInstance, NULL);
    Check(hWnd && GetParent(hWnd) == NULL && GetClientRect(hWnd, &rc) && rc.left == 0 && rc.top == 0 &&
          rc.right == 100 && rc.bottom == 60);
    SetForegroundWindow(hWnd);
    Check(!ShowWindow(hWnd, SW_SHOWNA) && UpdateWindow(hWnd) && s_paints == 1 && s_paintRect.right == 100 &&
          s_paintRect.bottom == 60);
    SetWindowPos(hWnd, NULL, 30, 40, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    Check(GetWindowRect(hWnd, &rc) && rc.left == 35 && rc.top == 47);

    // 32-34: messages the program makes and takes: an accelerator, a dispatch, a quit.
    MSG msg;
    memset(&msg, 0, sizeof(msg));
    msg.hwnd = hWnd;
    msg.message = WM_KEYDOWN;
    msg.wParam = 'B';
    Check(TranslateAcceleratorW(hWnd, LoadAcceleratorsW(hInstance, MAKEINTRESOURCEW(1)), &msg) &&
          s_command == MAKEWPARAM(101, 1));
    Check(TranslateMessage(&msg));
    msg.message = WM_APP;
    msg.wParam = 5;
    msg.lParam = 6;
    Check(DispatchMessageW(&msg) == 11);
    PostQuitMessage(9);
    int got = 0;
    while (got < 100 && GetMessageW(&msg, NULL, 0, 0) > 0) {
        DispatchMessageW(&msg);
        ++got;
    }
    Check(msg.message == WM_QUIT && msg.wParam == 9);

    // 35: a box that cannot be shown (its owner is no window) reports 0.
    Check(MessageBoxW((HWND)(uintptr_t)0x1234, L"text", L"caption", MB_OK) == 0);
    DestroyWindow(hWnd);

    // 36-37: formats as the core library's formatter reads them, arguments taken in
    // step; a string read only up to its precision may end where the memory ends.
    Check(wsprintfW(buf, L"%-4d|%04d|%#x|%.2s|%hs|%S|%ls|%c|%%|%u|%X|%I32d|% d%d|%*d%d|%5%d", 7, 42, 255, L"abc",
                    "nar", "NAR", L"wide", L'Q', 4000000000u, 0xBEEF, -3, 9, 8, 1) == 68 &&
          Same(buf, L"7   |0042|0xff|ab|nar|NAR|wide|Q|%|4000000000|BEEF|-3| d9|*d8|     1"));
    WCHAR *end = (WCHAR *)Tail(6);
    end[0] = 'x', end[1] = 'y', end[2] = 'z';
    Check(wsprintfW(buf, L"<%.3s>", end) == 5 && Same(buf, L"<xyz>"));

    // 38: Thumb code calls the core library and is called back by it.
    int (*volatile thumb)(HINSTANCE) = ThumbChecks;
    int step = thumb(hInstance);
    Check(step == 0);
    if (step && s_failed == s_check)
        s_failed = 100 + step;
    return s_failed;
}
