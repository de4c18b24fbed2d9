// A handheld program that does, on request, what would crash the handheld, so that
// the ARM runner's answer to each can be tested. Its command line names the fault;
// with none it ends with exit code 7.
#include "platform.h"

static const WCHAR kClass[] = L"Faults";

static bool Is(LPCWSTR a, LPCWSTR b)
{
    while (*a && *a == *b)
        ++a, ++b;
    return *a == *b;
}

// The address stays unknown to the compiler, so the access is made as written.
static volatile uintptr_t s_nowhere = 0x7FF00000;
static volatile int s_depth = -1;

// Calls itself until the stack runs out; the depth it may go to is unknown to the
// compiler.
static int Recurse(int n)
{
    volatile char frame[256];
    frame[0] = (char)n;
    if (n == s_depth)
        return frame[0];
    return Recurse(n + 1) + frame[0];
}

static LRESULT CALLBACK ReadingWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    // While it is being created, the procedure reads memory nobody gave it.
    if (message == WM_CREATE)
        return *(volatile int *)s_nowhere;
    return DefWindowProcW(hWnd, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR lpCmdLine, int)
{
    if (Is(lpCmdLine, L"misaligned")) {
        static DWORD words[2];
        volatile DWORD *p = (volatile DWORD *)((volatile char *)words + 2);
        return (int)*p;
    }
    if (Is(lpCmdLine, L"unmapped"))
        return *(volatile int *)s_nowhere;
    if (Is(lpCmdLine, L"jump"))
        return ((int (*)(void))(s_nowhere + 0x1000))();
    if (Is(lpCmdLine, L"pointer"))
        return MessageBoxW(NULL, (LPCWSTR)(s_nowhere + 2), L"Faults", MB_OK);
    if (Is(lpCmdLine, L"stack"))
        return Recurse(0);
    if (Is(lpCmdLine, L"message")) {
        WNDCLASSW wc;
        memset(&wc, 0, sizeof(wc));
        wc.lpfnWndProc = ReadingWndProc;
        wc.hInstance = hInstance;
        wc.lpszClassName = kClass;
        RegisterClassW(&wc);
        CreateWindowExW(0, kClass, L"Faults", WS_POPUP, 0, 0, 10, 10, NULL, NULL, hInstance, NULL);
        return 0;
    }
    return 7;
}
