// make bench: the figures that matter on the handheld, each measured beside its floor
// on the same device in the same run. Runs inside the device; prints one line per
// timing, which bench/bench.sh reads:
//
//   NAME median M ms  spread A..B ms  min X ms  max Y ms  (N runs)
//
// where A..B holds the middle half of the runs.
//
//   bench startup RUNS   from starting a program to its main window on screen: RegSave,
//                        a bare one-window program (bare.exe), and the handheld's image
//                        of RegSave on the ARM runner when it is in the device
//   bench tap RUNS       from a tap on a program's button to its message box on screen:
//                        RegSave's Save, the bare program's button, the ARM image's Save
//   bench flush RUNS     the registry flush (RegFlushKey of COREDLL.dll) of the whole
//                        registry; the Wine server's own save of the same two roots
//                        (RegSaveKeyW of HKLM and HKCU), bare, and made durable and
//                        moved over the previous save as a flush must; a plain durable
//                        write of the bytes the flush wrote
//   bench calls N RUNS   the cost of a core-library call: N calls of GetStockObject
//                        through COREDLL.dll here, and the ARM image armcalls.exe making
//                        N calls and none on the ARM runner
//
// The programs measured against each other take turns, so that each meets the machine
// in the same state.
#include <windows.h>

#include <algorithm>
#include <stdio.h>
#include <vector>

static const wchar_t kFlash[] = L"C:\\Flash Disk";
static const wchar_t kHive[] = L"C:\\Flash Disk\\registry.dat";
static const wchar_t kPlain[] = L"C:\\Flash Disk\\plain-write.bin";
static const wchar_t kServerSave[2][40] = {L"C:\\Flash Disk\\server-save-hklm.bin",
                                           L"C:\\Flash Disk\\server-save-hkcu.bin"};
static const wchar_t kServerKept[2][40] = {L"C:\\Flash Disk\\server-kept-hklm.bin",
                                           L"C:\\Flash Disk\\server-kept-hkcu.bin"};
static const wchar_t kRunner[] = L"C:\\windows\\cedev\\armrun.exe.so";
static const wchar_t kFolder[] = L"C:\\Program Files";

// A program as bench starts it: its command line, how its main window is found, the
// control a tap goes to and the caption of the box that follows.
struct Program {
    const char *name;
    const wchar_t *exe;  // in kFolder
    bool arm;            // started on the ARM runner
    const wchar_t *cls, *title;
    int button;
    const wchar_t *box;
};

static const Program kRegSave = {"regsave", L"RegSave.exe", false, L"Registry", L"Registry", 110, L"Save OK"};
static const Program kBare = {"bare", L"bare.exe", false, L"Bare", L"Bare", 110, L"Bare OK"};
static const Program kRegSaveArm = {"regsave-arm", L"RegSaveARM.exe", true, L"Registry", L"Registry", 110,
                                    L"Save OK"};

static double Now()
{
    static LARGE_INTEGER freq;
    if (!freq.QuadPart)
        QueryPerformanceFrequency(&freq);
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart * 1000.0 / freq.QuadPart;
}

// The value below which a share Q of the sorted runs lies.
static double Quantile(const std::vector<double> &sorted, double q)
{
    if (sorted.empty())
        return 0;
    double at = q * (sorted.size() - 1);
    size_t i = (size_t)at;
    if (i + 1 >= sorted.size())
        return sorted.back();
    return sorted[i] + (at - i) * (sorted[i + 1] - sorted[i]);
}

static void Report(const char *what, std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    printf("%-16s median %9.2f ms  spread %.2f..%.2f ms  min %.2f ms  max %.2f ms  (%zu runs)\n", what,
           Quantile(ms, 0.5), Quantile(ms, 0.25), Quantile(ms, 0.75), ms.front(), ms.back(), ms.size());
    fflush(stdout);
}

static bool Exists(const wchar_t *path)
{
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

static bool Present(const Program &p)
{
    wchar_t path[MAX_PATH];
    wsprintfW(path, L"%s\\%s", kFolder, p.exe);
    return Exists(path) && (!p.arm || Exists(kRunner));
}

// ---------------------------------------------------------------------------
// Programs

struct Running {
    PROCESS_INFORMATION pi;
    HWND main;
};

// Starts a program from kFolder, as a program of the device starts another: a
// handheld image on the ARM runner, the others directly. ARGS follow its name.
static bool Start(const Program &p, const wchar_t *args, PROCESS_INFORMATION *pi)
{
    wchar_t cmd[2 * MAX_PATH];
    if (p.arm)
        wsprintfW(cmd, L"%s \"%s\\%s\"%s%s", kRunner, kFolder, p.exe, args ? L" " : L"", args ? args : L"");
    else
        wsprintfW(cmd, L"\"%s\\%s\"%s%s", kFolder, p.exe, args ? L" " : L"", args ? args : L"");
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    if (!CreateProcessW(NULL, cmd, NULL, NULL, FALSE, 0, NULL, kFolder, &si, pi)) {
        printf("cannot start %ls (error %lu)\n", cmd, GetLastError());
        return false;
    }
    return true;
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

// Ends a program: its main window is told to close, as Alt+F4 does, and its process
// is waited for (ended, if it does not go within 5 s).
static void End(Running *r)
{
    if (r->main && IsWindow(r->main))
        PostMessageW(r->main, WM_COMMAND, MAKEWPARAM(40002, 1), 0);
    if (WaitForSingleObject(r->pi.hProcess, 5000) != WAIT_OBJECT_0)
        TerminateProcess(r->pi.hProcess, 1);
    CloseHandle(r->pi.hProcess);
    CloseHandle(r->pi.hThread);
}

// The time from the start to the main window on screen, or a negative value.
static double TimeStartup(const Program &p)
{
    Running r = {};
    double t = Now();
    if (!Start(p, NULL, &r.pi))
        return -1;
    r.main = WaitWindow(p.cls, p.title, 20000);
    double ms = Now() - t;
    End(&r);
    if (!r.main) {
        printf("%s: no main window within 20 s\n", p.name);
        return -1;
    }
    return ms;
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

// The time from a tap on the program's button to its message box on screen.
static double TimeTap(const Program &p)
{
    Running r = {};
    if (!Start(p, NULL, &r.pi))
        return -1;
    r.main = WaitWindow(p.cls, p.title, 20000);
    HWND button = r.main ? GetDlgItem(r.main, p.button) : NULL;
    if (!button) {
        End(&r);
        printf("%s: no button %d\n", p.name, p.button);
        return -1;
    }
    // The program waits for input, and the pointer is already over the button, so
    // that the tap is all that is timed.
    WaitForInputIdle(r.pi.hProcess, 5000);
    RECT rc;
    GetWindowRect(button, &rc);
    POINT centre = {(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2};
    SetCursorPos(centre.x, centre.y);
    double t = Now();
    Click(centre);
    HWND box = WaitWindow(L"#32770", p.box, 20000);
    double ms = Now() - t;
    if (box)
        PostMessageW(box, WM_COMMAND, IDOK, 0);
    r.main = NULL;  // the program ends once its box is closed
    End(&r);
    if (!box) {
        printf("%s: no box \"%ls\" within 20 s of the tap\n", p.name, p.box);
        return -1;
    }
    return ms;
}

// Runs every program present in turns, RUNS times each after one unmeasured turn.
static int Compare(const char *what, double (*measure)(const Program &), int runs)
{
    const Program *all[] = {&kRegSave, &kBare, &kRegSaveArm};
    std::vector<const Program *> programs;
    for (const Program *p : all) {
        if (Present(*p))
            programs.push_back(p);
        else if (!p->arm) {
            printf("%s: %ls is not in %ls\n", p->name, p->exe, kFolder);
            return 1;
        }
    }
    std::vector<std::vector<double>> ms(programs.size());
    for (int round = -1; round < runs; ++round) {
        for (size_t i = 0; i < programs.size(); ++i) {
            double t = measure(*programs[i]);
            if (t < 0)
                return 1;
            if (round >= 0)
                ms[i].push_back(t);
        }
    }
    for (size_t i = 0; i < programs.size(); ++i) {
        char name[64];
        wsprintfA(name, "%s-%s", what, programs[i]->name);
        Report(name, ms[i]);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The flush

static void SetDword(const wchar_t *key, const wchar_t *name, DWORD v)
{
    HKEY h;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &h, NULL) == ERROR_SUCCESS) {
        RegSetValueExW(h, name, 0, REG_DWORD, (const BYTE *)&v, sizeof(v));
        RegCloseKey(h);
    }
}

static bool EnableBackupPrivilege()
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token))
        return false;
    TOKEN_PRIVILEGES tp = {};
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    bool ok = LookupPrivilegeValueW(NULL, L"SeBackupPrivilege", &tp.Privileges[0].Luid) &&
              AdjustTokenPrivileges(token, FALSE, &tp, 0, NULL, NULL) && GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    return ok;
}

static std::vector<char> ReadAll(const wchar_t *path)
{
    std::vector<char> bytes;
    HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (f == INVALID_HANDLE_VALUE)
        return bytes;
    bytes.resize(GetFileSize(f, NULL));
    DWORD n = 0;
    if (!ReadFile(f, bytes.data(), (DWORD)bytes.size(), &n, NULL) || n != bytes.size())
        bytes.clear();
    CloseHandle(f);
    return bytes;
}

static int Flush(int runs)
{
    SetDword(L"SYSTEM\\ORV\\REGLock", L"EnableSave", 1);
    if (!EnableBackupPrivilege()) {
        printf("cannot enable the backup privilege\n");
        return 1;
    }
    if (RegFlushKey(HKEY_LOCAL_MACHINE)) {
        printf("the flush failed\n");
        return 1;
    }
    std::vector<char> bytes = ReadAll(kHive);
    if (bytes.empty()) {
        printf("cannot read %ls\n", kHive);
        return 1;
    }
    std::vector<double> flush, save, durable, plain;
    double saved = 0;
    for (int round = -1; round < runs; ++round) {
        double t = Now();
        LONG rc = RegFlushKey(HKEY_LOCAL_MACHINE);
        double flushMs = Now() - t;
        if (rc) {
            printf("the flush failed: %ld\n", rc);
            return 1;
        }

        // The Wine server's own save of the same roots, each into a new file; then, as
        // the flush must, each file made durable and moved over the one before.
        for (const wchar_t *f : kServerSave)
            DeleteFileW(f);
        t = Now();
        rc = RegSaveKeyW(HKEY_LOCAL_MACHINE, kServerSave[0], NULL);
        if (!rc)
            rc = RegSaveKeyW(HKEY_CURRENT_USER, kServerSave[1], NULL);
        double saveMs = Now() - t;
        for (int i = 0; i < 2 && !rc; ++i) {
            HANDLE f = CreateFileW(kServerSave[i], GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
            if (f == INVALID_HANDLE_VALUE || !FlushFileBuffers(f))
                rc = (LONG)GetLastError();
            if (f != INVALID_HANDLE_VALUE)
                CloseHandle(f);
            if (!rc && !MoveFileExW(kServerSave[i], kServerKept[i], MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
                rc = (LONG)GetLastError();
        }
        double durableMs = Now() - t;
        if (rc) {
            printf("the server's save failed: %ld\n", rc);
            return 1;
        }
        saved = 0;
        for (const wchar_t *f : kServerKept) {
            WIN32_FILE_ATTRIBUTE_DATA data;
            if (GetFileAttributesExW(f, GetFileExInfoStandard, &data))
                saved += data.nFileSizeLow + 4294967296.0 * data.nFileSizeHigh;
        }

        // The flush's bytes, written and made durable the plain way.
        DeleteFileW(kPlain);
        t = Now();
        HANDLE w = CreateFileW(kPlain, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        DWORD n = 0;
        bool ok = w != INVALID_HANDLE_VALUE && WriteFile(w, bytes.data(), (DWORD)bytes.size(), &n, NULL) &&
                  n == bytes.size() && FlushFileBuffers(w);
        if (w != INVALID_HANDLE_VALUE)
            CloseHandle(w);
        double plainMs = Now() - t;
        DeleteFileW(kPlain);
        if (!ok) {
            printf("the plain write failed\n");
            return 1;
        }
        if (round >= 0) {
            flush.push_back(flushMs);
            save.push_back(saveMs);
            durable.push_back(durableMs);
            plain.push_back(plainMs);
        }
    }
    printf("hive %zu bytes, server save %.0f bytes\n", bytes.size(), saved);
    Report("flush", flush);
    Report("server-save", save);
    Report("server-save-durable", durable);
    for (const wchar_t *f : kServerKept)
        DeleteFileW(f);
    Report("plain-write", plain);
    return 0;
}

// ---------------------------------------------------------------------------
// The cost of a core-library call

static double TimeArmCalls(const wchar_t *count)
{
    static const Program calls = {"armcalls", L"armcalls.exe", true, NULL, NULL, 0, NULL};
    PROCESS_INFORMATION pi;
    double t = Now();
    if (!Start(calls, count, &pi))
        return -1;
    DWORD rc = 1;
    bool ended = WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0;
    double ms = Now() - t;
    if (!ended)
        TerminateProcess(pi.hProcess, 1);
    GetExitCodeProcess(pi.hProcess, &rc);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    if (!ended || rc) {
        printf("armcalls.exe %ls %s\n", count, ended ? "failed" : "did not end within 60 s");
        return -1;
    }
    return ms;
}

static int Calls(int count, int runs)
{
    typedef HGDIOBJ(WINAPI * StockFn)(int);
    HMODULE core = LoadLibraryW(L"COREDLL.dll");
    StockFn stock = core ? (StockFn)(void *)GetProcAddress(core, "GetStockObject") : NULL;
    if (!stock) {
        printf("COREDLL.dll has no GetStockObject\n");
        return 1;
    }
    static const Program calls = {"armcalls", L"armcalls.exe", true, NULL, NULL, 0, NULL};
    bool arm = Present(calls);
    wchar_t n[16];
    wsprintfW(n, L"%d", count);
    std::vector<double> native, none, many;
    for (int round = -1; round < runs; ++round) {
        double t = Now();
        HGDIOBJ first = stock(WHITE_BRUSH);
        for (int i = 0; i < count; ++i) {
            if (stock(WHITE_BRUSH) != first)
                return 1;
        }
        double nativeMs = Now() - t;
        double noneMs = arm ? TimeArmCalls(L"0") : 0;
        double manyMs = arm ? TimeArmCalls(n) : 0;
        if (noneMs < 0 || manyMs < 0)
            return 1;
        if (round >= 0) {
            native.push_back(nativeMs);
            none.push_back(noneMs);
            many.push_back(manyMs);
        }
    }
    printf("calls %d\n", count);
    Report("calls-native", native);
    if (arm) {
        Report("calls-arm-none", none);
        Report("calls-arm", many);
    }
    return 0;
}

int wmain(int argc, wchar_t **argv)
{
    if (argc >= 2 && !lstrcmpW(argv[1], L"calls") && argc == 4)
        return Calls(_wtoi(argv[2]), _wtoi(argv[3]));
    int runs = argc > 2 ? _wtoi(argv[2]) : 10;
    if (argc >= 2 && runs > 0) {
        if (!lstrcmpW(argv[1], L"flush"))
            return Exists(kFlash) ? Flush(runs) : (printf("no %ls\n", kFlash), 1);
        if (!lstrcmpW(argv[1], L"startup"))
            return Compare("startup", TimeStartup, runs);
        if (!lstrcmpW(argv[1], L"tap"))
            return Compare("tap", TimeTap, runs);
    }
    fprintf(stderr, "usage: bench startup|tap|flush [RUNS] | bench calls COUNT RUNS\n");
    return 2;
}
