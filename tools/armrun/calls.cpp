// The core library's functions as the ARM program calls them: each takes the
// arguments from the registers and the stack as the ARM procedure call standard
// passes them, checks every pointer against the program's memory, converts what
// differs between the handheld's layouts and the desktop's, and calls the device's
// own COREDLL.dll.
#include "runner.h"

#include <cstdio>
#include <cstring>
#include <map>

namespace {

// The device's core library, and its exports by name, as plain addresses.
HMODULE Core()
{
    static HMODULE core = [] {
        HMODULE h = LoadLibraryW(L"COREDLL.dll");
        if (!h)
            Fault("the device's COREDLL.dll cannot be loaded (error %lu)", (unsigned long)GetLastError());
        return h;
    }();
    return core;
}

void *CoreProc(const char *name)
{
    FARPROC p = GetProcAddress(Core(), name);
    if (!p)
        Fault("the device's COREDLL.dll does not export %s", name);
    return reinterpret_cast<void *>(p);
}

// Calls the device's COREDLL export of the same name as the function declared in the
// Windows headers, with its prototype.
#define CORE(fn) (reinterpret_cast<decltype(&fn)>([] { \
    static void *p = CoreProc(#fn);                      \
    return p;                                              \
}()))

// The arguments of the call being answered.
class Args {
public:
    explicit Args(const char *name) : name_(name) {}
    uint32_t operator[](int i) const
    {
        if (i < 4)
            return cpu::Get(cpu::Reg(i));
        uint32_t at = cpu::Get(cpu::SP) + 4 * uint32_t(i - 4);
        return *static_cast<const uint32_t *>(cpu::Host(at, 4, false, name_));
    }
    // A handle: sign-extended, so that the predefined negative ones stay what they are.
    HANDLE handle(int i) const { return reinterpret_cast<HANDLE>(Widen((*this)[i])); }
    HWND hwnd(int i) const { return static_cast<HWND>(handle(i)); }
    HKEY hkey(int i) const { return static_cast<HKEY>(handle(i)); }
    // The program's own module becomes its resources' module in the host.
    HINSTANCE instance(int i) const
    {
        uint32_t v = (*this)[i];
        return v == g_guestModule ? g_hostModule : reinterpret_cast<HINSTANCE>(Widen(v));
    }
    void *ptr(int i, uint32_t size, bool write) const
    {
        uint32_t v = (*this)[i];
        return v ? cpu::Host(v, size, write, name_) : nullptr;
    }
    template <class T> T *out(int i) const { return static_cast<T *>(ptr(i, sizeof(T), true)); }
    const WCHAR *str(int i) const
    {
        uint32_t v = (*this)[i];
        return v ? cpu::HostString(v, name_) : nullptr;
    }
    // A resource name or type: a string, or an id below 64 K.
    const WCHAR *resource(int i) const
    {
        uint32_t v = (*this)[i];
        return v < 0x10000 ? reinterpret_cast<const WCHAR *>(uintptr_t(v)) : cpu::HostString(v, name_);
    }
    const char *name() const { return name_; }

private:
    const char *name_;
};

uint32_t Result(HANDLE h, const char *what)
{
    return Narrow(reinterpret_cast<uint64_t>(h), what);
}

// Writes a host handle to a guest handle slot.
void PutHandle(uint32_t *slot, HANDLE h, const char *what)
{
    if (slot)
        *slot = Narrow(reinterpret_cast<uint64_t>(h), what);
}

// ---------------------------------------------------------------------------
// Registry. The handheld ignores security attributes and the access mask; the core
// library's own functions already give every open key full access.

uint32_t RegCloseKey_(const Args &a)
{
    return uint32_t(CORE(RegCloseKey)(a.hkey(0)));
}

uint32_t RegCreateKeyExW_(const Args &a)
{
    HKEY key = nullptr;
    uint32_t *outKey = a.out<uint32_t>(7);
    DWORD *disposition = a.out<DWORD>(8);
    LONG r = CORE(RegCreateKeyExW)(a.hkey(0), a.str(1), a[2], const_cast<WCHAR *>(a.str(3)), a[4], a[5], nullptr,
                                   outKey ? &key : nullptr, disposition);
    if (r == ERROR_SUCCESS)
        PutHandle(outKey, key, a.name());
    return uint32_t(r);
}

uint32_t RegFlushKey_(const Args &a)
{
    return uint32_t(CORE(RegFlushKey)(a.hkey(0)));
}

uint32_t RegOpenKeyExW_(const Args &a)
{
    HKEY key = nullptr;
    uint32_t *outKey = a.out<uint32_t>(4);
    LONG r = CORE(RegOpenKeyExW)(a.hkey(0), a.str(1), a[2], a[3], outKey ? &key : nullptr);
    if (r == ERROR_SUCCESS)
        PutHandle(outKey, key, a.name());
    return uint32_t(r);
}

uint32_t RegQueryValueExW_(const Args &a)
{
    DWORD *size = a.out<DWORD>(5);
    void *data = size ? a.ptr(4, *size, true) : a.ptr(4, 0, true);
    return uint32_t(CORE(RegQueryValueExW)(a.hkey(0), a.str(1), a.out<DWORD>(2), a.out<DWORD>(3),
                                           static_cast<BYTE *>(data), size));
}

uint32_t RegSetValueExW_(const Args &a)
{
    return uint32_t(CORE(RegSetValueExW)(a.hkey(0), a.str(1), a[2], a[3],
                                         static_cast<const BYTE *>(a.ptr(4, a[5], false)), a[5]));
}

// ---------------------------------------------------------------------------
// Files

uint32_t DeleteFileW_(const Args &a)
{
    return CORE(DeleteFileW)(a.str(0));
}

uint32_t FindClose_(const Args &a)
{
    return CORE(FindClose)(a.handle(0));
}

// The handheld's find data: no short name, an object id after the sizes.
struct CeFindData {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime, ftLastAccessTime, ftLastWriteTime;
    DWORD nFileSizeHigh, nFileSizeLow;
    DWORD dwOID;
    WCHAR cFileName[MAX_PATH];
};
static_assert(sizeof(CeFindData) == 560, "the handheld's WIN32_FIND_DATAW");

uint32_t FindFirstFileW_(const Args &a)
{
    CeFindData *out = a.out<CeFindData>(1);
    WIN32_FIND_DATAW fd;
    HANDLE h = CORE(FindFirstFileW)(a.str(0), &fd);
    if (h != INVALID_HANDLE_VALUE && out) {
        out->dwFileAttributes = fd.dwFileAttributes;
        out->ftCreationTime = fd.ftCreationTime;
        out->ftLastAccessTime = fd.ftLastAccessTime;
        out->ftLastWriteTime = fd.ftLastWriteTime;
        out->nFileSizeHigh = fd.nFileSizeHigh;
        out->nFileSizeLow = fd.nFileSizeLow;
        out->dwOID = 0;
        memcpy(out->cFileName, fd.cFileName, sizeof(out->cFileName));
    }
    return Result(h, a.name());
}

uint32_t SHGetSpecialFolderPath_(const Args &a)
{
    typedef BOOL(WINAPI * Fn)(HWND, LPWSTR, int, BOOL);
    static Fn fn = reinterpret_cast<Fn>(CoreProc("SHGetSpecialFolderPath"));
    return fn(a.hwnd(0), static_cast<WCHAR *>(a.ptr(1, MAX_PATH * sizeof(WCHAR), true)), int(a[2]), a[3]);
}

// ---------------------------------------------------------------------------
// Processes, synchronisation, resources

uint32_t CloseHandle_(const Args &a)
{
    return CORE(CloseHandle)(a.handle(0));
}

uint32_t CreateMutexW_(const Args &a)
{
    // The handheld ignores the security attributes.
    return Result(CORE(CreateMutexW)(nullptr, a[1], a.str(2)), a.name());
}

uint32_t ReleaseMutex_(const Args &a)
{
    return CORE(ReleaseMutex)(a.handle(0));
}

uint32_t WaitForSingleObject_(const Args &a)
{
    return CORE(WaitForSingleObject)(a.handle(0), a[1]);
}

// Resource handles are host pointers; the program gets small tokens for them.
std::vector<HRSRC> g_resources;
constexpr uint32_t kResourceTokens = 0xFD000000;
std::map<HRSRC, uint32_t> g_loadedResources;

uint32_t FindResourceW_(const Args &a)
{
    HRSRC r = CORE(FindResourceW)(a.instance(0), a.resource(1), a.resource(2));
    if (!r)
        return 0;
    for (size_t i = 0; i < g_resources.size(); ++i) {
        if (g_resources[i] == r)
            return kResourceTokens + 4 * uint32_t(i);
    }
    g_resources.push_back(r);
    return kResourceTokens + 4 * uint32_t(g_resources.size() - 1);
}

// On the handheld a loaded resource is its data itself, read-only; the program gets a
// copy in its own memory, made once.
uint32_t LoadResource_(const Args &a)
{
    uint32_t token = a[1];
    if (token < kResourceTokens || (token - kResourceTokens) / 4 >= g_resources.size() || token % 4)
        return 0;
    HRSRC r = g_resources[(token - kResourceTokens) / 4];
    auto done = g_loadedResources.find(r);
    if (done != g_loadedResources.end())
        return done->second;
    HMODULE module = a.instance(0);
    HGLOBAL h = CORE(LoadResource)(module, r);
    DWORD size = SizeofResource(module, r);
    if (!h)
        return 0;
    uint32_t copy = cpu::GuestAlloc(size ? size : 1);
    memcpy(reinterpret_cast<void *>(uintptr_t(copy)), LockResource(h), size);
    g_loadedResources[r] = copy;
    return copy;
}

uint32_t LoadAcceleratorsW_(const Args &a)
{
    return Result(CORE(LoadAcceleratorsW)(a.instance(0), a.resource(1)), a.name());
}

uint32_t LoadIconW_(const Args &a)
{
    return Result(CORE(LoadIconW)(a.instance(0), a.resource(1)), a.name());
}

uint32_t LoadStringW_(const Args &a)
{
    int count = int(a[3]);
    if (a[2] && count > 0)
        return uint32_t(
            CORE(LoadStringW)(a.instance(0), a[1], static_cast<WCHAR *>(a.ptr(2, 2 * uint32_t(count), true)), count));
    if (a[2])
        return 0;
    // With no buffer the handheld returns the string itself, read-only, as the
    // result: here a copy in the program's memory, ended with a zero, made once.
    static std::map<std::pair<HINSTANCE, uint32_t>, uint32_t> copies;
    auto key = std::make_pair(a.instance(0), a[1]);
    auto done = copies.find(key);
    if (done != copies.end())
        return done->second;
    const WCHAR *s = nullptr;
    int n = CORE(LoadStringW)(key.first, key.second, reinterpret_cast<WCHAR *>(&s), 0);
    if (n <= 0 || !s)
        return 0;
    uint32_t copy = cpu::GuestAlloc(2 * (n + 1));
    WCHAR *c = reinterpret_cast<WCHAR *>(uintptr_t(copy));
    memcpy(c, s, 2 * n);
    c[n] = 0;
    copies[key] = copy;
    return copy;
}

uint32_t GetModuleHandleW_(const Args &a)
{
    if (!a[0])
        return g_guestModule;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
}

uint32_t GetCommandLineW_(const Args &)
{
    static uint32_t copy = [] {
        size_t n = lstrlenW(g_commandLine);
        uint32_t c = cpu::GuestAlloc(uint32_t(2 * (n + 1)));
        memcpy(reinterpret_cast<void *>(uintptr_t(c)), g_commandLine, 2 * (n + 1));
        return c;
    }();
    return copy;
}

// ---------------------------------------------------------------------------
// Windows and messages

// The handheld's MSG: seven 32-bit fields.
struct CeMsg {
    uint32_t hwnd, message, wParam, lParam, time;
    int32_t x, y;
};
static_assert(sizeof(CeMsg) == 28, "the handheld's MSG");

// The last message each MSG of the program received, whole, so that what it passes
// back (to translate or dispatch) keeps the values that do not fit 32 bits. The
// program sees such a value as a token that is no address it was given.
std::map<uint32_t, MSG> g_messages;
constexpr uint32_t kMessageToken = 0xF8000000;

void ToGuest(const MSG &m, CeMsg *g, uint32_t at)
{
    g->hwnd = Narrow(reinterpret_cast<uint64_t>(m.hwnd), "a message's window");
    g->message = m.message;
    g->wParam = uint64_t(uint32_t(m.wParam)) == m.wParam ? uint32_t(m.wParam) : kMessageToken;
    g->lParam = Widen(uint32_t(m.lParam)) == uint64_t(m.lParam) ? uint32_t(m.lParam) : kMessageToken + 4;
    g->time = m.time;
    g->x = m.pt.x;
    g->y = m.pt.y;
    g_messages[at] = m;
}

MSG ToHost(const CeMsg *g, uint32_t at, const char *forWhat)
{
    MSG m = {};
    auto last = g_messages.find(at);
    m.hwnd = reinterpret_cast<HWND>(Widen(g->hwnd));
    m.message = g->message;
    m.wParam = g->wParam;
    m.lParam = LPARAM(Widen(g->lParam));
    m.time = g->time;
    m.pt.x = g->x;
    m.pt.y = g->y;
    // What the program passes back as it got it is the host's own; anything else is
    // the program's, and checked.
    bool restored = last != g_messages.end() && last->second.hwnd == m.hwnd && last->second.message == m.message;
    if (restored && g->wParam == kMessageToken)
        m.wParam = last->second.wParam;
    if (restored && g->lParam == kMessageToken + 4)
        m.lParam = last->second.lParam;
    if (!restored || m.wParam != last->second.wParam || m.lParam != last->second.lParam)
        CheckGuestMessage(g->message, g->wParam, g->lParam, forWhat);
    return m;
}

uint32_t GetMessageW_(const Args &a)
{
    CeMsg *g = a.out<CeMsg>(0);
    MSG m;
    BOOL r = CORE(GetMessageW)(&m, a.hwnd(1), a[2], a[3]);
    if (r != -1 && g)
        ToGuest(m, g, a[0]);
    return uint32_t(r);
}

uint32_t TranslateMessage_(const Args &a)
{
    MSG m = ToHost(static_cast<const CeMsg *>(a.ptr(0, sizeof(CeMsg), false)), a[0], a.name());
    return CORE(TranslateMessage)(&m);
}

uint32_t DispatchMessageW_(const Args &a)
{
    MSG m = ToHost(static_cast<const CeMsg *>(a.ptr(0, sizeof(CeMsg), false)), a[0], a.name());
    return uint32_t(CORE(DispatchMessageW)(&m));
}

uint32_t TranslateAcceleratorW_(const Args &a)
{
    MSG m = ToHost(static_cast<const CeMsg *>(a.ptr(2, sizeof(CeMsg), false)), a[2], a.name());
    return uint32_t(CORE(TranslateAcceleratorW)(a.hwnd(0), static_cast<HACCEL>(a.handle(1)), &m));
}

// The handheld's PAINTSTRUCT: a 32-bit device context, then as on the desktop.
struct CePaint {
    uint32_t hdc;
    BOOL fErase;
    RECT rcPaint;
    BOOL fRestore, fIncUpdate;
    BYTE rgbReserved[32];
};
static_assert(sizeof(CePaint) == 64, "the handheld's PAINTSTRUCT");
std::map<uint32_t, PAINTSTRUCT> g_paints;  // by the guest's device context

uint32_t BeginPaint_(const Args &a)
{
    CePaint *g = a.out<CePaint>(1);
    PAINTSTRUCT ps;
    HDC dc = CORE(BeginPaint)(a.hwnd(0), &ps);
    if (!dc)
        return 0;
    uint32_t dc32 = Narrow(reinterpret_cast<uint64_t>(dc), a.name());
    if (g) {
        g->hdc = dc32;
        g->fErase = ps.fErase;
        g->rcPaint = ps.rcPaint;
        g->fRestore = ps.fRestore;
        g->fIncUpdate = ps.fIncUpdate;
        memcpy(g->rgbReserved, ps.rgbReserved, sizeof(g->rgbReserved));
    }
    g_paints[dc32] = ps;
    return dc32;
}

uint32_t EndPaint_(const Args &a)
{
    const CePaint *g = static_cast<const CePaint *>(a.ptr(1, sizeof(CePaint), false));
    PAINTSTRUCT ps = {};
    auto it = g ? g_paints.find(g->hdc) : g_paints.end();
    if (it != g_paints.end()) {
        ps = it->second;
        g_paints.erase(it);
    } else if (g) {
        ps.hdc = reinterpret_cast<HDC>(Widen(g->hdc));
    }
    if (g) {
        ps.fErase = g->fErase;
        ps.rcPaint = g->rcPaint;
    }
    return CORE(EndPaint)(a.hwnd(0), &ps);
}

uint32_t CreateWindowExW_(const Args &a)
{
    HWND h = CORE(CreateWindowExW)(a[0], a.resource(1), a.str(2), a[3], int(a[4]), int(a[5]), int(a[6]), int(a[7]),
                                   a.hwnd(8), static_cast<HMENU>(a.handle(9)), a.instance(10),
                                   reinterpret_cast<void *>(uintptr_t(a[11])));
    return Result(h, a.name());
}

uint32_t DefWindowProcW_(const Args &a)
{
    WPARAM w;
    LPARAM l;
    MessageFrame *frame = nullptr;
    HostParams(a.hwnd(0), a[1], a[2], a[3], &w, &l, &frame, a.name());
    if (frame)
        frame->CopyOut();
    LRESULT r = CORE(DefWindowProcW)(a.hwnd(0), a[1], w, l);
    if (frame)
        frame->CopyIn();
    return uint32_t(r);
}

uint32_t DestroyWindow_(const Args &a)
{
    return CORE(DestroyWindow)(a.hwnd(0));
}

uint32_t FindWindowW_(const Args &a)
{
    return Result(CORE(FindWindowW)(a.resource(0), a.str(1)), a.name());
}

uint32_t GetClientRect_(const Args &a)
{
    return CORE(GetClientRect)(a.hwnd(0), a.out<RECT>(1));
}

uint32_t GetParent_(const Args &a)
{
    return Result(CORE(GetParent)(a.hwnd(0)), a.name());
}

uint32_t GetStockObject_(const Args &a)
{
    return Result(CORE(GetStockObject)(int(a[0])), a.name());
}

uint32_t GetWindowRect_(const Args &a)
{
    return CORE(GetWindowRect)(a.hwnd(0), a.out<RECT>(1));
}

uint32_t PostQuitMessage_(const Args &a)
{
    CORE(PostQuitMessage)(int(a[0]));
    return 0;
}

// The handheld's WNDCLASSW: ten 32-bit fields.
struct CeWndClass {
    uint32_t style, lpfnWndProc;
    int32_t cbClsExtra, cbWndExtra;
    uint32_t hInstance, hIcon, hCursor, hbrBackground, lpszMenuName, lpszClassName;
};
static_assert(sizeof(CeWndClass) == 40, "the handheld's WNDCLASSW");

uint32_t RegisterClassW_(const Args &a)
{
    const CeWndClass *g = static_cast<const CeWndClass *>(a.ptr(0, sizeof(CeWndClass), false));
    if (!g) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    WNDCLASSW wc;
    wc.style = g->style;
    wc.lpfnWndProc = HostWindowProc();
    wc.cbClsExtra = g->cbClsExtra;
    wc.cbWndExtra = g->cbWndExtra;
    wc.hInstance = g->hInstance == g_guestModule ? g_hostModule : reinterpret_cast<HINSTANCE>(Widen(g->hInstance));
    wc.hIcon = reinterpret_cast<HICON>(Widen(g->hIcon));
    wc.hCursor = reinterpret_cast<HCURSOR>(Widen(g->hCursor));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(Widen(g->hbrBackground));
    wc.lpszMenuName = g->lpszMenuName < 0x10000 ? reinterpret_cast<const WCHAR *>(uintptr_t(g->lpszMenuName))
                                                 : cpu::HostString(g->lpszMenuName, a.name());
    wc.lpszClassName = g->lpszClassName < 0x10000 ? reinterpret_cast<const WCHAR *>(uintptr_t(g->lpszClassName))
                                                   : cpu::HostString(g->lpszClassName, a.name());
    ATOM atom = CORE(RegisterClassW)(&wc);
    if (atom)
        BindClassAtom(atom, g->lpfnWndProc);
    return atom;
}

uint32_t SetForegroundWindow_(const Args &a)
{
    return CORE(SetForegroundWindow)(a.hwnd(0));
}

uint32_t SetWindowPos_(const Args &a)
{
    return CORE(SetWindowPos)(a.hwnd(0), a.hwnd(1), int(a[2]), int(a[3]), int(a[4]), int(a[5]), a[6]);
}

uint32_t ShowWindow_(const Args &a)
{
    return CORE(ShowWindow)(a.hwnd(0), int(a[1]));
}

uint32_t UpdateWindow_(const Args &a)
{
    return CORE(UpdateWindow)(a.hwnd(0));
}

// ---------------------------------------------------------------------------
// Dialogs and message boxes

// A dialog template is read by the dialog manager as far as its parts say: the header
// (either form), the menu, class and caption, the font, then each control on a 4-byte
// boundary with its class, text and creation data. Each part is checked to lie in the
// program's memory before the next is read, in the order the dialog manager reads
// them, so that no count or string of the template takes it past that memory.
class TemplateWalk {
public:
    TemplateWalk(uint32_t at, const char *forWhat) : start_(at), at_(at), forWhat_(forWhat) {}
    uint16_t Word()
    {
        uint16_t w = *static_cast<const uint16_t *>(Bytes(2));
        at_ += 2;
        return w;
    }
    void Skip(uint32_t bytes)
    {
        Bytes(bytes);
        at_ += bytes;
    }
    // 0xFFFF and an id, or a string (a lone zero word: none, an empty string's length).
    void NameOrId()
    {
        uint16_t first = *static_cast<const uint16_t *>(Bytes(2));
        if (first == 0xFFFF)
            Skip(4);
        else
            String();
    }
    void String()
    {
        uint32_t length = uint32_t(lstrlenW(static_cast<const WCHAR *>(cpu::HostText(at_, 2, 0, forWhat_))));
        Skip(2 * (length + 1));
    }
    void Align() { at_ = (at_ + 3) & ~3u; }
    uint32_t at() const { return at_; }

private:
    // The template is one piece of the program's memory, from its start.
    const void *Bytes(uint32_t n)
    {
        if (!cpu::IsGuest(start_, at_ - start_ + n))
            Fault("%s was given a dialog template that runs past the program's memory, at 0x%08x", forWhat_, at_);
        return reinterpret_cast<const void *>(uintptr_t(at_));
    }
    uint32_t start_, at_;
    const char *forWhat_;
};

void CheckDialogTemplate(uint32_t address, const char *forWhat)
{
    if (address % 4)
        Fault("%s was given a dialog template at 0x%08x, which is not on a 4-byte boundary", forWhat, address);
    TemplateWalk t(address, forWhat);
    const uint16_t first = t.Word(), second = t.Word();
    const bool extended = first == 1 && second == 0xFFFF;
    uint32_t style;
    if (extended) {
        t.Skip(8);  // help id, extended style
        style = t.Word();
        style |= uint32_t(t.Word()) << 16;
    } else {
        style = first | uint32_t(second) << 16;
        t.Skip(4);  // extended style
    }
    const uint16_t items = t.Word();
    t.Skip(8);  // x, y, cx, cy
    t.NameOrId();  // menu
    t.NameOrId();  // class
    t.String();    // caption
    if (style & DS_SETFONT) {
        if (t.Word() != 0x7FFF) {
            if (extended)
                t.Skip(4);  // weight, italic, character set
            t.String();
        }
    }
    for (uint16_t i = 0; i < items; ++i) {
        t.Align();
        t.Skip(extended ? 24 : 18);
        t.NameOrId();  // class
        t.NameOrId();  // text
        uint16_t data = t.Word();
        if (data)
            t.Skip(data / 2 * 2);
    }
}

uint32_t DialogBoxIndirectParamW_(const Args &a)
{
    if (!a[1]) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return uint32_t(-1);
    }
    CheckDialogTemplate(a[1], a.name());
    const DLGTEMPLATE *t = reinterpret_cast<const DLGTEMPLATE *>(uintptr_t(a[1]));
    DLGPROC proc = a[3] ? PendingDialogProc(a[3]) : nullptr;
    INT_PTR r = CORE(DialogBoxIndirectParamW)(a.instance(0), t, a.hwnd(2), proc, LPARAM(Widen(a[4])));
    if (proc)
        EndPendingDialog();
    return uint32_t(r);
}

uint32_t EndDialog_(const Args &a)
{
    return CORE(EndDialog)(a.hwnd(0), INT_PTR(Widen(a[1])));
}

uint32_t MessageBoxW_(const Args &a)
{
    return uint32_t(CORE(MessageBoxW)(a.hwnd(0), a.str(1), a.str(2), a[3]));
}

// ---------------------------------------------------------------------------
// C run-time and strings, on the program's own memory

uint32_t memcpy_(const Args &a)
{
    uint32_t n = a[2];
    void *dest = cpu::Host(a[0], n, true, a.name());
    const void *src = cpu::Host(a[1], n, false, a.name());
    memmove(dest, src, n);
    return a[0];
}

uint32_t memset_(const Args &a)
{
    uint32_t n = a[2];
    memset(cpu::Host(a[0], n, true, a.name()), int(a[1]), n);
    return a[0];
}

uint32_t wcslen_(const Args &a)
{
    return uint32_t(lstrlenW(a.str(0)));
}

// wsprintfW: the core library's formatter reads an argument for each conversion as its
// own parser reads the format, and the runner must read the format the same way, or it
// would check one argument as a number that the formatter then reads as a string. A
// conversion is "%", then "-", "#" and "0" each at most once and in that order, digits,
// "." and digits, one of "l", "h", "w", "I32", and a type; at any other character the
// conversion ends, takes no argument, and the character is text again (so "% d" and
// "%*d" print " d" and "*d", and "%5%d" is text and a conversion). Arguments wider
// than 32 bits in the formatter ("I64", "I", "p") are refused: the program passes 32.
// A string is read up to its terminator, or up to its precision when it has one.
struct Conversion {
    enum Kind { kNone, kNumber, kNarrowString, kWideString } kind;
    uint32_t precision;
    const WCHAR *next;  // where the format goes on
};

Conversion ParseConversion(const WCHAR *p)
{
    Conversion c = {Conversion::kNone, 0, p};
    if (*p == '-')
        ++p;
    if (*p == '#')
        ++p;
    if (*p == '0')
        ++p;
    while (*p >= '0' && *p <= '9')
        ++p;
    if (*p == '.') {
        for (++p; *p >= '0' && *p <= '9'; ++p)
            c.precision = c.precision * 10 + uint32_t(*p - '0');
    }
    bool narrow = false, wide = false;
    if (*p == 'l' || *p == 'w') {
        wide = true, ++p;
    } else if (*p == 'h') {
        narrow = true, ++p;
    } else if (*p == 'I') {
        if (p[1] == '3' && p[2] == '2')
            p += 3;
        else
            Fault("wsprintfW was given a %s conversion (\"%%I%s\"), which this runner does not pass on",
                  p[1] == '6' && p[2] == '4' ? "64-bit" : "pointer-sized", p[1] == '6' && p[2] == '4' ? "64" : "");
    }
    switch (*p) {
    case 'c':
    case 'C':
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
        c.kind = Conversion::kNumber;
        break;
    case 's':
        c.kind = narrow ? Conversion::kNarrowString : Conversion::kWideString;
        break;
    case 'S':
        c.kind = wide ? Conversion::kWideString : Conversion::kNarrowString;
        break;
    case 'p':
        Fault("wsprintfW was given a pointer conversion (\"%%p\"), which this runner does not pass on");
    default:
        c.next = p;  // text again, from this character on
        return c;
    }
    c.next = p + 1;
    return c;
}

uint32_t wsprintfW_(const Args &a)
{
    const WCHAR *fmt = a.str(1);
    uint64_t values[16] = {};
    int used = 0;
    for (const WCHAR *p = fmt; *p;) {
        if (*p++ != '%')
            continue;
        if (*p == '%') {
            ++p;
            continue;
        }
        Conversion c = ParseConversion(p);
        p = c.next;
        if (c.kind == Conversion::kNone)
            continue;
        if (used == 16)
            Fault("wsprintfW was given a format with more than 16 arguments");
        uint32_t v = a[2 + used];
        if (c.kind != Conversion::kNumber && v)
            cpu::HostText(v, c.kind == Conversion::kWideString ? 2 : 1, c.precision, a.name());
        values[used++] = c.kind == Conversion::kNumber ? Widen(v) : uint64_t(v);
    }
    // The formatter writes at most 1024 characters with its terminator, and reports a
    // longer text as 1024.
    WCHAR text[1025];
    text[1024] = 0;
    int n = CORE(wsprintfW)(text, fmt, values[0], values[1], values[2], values[3], values[4], values[5], values[6],
                            values[7], values[8], values[9], values[10], values[11], values[12], values[13], values[14],
                            values[15]);
    if (n < 0)
        return uint32_t(n);
    uint32_t length = uint32_t(lstrlenW(text));
    memcpy(cpu::Host(a[0], 2 * (length + 1), true, a.name()), text, 2 * (length + 1));
    return uint32_t(n);
}

struct Entry {
    const char *name;
    uint32_t (*fn)(const Args &);
};

// An answer for each name on the core library's list (platform/ce-arm/coredll.exports),
// in its order: the table is made from the list at build time, so that a name the list
// gains without an answer here fails to compile (its NAME_ is not declared), and an
// answer for a name the list lacks is a function nothing uses, which fails it too.
#define ENTRY(fn) {#fn, fn##_},
const Entry kImports[] = {
#include "coredll_imports.inc"
};
#undef ENTRY

}  // namespace

int FindImport(const std::string &name)
{
    for (size_t i = 0; i < sizeof(kImports) / sizeof(kImports[0]); ++i) {
        if (name == kImports[i].name)
            return int(i);
    }
    return -1;
}

uint32_t CallImport(int index)
{
    if (index < 0 || size_t(index) >= sizeof(kImports) / sizeof(kImports[0]))
        Fault("a jump into the import table at an entry that does not exist (%d)", index);
    return kImports[index].fn(Args(kImports[index].name));
}

const char *ImportName(int index)
{
    if (index < 0 || size_t(index) >= sizeof(kImports) / sizeof(kImports[0]))
        return "(an entry that does not exist)";
    return kImports[index].name;
}

void ListImports()
{
    for (const Entry &e : kImports)
        printf("%s\n", e.name);
}
