// Window and dialog procedures in ARM code, called from the host's window manager.
// The host knows one procedure for all the program's window classes and one for its
// dialogs; each finds the guest procedure it stands for (by the window's class, or by
// the dialog it was bound to when the dialog was made) and calls it on the guest's
// stack, with the message converted. Calls nest as deeply as the program nests them.
#include "runner.h"

#include <map>

namespace {

std::map<ATOM, uint32_t> g_classProcs;
std::map<HWND, uint32_t> g_dialogProcs;
// Dialogs being created on this thread, innermost last; the first message of a new
// dialog binds it to the innermost one.
std::vector<uint32_t> g_pendingDialogs;

uint32_t CallGuest(uint32_t proc, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    MessageFrame frame(hwnd, message, wParam, lParam);
    uint32_t args[4] = {Narrow(reinterpret_cast<uint64_t>(hwnd), "a window procedure's window"), message,
                        frame.guestWParam(), frame.guestLParam()};
    uint32_t result = cpu::Call(proc, args, 4);
    frame.CopyOut();
    return result;
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto it = g_classProcs.find(ATOM(GetClassWord(hwnd, GCW_ATOM)));
    if (it == g_classProcs.end())
        return DefWindowProcW(hwnd, message, wParam, lParam);
    return LRESULT(Widen(CallGuest(it->second, hwnd, message, wParam, lParam)));
}

INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto it = g_dialogProcs.find(hwnd);
    if (it == g_dialogProcs.end()) {
        if (g_pendingDialogs.empty() || !g_pendingDialogs.back())
            return FALSE;
        it = g_dialogProcs.emplace(hwnd, g_pendingDialogs.back()).first;
        g_pendingDialogs.back() = 0;
    }
    uint32_t proc = it->second;
    INT_PTR result = INT_PTR(Widen(CallGuest(proc, hwnd, message, wParam, lParam)));
    if (message == WM_NCDESTROY)
        g_dialogProcs.erase(hwnd);
    return result;
}

}  // namespace

WNDPROC HostWindowProc()
{
    return WindowProc;
}

void BindClassAtom(ATOM atom, uint32_t guestProc)
{
    g_classProcs[atom] = guestProc;
}

DLGPROC PendingDialogProc(uint32_t guestProc)
{
    g_pendingDialogs.push_back(guestProc);
    return DialogProc;
}

void EndPendingDialog()
{
    g_pendingDialogs.pop_back();
}
