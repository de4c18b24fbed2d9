// Test tool: holds a device file open without delete sharing, as another program
// reading it would, until its window is closed.
#include <windows.h>

static LRESULT CALLBACK HolderProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hWnd, msg, wParam, lParam);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR cmdLine, int)
{
    // The one argument, a path, arrives quoted when it holds a space.
    if (cmdLine[0] == L'"') {
        ++cmdLine;
        cmdLine[lstrlenW(cmdLine) - 1] = 0;
    }
    HANDLE file = CreateFileW(cmdLine, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    WNDCLASSW wc = {};
    wc.lpfnWndProc = HolderProc;
    wc.hInstance = instance;
    wc.lpszClassName = L"Holder";
    wc.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    RegisterClassW(&wc);
    CreateWindowExW(0, L"Holder", L"holding", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 120, 60, NULL, NULL, instance,
                    NULL);
    MSG msg;
    while (GetMessageW(&msg, NULL, 0, 0)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    CloseHandle(file);
    return 0;
}
