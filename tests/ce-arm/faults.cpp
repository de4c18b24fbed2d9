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

static HWND MakeWindow(HINSTANCE hInstance, WNDPROC proc)
{
    WNDCLASSW wc;
    memset(&wc, 0, sizeof(wc));
    wc.lpfnWndProc = proc;
    wc.hInstance = hInstance;
    wc.lpszClassName = kClass;
    RegisterClassW(&wc);
    return CreateWindowExW(0, kClass, L"Faults", WS_POPUP, 0, 0, 10, 10, NULL, NULL, hInstance, NULL);
}

static LRESULT CALLBACK PlainWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(hWnd, message, wParam, lParam);
}

// ---------------------------------------------------------------------------
// Misaligned accesses, one instruction form each, in ARM and in Thumb code, on the
// address in r0. Each is called through a pointer, as the compiler then moves between
// ARM and Thumb with BX.

#define ACCESS(name, isa, body) \
    extern "C" __attribute__((naked, target(isa))) int name(void *) { __asm__ volatile(body "\n\tbx lr"); }

ACCESS(ArmLdr, "arm", "ldr r0, [r0]")
ACCESS(ArmStr, "arm", "str r0, [r0]")
ACCESS(ArmLdrh, "arm", "ldrh r0, [r0]")
ACCESS(ArmStrh, "arm", "strh r0, [r0]")
ACCESS(ArmLdrsh, "arm", "ldrsh r0, [r0]")
ACCESS(ArmLdm, "arm", "ldm r0, {r1, r2}")
ACCESS(ArmStm, "arm", "stm r0, {r1, r2}")
ACCESS(ArmSwp, "arm", "swp r1, r1, [r0]")
ACCESS(ArmPush, "arm", "mov r1, sp\n\tmov sp, r0\n\tpush {r2}\n\tmov sp, r1")
ACCESS(ArmPop, "arm", "mov r1, sp\n\tmov sp, r0\n\tpop {r2}\n\tmov sp, r1")
ACCESS(ThumbLdr, "thumb", "ldr r0, [r0]")
ACCESS(ThumbStr, "thumb", "str r0, [r0]")
ACCESS(ThumbLdrh, "thumb", "ldrh r0, [r0]")
ACCESS(ThumbStrh, "thumb", "strh r0, [r0]")
ACCESS(ThumbLdrsh, "thumb", "movs r1, #0\n\tldrsh r0, [r0, r1]")
ACCESS(ThumbLdm, "thumb", "ldm r0!, {r1, r2}")
ACCESS(ThumbStm, "thumb", "stm r0!, {r1, r2}")
ACCESS(ThumbPush, "thumb", "mov r1, sp\n\tmov sp, r0\n\tpush {r2}\n\tmov sp, r1")
ACCESS(ThumbPop, "thumb", "mov r1, sp\n\tmov sp, r0\n\tpop {r2}\n\tmov sp, r1")

typedef int (*Access)(void *);
static const struct {
    const WCHAR *name;
    Access access;
    int offset;  // from a word boundary
} kAccesses[] = {
    {L"arm-ldr", ArmLdr, 2},     {L"arm-str", ArmStr, 2},     {L"arm-ldrh", ArmLdrh, 1},
    {L"arm-strh", ArmStrh, 1},   {L"arm-ldrsh", ArmLdrsh, 1}, {L"arm-ldm", ArmLdm, 2},
    {L"arm-stm", ArmStm, 2},     {L"arm-swp", ArmSwp, 2},     {L"arm-push", ArmPush, 2},
    {L"arm-pop", ArmPop, 2},     {L"thumb-ldr", ThumbLdr, 2}, {L"thumb-str", ThumbStr, 2},
    {L"thumb-ldrh", ThumbLdrh, 1}, {L"thumb-strh", ThumbStrh, 1}, {L"thumb-ldrsh", ThumbLdrsh, 1},
    {L"thumb-ldm", ThumbLdm, 2}, {L"thumb-stm", ThumbStm, 2}, {L"thumb-push", ThumbPush, 2},
    {L"thumb-pop", ThumbPop, 2},
};

static DWORD s_words[8];

static int Misaligned(LPCWSTR name)
{
    for (const auto &a : kAccesses) {
        if (Is(name, a.name)) {
            Access volatile access = a.access;
            return access((char *)&s_words[4] + a.offset);
        }
    }
    return -1;
}

// ---------------------------------------------------------------------------
// Jumps between ARM and Thumb code that are not made by BX: a window procedure that
// returns without it, in either state, and a call of the core library (whose code is
// Thumb) through its import table slot without it. On ARMv4T only BX changes state.

#define NAKED(name, isa, body) \
    extern "C" __attribute__((naked, target(isa))) LRESULT name(HWND, UINT, WPARAM, LPARAM) { __asm__ volatile(body); }

NAKED(ArmReturnByMov, "arm", "mov r0, #0\n\tmov pc, lr")
NAKED(ThumbReturnByPop, "thumb", "push {lr}\n\tmovs r0, #0\n\tpop {pc}")

// Calls the function whose import table slot is at r0 with r1, loading the PC from the
// slot.
extern "C" __attribute__((naked, target("arm"))) int CallBySlot(void *, const void *)
{
    __asm__ volatile("push {lr}\n\tmov r12, r0\n\tmov r0, r1\n\tmov lr, pc\n\tldr pc, [r12]\n\tpop {lr}\n\tbx lr");
}

// The import table slot a thunk jumps through: the thunk starts by loading the slot's
// address from the word its first instruction names ("ldr ip, [pc, #n]"). 0 when the
// thunk does not start so.
static void *SlotOf(const void *thunk)
{
    const DWORD *code = (const DWORD *)thunk;
    if ((code[0] & 0xFFFFF000) != 0xE59FC000)
        return NULL;
    return *(void *const *)((const BYTE *)thunk + 8 + (code[0] & 0xFFF));
}

static int NotByBx(HINSTANCE hInstance, LPCWSTR name)
{
    if (Is(name, L"bx:arm-return"))
        return MakeWindow(hInstance, ArmReturnByMov) != NULL;
    if (Is(name, L"bx:thumb-return"))
        return MakeWindow(hInstance, ThumbReturnByPop) != NULL;
    if (Is(name, L"bx:import")) {
        size_t (*volatile thunk)(const wchar_t *) = wcslen;
        void *slot = SlotOf((const void *)thunk);
        if (!slot)
            return 99;
        int (*volatile call)(void *, const void *) = CallBySlot;
        return call(slot, L"four");
    }
    return -1;
}

// ---------------------------------------------------------------------------
// Pointers to the core library that run past the program's memory: the last bytes of
// the page that holds the program's data. The data is less than a page, and the
// runner maps each section as memory of its own, so the page's end is the end of
// that memory (the import address table follows, in a section of its own).

static BYTE s_room[64];

static void *Tail(unsigned bytes)
{
    return (BYTE *)(((uintptr_t)s_room | 0xFFF) + 1) - bytes;
}

// A string that runs to the end of that memory without a terminator.
static LPCWSTR Unterminated()
{
    WCHAR *s = (WCHAR *)Tail(8);
    for (int i = 0; i < 4; ++i)
        s[i] = L'x';
    return s;
}

static int PastTheEnd(HINSTANCE hInstance, LPCWSTR name)
{
    HKEY key;
    DWORD size = 64;
    MSG msg;
    if (Is(name, L"size:RegCreateKeyExW"))
        return RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\ArmFaults", 0, NULL, 0, 0, NULL, (PHKEY)Tail(2), NULL);
    if (Is(name, L"size:RegCreateKeyExW.disposition"))
        return RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\ArmFaults", 0, NULL, 0, 0, NULL, &key, (DWORD *)Tail(2));
    if (Is(name, L"size:RegOpenKeyExW"))
        return RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, 0, (PHKEY)Tail(2));
    if (Is(name, L"size:RegQueryValueExW")) {
        // A value of 64 bytes, read into the last 8 bytes of the program's memory.
        RegSetValueExW(HKEY_CURRENT_USER, L"Faults", 0, REG_BINARY, s_room, sizeof(s_room));
        return RegQueryValueExW(HKEY_CURRENT_USER, L"Faults", NULL, NULL, (BYTE *)Tail(8), &size);
    }
    if (Is(name, L"size:RegQueryValueExW.size"))
        return RegQueryValueExW(HKEY_CURRENT_USER, L"Faults", NULL, NULL, NULL, (DWORD *)Tail(2));
    if (Is(name, L"size:RegQueryValueExW.type"))
        return RegQueryValueExW(HKEY_CURRENT_USER, L"Faults", NULL, (DWORD *)Tail(2), NULL, NULL);
    if (Is(name, L"size:RegSetValueExW"))
        return RegSetValueExW(HKEY_CURRENT_USER, L"Faults", 0, REG_BINARY, (const BYTE *)Tail(8), 64);
    if (Is(name, L"size:FindFirstFileW"))
        return (int)FindFirstFileW(L"\\Windows\\*", (WIN32_FIND_DATAW *)Tail(100));
    if (Is(name, L"size:SHGetSpecialFolderPath"))
        return SHGetSpecialFolderPath(NULL, (LPWSTR)Tail(100), CSIDL_WINDOWS, FALSE);
    if (Is(name, L"size:LoadStringW"))
        return LoadStringW(hInstance, 1, (LPWSTR)Tail(8), 64);
    if (Is(name, L"size:GetMessageW"))
        return GetMessageW((MSG *)Tail(8), NULL, 0, 0);
    if (Is(name, L"size:TranslateMessage"))
        return TranslateMessage((const MSG *)Tail(8));
    if (Is(name, L"size:DispatchMessageW"))
        return (int)DispatchMessageW((const MSG *)Tail(8));
    if (Is(name, L"size:TranslateAcceleratorW"))
        return TranslateAcceleratorW(NULL, NULL, (MSG *)Tail(8));
    if (Is(name, L"size:BeginPaint"))
        return (int)BeginPaint(NULL, (PAINTSTRUCT *)Tail(8));
    if (Is(name, L"size:EndPaint"))
        return EndPaint(NULL, (const PAINTSTRUCT *)Tail(8));
    if (Is(name, L"size:GetClientRect"))
        return GetClientRect(NULL, (RECT *)Tail(8));
    if (Is(name, L"size:GetWindowRect"))
        return GetWindowRect(NULL, (RECT *)Tail(8));
    if (Is(name, L"size:RegisterClassW"))
        return RegisterClassW((const WNDCLASSW *)Tail(8));
    if (Is(name, L"size:DialogBoxIndirectParamW"))
        return (int)DialogBoxIndirectParamW(hInstance, (const DLGTEMPLATE *)Tail(8), NULL, NULL, 0);
    if (Is(name, L"size:DialogBoxIndirectParamW.items")) {
        // A whole header, and a count of controls that are not there.
        DLGTEMPLATE *t = (DLGTEMPLATE *)Tail(24);
        memset(t, 0, 24);
        t->style = WS_POPUP;
        t->cdit = 100;
        return (int)DialogBoxIndirectParamW(hInstance, t, NULL, NULL, 0);
    }
    if (Is(name, L"size:memcpy"))
        return (int)memcpy(Tail(8), s_room, 64);
    if (Is(name, L"size:memcpy.source"))
        return (int)memcpy(s_room, Tail(8), 64);
    if (Is(name, L"size:memset"))
        return (int)memset(Tail(8), 0, 64);
    if (Is(name, L"size:wsprintfW"))
        return wsprintfW((LPWSTR)Tail(4), L"%d", 1234567);
    if (Is(name, L"string:MessageBoxW"))
        return MessageBoxW(NULL, Unterminated(), L"Faults", MB_OK);
    if (Is(name, L"string:wcslen"))
        return (int)wcslen(Unterminated());
    if (Is(name, L"string:wsprintfW"))
        return wsprintfW((LPWSTR)s_room, L"%s", Unterminated());
    if (Is(name, L"message:DefWindowProcW.WM_SETTEXT")) {
        HWND hWnd = MakeWindow(hInstance, PlainWndProc);
        return (int)DefWindowProcW(hWnd, WM_SETTEXT, 0, (LPARAM)s_nowhere);
    }
    if (Is(name, L"message:DefWindowProcW.WM_GETTEXT")) {
        HWND hWnd = MakeWindow(hInstance, PlainWndProc);
        return (int)DefWindowProcW(hWnd, WM_GETTEXT, 64, (LPARAM)Tail(8));
    }
    if (Is(name, L"message:DefWindowProcW.WM_GETTEXT.count")) {
        // A count of characters whose bytes do not fit 32 bits.
        HWND hWnd = MakeWindow(hInstance, PlainWndProc);
        return (int)DefWindowProcW(hWnd, WM_GETTEXT, 0x80000004, (LPARAM)Tail(8));
    }
    if (Is(name, L"message:DispatchMessageW.WM_TIMER")) {
        memset(&msg, 0, sizeof(msg));
        msg.hwnd = MakeWindow(hInstance, PlainWndProc);
        msg.message = WM_TIMER;
        msg.wParam = 1;
        msg.lParam = (LPARAM)s_nowhere;
        return (int)DispatchMessageW(&msg);
    }
    return -1;
}

// ---------------------------------------------------------------------------
// Formats whose arguments the core library's formatter reads otherwise than the
// program meant.

static int Format(LPCWSTR name)
{
    WCHAR *out = (WCHAR *)s_room;
    if (Is(name, L"format:space"))
        return wsprintfW(out, L"% d%s", 0xFFFFFFF0u, L"text");
    if (Is(name, L"format:star"))
        return wsprintfW(out, L"%*d%s", 5, 42, L"text");
    if (Is(name, L"format:I64"))
        return wsprintfW(out, L"%I64d", 1, 2);
    if (Is(name, L"format:pointer"))
        return wsprintfW(out, L"%p", s_room);
    return -1;
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
        MakeWindow(hInstance, ReadingWndProc);
        return 0;
    }
    if (lpCmdLine[0] == 'a' || lpCmdLine[0] == 't')
        return Misaligned(lpCmdLine);
    if (lpCmdLine[0] == 'f')
        return Format(lpCmdLine);
    if (lpCmdLine[0] == 'b')
        return NotByBx(hInstance, lpCmdLine);
    if (lpCmdLine[0])
        return PastTheEnd(hInstance, lpCmdLine);
    return 7;
}
