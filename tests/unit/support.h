// Test support: a recording layer over the program's imports from COREDLL.dll, a log
// of the messages a window receives, and the device facts the tests rely on.
#ifndef REGSAVE_TESTS_SUPPORT_H
#define REGSAVE_TESTS_SUPPORT_H

#include "regsave.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

// Replaces one entry of this executable's import table for COREDLL.dll for as long as
// it lives. The program's code is linked into the test executable, so every call it
// makes to the core library goes through that table.
class ImportHook {
public:
    ImportHook(const char *name, void *replacement);
    // The same for another module's import of name from dll.
    ImportHook(HMODULE module, const char *dll, const char *name, void *replacement);
    ~ImportHook();
    ImportHook(const ImportHook &) = delete;
    ImportHook &operator=(const ImportHook &) = delete;
    // The core library's own function, for replacements that pass calls on.
    template <typename F> F Original() const { return reinterpret_cast<F>(original_); }

private:
    void **slot_;
    void *original_;
};

// One event of a recorded sequence: a message a window received, or a call the
// program made to the core library.
struct Event {
    enum Kind { Message, Call } kind;
    std::string name;    // message or function name
    UINT_PTR arg1 = 0;   // wParam, or the call's first telling argument
    INT_PTR arg2 = 0;    // lParam, or the second
    bool operator==(const Event &o) const
    {
        return kind == o.kind && name == o.name && arg1 == o.arg1 && arg2 == o.arg2;
    }
};
std::ostream &operator<<(std::ostream &os, const Event &e);
Event Msg(const char *name, UINT_PTR wParam = 0, INT_PTR lParam = 0);
Event Call(const char *name, UINT_PTR arg1 = 0, INT_PTR arg2 = 0);

// Records the messages a window receives (the ones a sequence may name) and the calls
// the program makes to the functions below, in one log, in order.
class Recorder {
public:
    // Watches the given window, or else every top-level window of class watchClass
    // created while the recorder lives.
    explicit Recorder(HWND watched = NULL, const wchar_t *watchClass = L"Registry");
    ~Recorder();
    void Watch(HWND hWnd);
    std::vector<Event> events;
    std::wstring watchClass;

    // Calls to these functions are recorded, then passed on to the core library.
    static const char *const kRecordedCalls[];

private:
    std::vector<ImportHook *> hooks_;
    HHOOK hook_;
};

// Removes a pending WM_QUIT from this thread's queue; returns whether there was one
// and stores its exit code.
bool TakeQuit(int *code = nullptr);

// Runs an action on each dialog this thread shows (message boxes included), once, as
// it is first shown: it is placed and sized, and its modal loop is running. The action
// typically posts the input or command that ends it.
class DialogWatcher {
public:
    explicit DialogWatcher(std::function<void(HWND dialog)> whileUp);
    ~DialogWatcher();
    std::vector<HWND> dialogs;

private:
    HHOOK hook_;
};

// Ends every message box this thread shows, recording what it showed and where;
// optionally runs an action while each box is up (before it is dismissed). A box is
// ended as a tap on its default button would end it, unless an action to end it is
// given.
class BoxWatcher {
public:
    explicit BoxWatcher(std::function<void(int index)> whileUp = nullptr,
                        std::function<void(HWND box)> dismiss = nullptr);
    struct Button {
        int id;
        std::wstring label;
        RECT rect;  // screen coordinates
        bool focus;
    };
    struct Box {
        HWND hwnd;  // valid while the box is up
        std::wstring caption, text;
        RECT rect, client;  // the window and its client area, screen coordinates
        HWND textControl;   // the static control that shows the text
        RECT textRect;      // and where it is, screen coordinates
        HWND owner;
        DWORD exStyle;
        std::vector<Button> buttons;
    };
    std::vector<Box> boxes;

private:
    DialogWatcher watcher_;
};

// Posts a key press (down and up) where the keyboard would deliver it: to the window
// with the focus when it is the dialog or one of its controls, else to the dialog.
void PostKey(HWND dialog, UINT vk);

// Whether a rectangle lies wholly inside another.
bool Inside(const RECT &inner, const RECT &outer);

// Registry helpers for the device's registry.
bool ReadDword(HKEY root, const wchar_t *key, const wchar_t *value, DWORD *out);
void WriteDword(HKEY root, const wchar_t *key, const wchar_t *value, DWORD data);
bool KeyExists(HKEY root, const wchar_t *key);

// A file of the device, by its device path ("\Flash Disk\x").
bool DeviceFileExists(const wchar_t *path);
void WriteDeviceFile(const wchar_t *path, const char *data);

// Whether a file's text is the expected one. A difference is reported by where it
// starts, with a little of both texts from there, never as the whole file: a saved
// registry is megabytes.
::testing::AssertionResult SameText(const std::wstring &actual, const std::wstring &expected);
::testing::AssertionResult SameText(const std::string &actual, const std::string &expected);

#endif
