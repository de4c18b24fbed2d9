// The floor make bench holds RegSave's start-up and tap-to-box against: the least a
// Win32 program with one window does. It links no C run-time and imports only the
// system's own libraries; its window has RegSave's place and size and one push button
// (id 110, as Save's) that shows a message box and, once it is closed, ends the program.
#include <windows.h>

static const wchar_t kName[] = L"Bare";

#define IDC_BOX  110
#define IDM_EXIT 40002  // what bench sends to end a program, as RegSave's Alt+F4 does

static LRESULT CALLBACK BareWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        CreateWindowExW(0, L"BUTTON", L"Box", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 5, 5, 76, 25, hWnd,
                        (HMENU)(INT_PTR)IDC_BOX, ((CREATESTRUCTW *)lParam)->hInstance, NULL);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_BOX && HIWORD(wParam) == BN_CLICKED) {
            MessageBoxW(NULL, L"Done", L"Bare OK", MB_OK);
            DestroyWindow(hWnd);
            return 0;
        }
        if (LOWORD(wParam) == IDM_EXIT) {
            DestroyWindow(hWnd);
            return 0;
        }
        break;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hWnd, message, wParam, lParam);
}

extern "C" void BareStartup(void)
{
    HINSTANCE instance = GetModuleHandleW(NULL);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = BareWndProc;
    wc.hInstance = instance;
    wc.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    wc.lpszClassName = kName;
    RegisterClassW(&wc);
    HWND hWnd = CreateWindowExW(0, kName, kName, WS_VISIBLE | WS_CAPTION, 77, 113, 85, 88, NULL, NULL, instance, NULL);
    if (!hWnd)
        ExitProcess(1);
    UpdateWindow(hWnd);
    MSG msg;
    while (GetMessageW(&msg, NULL, 0, 0)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    ExitProcess((UINT)msg.wParam);
}
