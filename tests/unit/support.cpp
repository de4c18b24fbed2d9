// Test support: import-table hooks, message and call recording, message boxes.
#include "support.h"

#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <stdexcept>
#include <stdio.h>

// ---------------------------------------------------------------------------
// Import hooks

static void **FindImportSlot(const char *dll, const char *name, HMODULE module = NULL)
{
    BYTE *base = (BYTE *)(module ? module : GetModuleHandleW(NULL));
    auto *dos = (IMAGE_DOS_HEADER *)base;
    auto *nt = (IMAGE_NT_HEADERS *)(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto *imp = (IMAGE_IMPORT_DESCRIPTOR *)(base + dir.VirtualAddress); imp->Name; ++imp) {
        if (lstrcmpiA((const char *)(base + imp->Name), dll))
            continue;
        auto *names = (IMAGE_THUNK_DATA *)(base + imp->OriginalFirstThunk);
        auto *slots = (IMAGE_THUNK_DATA *)(base + imp->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            auto *byName = (IMAGE_IMPORT_BY_NAME *)(base + names->u1.AddressOfData);
            if (!lstrcmpA((const char *)byName->Name, name))
                return (void **)&slots->u1.Function;
        }
    }
    return nullptr;
}

static void WriteSlot(void **slot, void *value)
{
    DWORD old;
    VirtualProtect(slot, sizeof(void *), PAGE_READWRITE, &old);
    *slot = value;
    VirtualProtect(slot, sizeof(void *), old, &old);
}

ImportHook::ImportHook(const char *name, void *replacement) : ImportHook(NULL, "COREDLL.dll", name, replacement) {}

ImportHook::ImportHook(HMODULE module, const char *dll, const char *name, void *replacement)
{
    slot_ = FindImportSlot(dll, name, module);
    if (!slot_)
        throw std::runtime_error(std::string("no import of ") + name + " from " + dll);
    original_ = *slot_;
    WriteSlot(slot_, replacement);
}

ImportHook::~ImportHook()
{
    WriteSlot(slot_, original_);
}

// ---------------------------------------------------------------------------
// A bound on every test: one that waits for ever (a modal loop that never ends, a
// message that never comes) is named, and the run ends, instead of hanging.

namespace {

const DWORD kTestBoundMs = 20000;

class Watchdog : public ::testing::EmptyTestEventListener {
    // One per test: the watching thread owns it once the test has ended.
    struct Watch {
        HANDLE done;
        std::string name;
    };
    Watch *current_ = nullptr;

    void OnTestStart(const ::testing::TestInfo &info) override
    {
        current_ = new Watch{CreateEventW(NULL, TRUE, FALSE, NULL),
                             std::string(info.test_suite_name()) + "." + info.name()};
        CloseHandle(CreateThread(NULL, 0, Run, current_, 0, NULL));
    }
    void OnTestEnd(const ::testing::TestInfo &) override { SetEvent(current_->done); }

    static DWORD WINAPI Run(void *arg)
    {
        auto *watch = static_cast<Watch *>(arg);
        if (WaitForSingleObject(watch->done, kTestBoundMs) == WAIT_OBJECT_0) {
            CloseHandle(watch->done);
            delete watch;
            return 0;
        }
        fprintf(stderr, "FAIL: %s did not finish within %lu s: it waits for a window, box or message that never comes\n",
                watch->name.c_str(), (unsigned long)(kTestBoundMs / 1000));
        fflush(stderr);
        fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 3);
        return 0;
    }
};

const bool s_watching = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new Watchdog);
    return true;
}();

}  // namespace

// ---------------------------------------------------------------------------
// Events

static std::string MessageName(UINT msg)
{
    switch (msg) {
    case WM_CREATE: return "WM_CREATE";
    case WM_DESTROY: return "WM_DESTROY";
    case WM_PAINT: return "WM_PAINT";
    case WM_CLOSE: return "WM_CLOSE";
    case WM_COMMAND: return "WM_COMMAND";
    case WM_SYSCOMMAND: return "WM_SYSCOMMAND";
    case WM_INITDIALOG: return "WM_INITDIALOG";
    }
    return std::string();
}

std::ostream &operator<<(std::ostream &os, const Event &e)
{
    return os << (e.kind == Event::Message ? "msg " : "call ") << e.name << "(" << std::hex << "0x" << e.arg1
              << ", 0x" << e.arg2 << std::dec << ")";
}

Event Msg(const char *name, UINT_PTR wParam, INT_PTR lParam)
{
    return Event{Event::Message, name, wParam, lParam};
}

Event Call(const char *name, UINT_PTR arg1, INT_PTR arg2)
{
    return Event{Event::Call, name, arg1, arg2};
}

// ---------------------------------------------------------------------------
// Recorder

static Recorder *s_recorder;
static std::map<std::string, void *> s_original;

template <typename F> static F Orig(const char *name)
{
    return reinterpret_cast<F>(s_original[name]);
}

static void Log(const Event &e)
{
    if (s_recorder)
        s_recorder->events.push_back(e);
}

static BOOL WINAPI RecDestroyWindow(HWND hWnd)
{
    Log(Call("DestroyWindow", (UINT_PTR)hWnd));
    return Orig<BOOL(WINAPI *)(HWND)>("DestroyWindow")(hWnd);
}

static void WINAPI RecPostQuitMessage(int code)
{
    Log(Call("PostQuitMessage", (UINT_PTR)code));
    Orig<void(WINAPI *)(int)>("PostQuitMessage")(code);
}

static LRESULT WINAPI RecDefWindowProcW(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_COMMAND)
        Log(Call("DefWindowProcW(WM_COMMAND)", wParam, lParam));
    return Orig<WNDPROC>("DefWindowProcW")(hWnd, msg, wParam, lParam);
}

static HDC WINAPI RecBeginPaint(HWND hWnd, PAINTSTRUCT *ps)
{
    Log(Call("BeginPaint", (UINT_PTR)hWnd));
    return Orig<HDC(WINAPI *)(HWND, PAINTSTRUCT *)>("BeginPaint")(hWnd, ps);
}

static BOOL WINAPI RecEndPaint(HWND hWnd, const PAINTSTRUCT *ps)
{
    Log(Call("EndPaint", (UINT_PTR)hWnd));
    return Orig<BOOL(WINAPI *)(HWND, const PAINTSTRUCT *)>("EndPaint")(hWnd, ps);
}

static BOOL WINAPI RecGetClientRect(HWND hWnd, RECT *rc)
{
    Log(Call("GetClientRect", (UINT_PTR)hWnd));
    return Orig<BOOL(WINAPI *)(HWND, RECT *)>("GetClientRect")(hWnd, rc);
}

static int WINAPI RecMessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type)
{
    Log(Call("MessageBoxW", (UINT_PTR)owner, (INT_PTR)type));
    return Orig<int(WINAPI *)(HWND, LPCWSTR, LPCWSTR, UINT)>("MessageBoxW")(owner, text, caption, type);
}

static INT_PTR WINAPI RecDialogBoxIndirectParamW(HINSTANCE inst, LPCDLGTEMPLATEW tmpl, HWND owner, DLGPROC proc,
                                                 LPARAM param)
{
    Log(Call("DialogBoxIndirectParamW", (UINT_PTR)owner, (INT_PTR)param));
    return Orig<INT_PTR(WINAPI *)(HINSTANCE, LPCDLGTEMPLATEW, HWND, DLGPROC, LPARAM)>("DialogBoxIndirectParamW")(
        inst, tmpl, owner, proc, param);
}

const char *const Recorder::kRecordedCalls[] = {
    "DestroyWindow", "PostQuitMessage", "DefWindowProcW", "BeginPaint", "EndPaint", "GetClientRect",
    "MessageBoxW",   "DialogBoxIndirectParamW",
};

static void *Replacement(const std::string &name)
{
    if (name == "DestroyWindow") return (void *)RecDestroyWindow;
    if (name == "PostQuitMessage") return (void *)RecPostQuitMessage;
    if (name == "DefWindowProcW") return (void *)RecDefWindowProcW;
    if (name == "BeginPaint") return (void *)RecBeginPaint;
    if (name == "EndPaint") return (void *)RecEndPaint;
    if (name == "GetClientRect") return (void *)RecGetClientRect;
    if (name == "MessageBoxW") return (void *)RecMessageBoxW;
    if (name == "DialogBoxIndirectParamW") return (void *)RecDialogBoxIndirectParamW;
    return nullptr;
}

static const wchar_t kOrigProp[] = L"RegSaveTests.OrigProc";

static LRESULT CALLBACK RecordingProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    WNDPROC orig = (WNDPROC)GetPropW(hWnd, kOrigProp);
    std::string name = MessageName(msg);
    if (!name.empty())
        Log(Event{Event::Message, name, (UINT_PTR)wParam, (INT_PTR)lParam});
    if (msg == WM_NCDESTROY) {
        SetWindowLongPtrW(hWnd, GWLP_WNDPROC, (LONG_PTR)orig);
        RemovePropW(hWnd, kOrigProp);
    }
    return CallWindowProcW(orig, hWnd, msg, wParam, lParam);
}

// Watches windows from their creation on: the first messages a window gets (WM_CREATE
// among them) arrive before CreateWindowEx returns.
static LRESULT CALLBACK CbtProc(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_CREATEWND && s_recorder) {
        auto *cbt = (CBT_CREATEWNDW *)lParam;
        const wchar_t *cls = cbt->lpcs->lpszClass;
        if (!(cbt->lpcs->style & WS_CHILD) && !IS_INTRESOURCE(cls) && s_recorder->watchClass == cls)
            s_recorder->Watch((HWND)wParam);
    }
    return CallNextHookEx(NULL, code, wParam, lParam);
}

Recorder::Recorder(HWND watched, const wchar_t *cls) : watchClass(cls ? cls : L"")
{
    s_recorder = this;
    for (const char *name : kRecordedCalls) {
        // The program may not call every one of them.
        if (!FindImportSlot("COREDLL.dll", name))
            continue;
        auto *h = new ImportHook(name, Replacement(name));
        s_original[name] = h->Original<void *>();
        hooks_.push_back(h);
    }
    hook_ = watched ? NULL : SetWindowsHookExW(WH_CBT, CbtProc, NULL, GetCurrentThreadId());
    if (watched)
        Watch(watched);
}

Recorder::~Recorder()
{
    if (hook_)
        UnhookWindowsHookEx(hook_);
    for (auto it = hooks_.rbegin(); it != hooks_.rend(); ++it)
        delete *it;
    s_recorder = nullptr;
}

void Recorder::Watch(HWND hWnd)
{
    if (GetPropW(hWnd, kOrigProp))
        return;
    SetPropW(hWnd, kOrigProp, (HANDLE)GetWindowLongPtrW(hWnd, GWLP_WNDPROC));
    SetWindowLongPtrW(hWnd, GWLP_WNDPROC, (LONG_PTR)RecordingProc);
}

bool TakeQuit(int *code)
{
    MSG msg;
    if (!PeekMessageW(&msg, NULL, WM_QUIT, WM_QUIT, PM_REMOVE))
        return false;
    if (code)
        *code = (int)msg.wParam;
    return true;
}

// ---------------------------------------------------------------------------
// Message boxes

static std::wstring TextOf(HWND hWnd)
{
    std::wstring s(GetWindowTextLengthW(hWnd) + 1, L'\0');
    s.resize(GetWindowTextW(hWnd, &s[0], (int)s.size()));
    return s;
}

static bool IsPushButton(HWND hWnd)
{
    wchar_t cls[32];
    GetClassNameW(hWnd, cls, 32);
    LONG type = GetWindowLongW(hWnd, GWL_STYLE) & BS_TYPEMASK;
    return !lstrcmpiW(cls, L"Button") && (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON);
}

// A message box is a dialog with a push button; its text is its longest static.
BoxWatcher::BoxWatcher(std::function<void(int)> whileUp, std::function<void(HWND)> dismiss)
    : watcher_([this, whileUp, dismiss](HWND box) {
          Box b = {};
          b.hwnd = box;
          b.caption = TextOf(box);
          GetWindowRect(box, &b.rect);
          GetClientRect(box, &b.client);
          MapWindowPoints(box, NULL, (POINT *)&b.client, 2);
          b.owner = GetWindow(box, GW_OWNER);
          b.exStyle = (DWORD)GetWindowLongW(box, GWL_EXSTYLE);
          wchar_t cls[32];
          for (HWND k = GetWindow(box, GW_CHILD); k; k = GetWindow(k, GW_HWNDNEXT)) {
              GetClassNameW(k, cls, 32);
              std::wstring t = TextOf(k);
              if (IsPushButton(k)) {
                  Button button = {GetDlgCtrlID(k), t, {}, GetFocus() == k};
                  GetWindowRect(k, &button.rect);
                  b.buttons.push_back(button);
              } else if (!lstrcmpiW(cls, L"Static") && t.size() > b.text.size()) {
                  b.text = t;
                  b.textControl = k;
                  GetWindowRect(k, &b.textRect);
              }
          }
          if (b.buttons.empty())
              return;
          boxes.push_back(b);
          if (whileUp)
              whileUp((int)boxes.size() - 1);
          if (dismiss) {
              dismiss(box);
          } else {
              LRESULT def = SendMessageW(box, DM_GETDEFID, 0, 0);
              int id = HIWORD(def) == DC_HASDEFID ? LOWORD(def) : b.buttons[0].id;
              PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(box, id));
          }
      })
{
}

void PostKey(HWND dialog, UINT vk)
{
    HWND target = GetFocus();
    if (!target || (target != dialog && !IsChild(dialog, target)))
        target = dialog;
    PostMessageW(target, WM_KEYDOWN, vk, 1);
    PostMessageW(target, WM_KEYUP, vk, 0xC0000001);
}

bool Inside(const RECT &inner, const RECT &outer)
{
    return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
           inner.bottom <= outer.bottom;
}

// ---------------------------------------------------------------------------
// Dialogs

static DialogWatcher *s_dialogs;
static std::function<void(HWND)> s_dialogUp;

static LRESULT CALLBACK DialogShownProc(int code, WPARAM wParam, LPARAM lParam)
{
    const CWPRETSTRUCT *cwp = (const CWPRETSTRUCT *)lParam;
    if (code == HC_ACTION && s_dialogs && cwp->message == WM_SHOWWINDOW && cwp->wParam) {
        HWND dlg = cwp->hwnd;
        wchar_t cls[32];
        GetClassNameW(dlg, cls, 32);
        if (!lstrcmpW(cls, L"#32770") && !GetPropW(dlg, L"RegSaveTests.DialogSeen")) {
            SetPropW(dlg, L"RegSaveTests.DialogSeen", (HANDLE)1);
            s_dialogs->dialogs.push_back(dlg);
            if (s_dialogUp)
                s_dialogUp(dlg);
        }
    }
    return CallNextHookEx(NULL, code, wParam, lParam);
}

DialogWatcher::DialogWatcher(std::function<void(HWND)> whileUp)
{
    s_dialogs = this;
    s_dialogUp = whileUp;
    hook_ = SetWindowsHookExW(WH_CALLWNDPROCRET, DialogShownProc, NULL, GetCurrentThreadId());
}

DialogWatcher::~DialogWatcher()
{
    UnhookWindowsHookEx(hook_);
    s_dialogs = nullptr;
    s_dialogUp = nullptr;
}

// ---------------------------------------------------------------------------
// Device

bool ReadDword(HKEY root, const wchar_t *key, const wchar_t *value, DWORD *out)
{
    DWORD type, size = sizeof(*out);
    return RegGetValueW(root, key, value, RRF_RT_ANY, &type, out, &size) == ERROR_SUCCESS && type == REG_DWORD &&
           size == sizeof(*out);
}

void WriteDword(HKEY root, const wchar_t *key, const wchar_t *value, DWORD data)
{
    HKEY h;
    if (RegCreateKeyExW(root, key, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &h, NULL) == ERROR_SUCCESS) {
        RegSetValueExW(h, value, 0, REG_DWORD, (const BYTE *)&data, sizeof(data));
        RegCloseKey(h);
    }
}

bool KeyExists(HKEY root, const wchar_t *key)
{
    HKEY h;
    if (RegOpenKeyExW(root, key, 0, KEY_READ, &h) != ERROR_SUCCESS)
        return false;
    RegCloseKey(h);
    return true;
}

static std::wstring HostPath(const wchar_t *path)
{
    return std::wstring(L"C:") + path;
}

bool DeviceFileExists(const wchar_t *path)
{
    return GetFileAttributesW(HostPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void WriteDeviceFile(const wchar_t *path, const char *data)
{
    HANDLE h = CreateFileW(HostPath(path).c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD n;
    WriteFile(h, data, lstrlenA(data), &n, NULL);
    CloseHandle(h);
}

template <typename String>
static ::testing::AssertionResult SameTextOf(const String &actual, const String &expected)
{
    size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at])
        ++at;
    if (at == actual.size() && at == expected.size())
        return ::testing::AssertionSuccess();
    const size_t kBefore = 16, kShown = 48;
    size_t from = at > kBefore ? at - kBefore : 0;
    return ::testing::AssertionFailure()
           << "the text (" << actual.size() << " characters) and the expected one (" << expected.size()
           << ") first differ at character " << at << "; from character " << from << " the text reads "
           << ::testing::PrintToString(actual.substr(from, kShown)) << ", the expected one "
           << ::testing::PrintToString(expected.substr(from, kShown));
}

::testing::AssertionResult SameText(const std::wstring &actual, const std::wstring &expected)
{
    return SameTextOf(actual, expected);
}

::testing::AssertionResult SameText(const std::string &actual, const std::string &expected)
{
    return SameTextOf(actual, expected);
}
