// Start-up, the single-instance rule, the main window class and the message loop.
#include "regsave.h"
#include "resource.h"

HINSTANCE g_hInstance;

// Both resource strings ("Registry") fit in this many units with their terminator.
#define MAX_LOADSTRING 100

// Main window placement on the 240 x 320 screen, caption included.
#define MAIN_X      77
#define MAIN_Y      113
#define MAIN_WIDTH  85
#define MAIN_HEIGHT 88

// Guards the single-instance look and the window's creation across processes.
#define START_MUTEX   L"RegSave.Start"
#define START_WAIT_MS 5000

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nShowCmd)
{
    (void)hPrevInstance;
    (void)lpCmdLine;

    // On any other device the program ends at once, before it shows or writes anything.
    if (!CheckTargetDevice())
        return 0;

    if (!CreateMainWindow(hInstance, nShowCmd))
        return 0;

    HACCEL hAccel = LoadAcceleratorsW(hInstance, MAKEINTRESOURCEW(IDR_ACCEL));

    // Accelerators are translated for the window each key was sent to, so they take
    // effect only while the main window itself has the focus.
    MSG msg;
    while (GetMessageW(&msg, NULL, 0, 0)) {
        if (!TranslateAcceleratorW(msg.hwnd, hAccel, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return (int)msg.wParam;
}

BOOL CreateMainWindow(HINSTANCE hInstance, int nCmdShow)
{
    // Zeroed so that a string that fails to load is empty rather than stray memory.
    WCHAR szWindowClass[MAX_LOADSTRING] = {0};
    WCHAR szTitle[MAX_LOADSTRING] = {0};
    BOOL bCreated = FALSE;

    g_hInstance = hInstance;

    LoadStringW(hInstance, IDS_CLASS, szWindowClass, MAX_LOADSTRING);
    RegisterMainClass(hInstance, szWindowClass);
    LoadStringW(hInstance, IDS_TITLE, szTitle, MAX_LOADSTRING);

    // Two starts at the same moment could both look before either window exists. The
    // look and the creation happen under one named mutex, so a start that loses the
    // race finds the winner's window, as it finds a copy that was running already. A
    // claim that is not granted in time leaves the title rule on its own.
    HANDLE hStart = CreateMutexW(NULL, FALSE, START_MUTEX);
    DWORD dwWait = hStart ? WaitForSingleObject(hStart, START_WAIT_MS) : WAIT_FAILED;
    BOOL bClaimed = dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED;

    // One copy at a time: a window with our title means a copy is running already.
    HWND hWnd = FindWindowW(NULL, szTitle);
    if (hWnd) {
        ShowWindow(hWnd, SW_SHOWNORMAL);
        SetForegroundWindow(hWnd);
    } else {
        hWnd = CreateWindowExW(0, szWindowClass, szTitle, WS_VISIBLE | WS_CAPTION, MAIN_X, MAIN_Y, MAIN_WIDTH,
                               MAIN_HEIGHT, NULL, NULL, hInstance, NULL);
        bCreated = hWnd != NULL;
    }
    if (bClaimed)
        ReleaseMutex(hStart);
    if (hStart)
        CloseHandle(hStart);
    if (!bCreated)
        return FALSE;

    ShowWindow(hWnd, nCmdShow);
    UpdateWindow(hWnd);
    return TRUE;
}

ATOM RegisterMainClass(HINSTANCE hInstance, LPCWSTR szWindowClass)
{
    WNDCLASSW wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = MainWndProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = hInstance;
    wc.hIcon = LoadIconW(hInstance, MAKEINTRESOURCEW(IDI_APP));
    wc.hCursor = NULL;
    wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    wc.lpszMenuName = NULL;
    wc.lpszClassName = szWindowClass;
    return RegisterClassW(&wc);
}
