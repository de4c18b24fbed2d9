// make bench: the figures that matter on the handheld, measured on a fresh simulated
// device. Runs inside the device; prints one line per figure.
//
//   bench flush       the registry flush (RegFlushKey of COREDLL.dll) of the whole
//                     registry, against a plain write of the same bytes to the same disk
//   bench startup     from starting RegSave.exe to its main window on screen
//   bench tap         from a tap on "Save" to the message box on screen
#include <windows.h>

#include <algorithm>
#include <stdio.h>
#include <vector>

static const wchar_t kHive[] = L"C:\\Flash Disk\\registry.dat";
static const wchar_t kPlain[] = L"C:\\Flash Disk\\plain-write.bin";
static const wchar_t kProgram[] = L"C:\\Program Files\\RegSave.exe";

static double Now()
{
    static LARGE_INTEGER freq;
    if (!freq.QuadPart)
        QueryPerformanceFrequency(&freq);
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart * 1000.0 / freq.QuadPart;
}

static double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

static void Report(const char *what, const std::vector<double> &ms)
{
    printf("%-10s median %8.1f ms   min %8.1f ms   max %8.1f ms   (%zu runs)\n", what, Median(ms),
           *std::min_element(ms.begin(), ms.end()), *std::max_element(ms.begin(), ms.end()), ms.size());
}

static void SetDword(const wchar_t *key, const wchar_t *name, DWORD v)
{
    HKEY h;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &h, NULL) == ERROR_SUCCESS) {
        RegSetValueExW(h, name, 0, REG_DWORD, (const BYTE *)&v, sizeof(v));
        RegCloseKey(h);
    }
}

static int Flush(int runs)
{
    SetDword(L"SYSTEM\\ORV\\REGLock", L"EnableSave", 1);
    std::vector<double> flush, plain;
    for (int i = 0; i < runs; ++i) {
        double t = Now();
        LONG rc = RegFlushKey(HKEY_LOCAL_MACHINE);
        flush.push_back(Now() - t);
        if (rc) {
            printf("flush failed: %ld\n", rc);
            return 1;
        }
    }
    // The same bytes, written and made durable the plain way.
    HANDLE f = CreateFileW(kHive, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    std::vector<char> bytes(GetFileSize(f, NULL));
    DWORD n;
    ReadFile(f, bytes.data(), (DWORD)bytes.size(), &n, NULL);
    CloseHandle(f);
    for (int i = 0; i < runs; ++i) {
        double t = Now();
        HANDLE w = CreateFileW(kPlain, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        WriteFile(w, bytes.data(), (DWORD)bytes.size(), &n, NULL);
        FlushFileBuffers(w);
        CloseHandle(w);
        plain.push_back(Now() - t);
    }
    DeleteFileW(kPlain);
    printf("hive       %zu bytes\n", bytes.size());
    Report("flush", flush);
    Report("plain", plain);
    printf("ratio      %.2f (flush / plain write of the same bytes)\n", Median(flush) / Median(plain));
    return 0;
}

static HWND WaitWindow(const wchar_t *cls, const wchar_t *title, double timeoutMs)
{
    double start = Now();
    for (;;) {
        HWND h = FindWindowW(cls, title);
        if (h && IsWindowVisible(h))
            return h;
        if (Now() - start > timeoutMs)
            return NULL;
        Sleep(1);
    }
}

static bool StartProgram(PROCESS_INFORMATION *pi)
{
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    wchar_t cmd[MAX_PATH];
    lstrcpyW(cmd, kProgram);
    return CreateProcessW(kProgram, cmd, NULL, NULL, FALSE, 0, NULL, L"C:\\Program Files", &si, pi);
}

static void EndProgram(PROCESS_INFORMATION *pi, HWND main)
{
    if (main)
        PostMessageW(main, WM_COMMAND, MAKEWPARAM(40002, 1), 0);  // as Alt+F4 does
    if (WaitForSingleObject(pi->hProcess, 5000) != WAIT_OBJECT_0)
        TerminateProcess(pi->hProcess, 1);
    CloseHandle(pi->hProcess);
    CloseHandle(pi->hThread);
}

static int Startup(int runs)
{
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        PROCESS_INFORMATION pi;
        double t = Now();
        if (!StartProgram(&pi)) {
            printf("cannot start %ls\n", kProgram);
            return 1;
        }
        HWND main = WaitWindow(L"Registry", L"Registry", 10000);
        ms.push_back(Now() - t);
        EndProgram(&pi, main);
        if (!main) {
            printf("no main window\n");
            return 1;
        }
    }
    Report("startup", ms);
    return 0;
}

static void Click(POINT pt)
{
    int cx = GetSystemMetrics(SM_CXSCREEN) - 1, cy = GetSystemMetrics(SM_CYSCREEN) - 1;
    INPUT in[2] = {};
    for (int i = 0; i < 2; ++i) {
        in[i].type = INPUT_MOUSE;
        in[i].mi.dx = (pt.x * 65535 + cx / 2) / cx;
        in[i].mi.dy = (pt.y * 65535 + cy / 2) / cy;
        in[i].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | (i ? MOUSEEVENTF_LEFTUP : MOUSEEVENTF_LEFTDOWN);
    }
    SendInput(2, in, sizeof(INPUT));
}

static int Tap(int runs)
{
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        PROCESS_INFORMATION pi;
        if (!StartProgram(&pi))
            return 1;
        HWND main = WaitWindow(L"Registry", L"Registry", 10000);
        HWND save = main ? GetDlgItem(main, 110) : NULL;
        if (!save) {
            EndProgram(&pi, main);
            printf("no Save button\n");
            return 1;
        }
        WaitForInputIdle(pi.hProcess, 5000);
        RECT rc;
        GetWindowRect(save, &rc);
        POINT centre = {(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2};
        double t = Now();
        Click(centre);
        HWND box = WaitWindow(L"#32770", L"Save OK", 10000);
        ms.push_back(Now() - t);
        if (!box) {
            EndProgram(&pi, NULL);
            printf("no box after the tap\n");
            return 1;
        }
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        EndProgram(&pi, NULL);
    }
    Report("tap-to-box", ms);
    return 0;
}

int wmain(int argc, wchar_t **argv)
{
    int runs = argc > 2 ? _wtoi(argv[2]) : 10;
    if (argc >= 2 && !lstrcmpW(argv[1], L"flush"))
        return Flush(runs);
    if (argc >= 2 && !lstrcmpW(argv[1], L"startup"))
        return Startup(runs);
    if (argc >= 2 && !lstrcmpW(argv[1], L"tap"))
        return Tap(runs);
    fprintf(stderr, "usage: bench flush|startup|tap [RUNS]\n");
    return 2;
}
