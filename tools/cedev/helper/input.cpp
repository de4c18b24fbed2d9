// Pen and keys, injected as hardware input: they reach windows through the window
// system's own input path (hit testing, capture, focus, accelerators), as a pen and a
// keypad would.
#include "helper.h"

#include <vector>

// One pen event at a point, as hardware input. Absolute coordinates span 0..65535
// over the screen, first pixel to last.
static INPUT PenEvent(POINT pt, DWORD flag)
{
    int cx = GetSystemMetrics(SM_CXSCREEN), cy = GetSystemMetrics(SM_CYSCREEN);
    INPUT in = {};
    in.type = INPUT_MOUSE;
    in.mi.dx = (pt.x * 65535 + (cx - 1) / 2) / (cx - 1);
    in.mi.dy = (pt.y * 65535 + (cy - 1) / 2) / (cy - 1);
    in.mi.dwFlags = flag | MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    return in;
}

// A press or release where the pen already is: it repeats the position, so it moves
// nothing.
static bool Press(POINT pt, DWORD flag)
{
    INPUT in = PenEvent(pt, flag);
    return SendInput(1, &in, sizeof(in)) == 1;
}

// Moves the pen over a point and lets the screen catch up. Each move also moves the
// display's pointer, and the device's desktop turns the display's pointer moves back
// into pen moves whenever it gets to them. One from an earlier tap, taken in after
// this press, would drag the pen off the button (a pressed button follows the pen)
// and cancel the tap. Two round trips of a message to the desktop make it take in
// what it has pending before the pen goes down.
static bool PenTo(POINT pt)
{
    INPUT in = PenEvent(pt, 0);
    if (SendInput(1, &in, sizeof(in)) != 1)
        return false;
    DWORD_PTR result;
    for (int i = 0; i < 2; ++i)
        SendMessageTimeoutW(GetDesktopWindow(), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &result);
    return true;
}

// Waits until what was just sent has been taken in, as far as the window system lets
// another program tell: the desktop has caught up with the display's pointer, and the
// program the input went to has come back for messages twice (a message sent to a
// window is handled whenever its thread next looks at its queue, before its input; the
// second only once the thread has taken an input message and come back for more).
// What an input leads to may come later still (a box shown after a save): commands
// that look for it wait for it (cedev wait).
static void Settle(const POINT *pen)
{
    DWORD_PTR result;
    for (int i = 0; i < 2; ++i)
        SendMessageTimeoutW(GetDesktopWindow(), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &result);
    HWND targets[3] = {GetForegroundWindow(), NULL, NULL};
    GUITHREADINFO gti = {};
    gti.cbSize = sizeof(gti);
    if (targets[0] && GetGUIThreadInfo(GetWindowThreadProcessId(targets[0], NULL), &gti) && gti.hwndCapture)
        targets[1] = GetAncestor(gti.hwndCapture, GA_ROOT);
    if (pen) {
        HWND under = WindowFromPoint(*pen);
        targets[2] = under ? GetAncestor(under, GA_ROOT) : NULL;
    }
    for (int round = 0; round < 2; ++round) {
        for (HWND w : targets) {
            if (w && w != GetDesktopWindow())
                SendMessageTimeoutW(w, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &result);
        }
    }
}

// A pen that went up has let go of what it held: the window that captured it at the
// press gives the capture back when it takes the release in. Waited for (up to two
// seconds), so that what a look at the screen shows next is after the release.
static void WaitReleased()
{
    DWORD start = GetTickCount();
    for (;;) {
        HWND fg = GetForegroundWindow();
        GUITHREADINFO gti = {};
        gti.cbSize = sizeof(gti);
        if (!fg || !GetGUIThreadInfo(GetWindowThreadProcessId(fg, NULL), &gti) || !gti.hwndCapture ||
            GetTickCount() - start > 2000)
            return;
        Sleep(5);
    }
}

static bool OnScreen(POINT pt)
{
    return pt.x >= 0 && pt.y >= 0 && pt.x < GetSystemMetrics(SM_CXSCREEN) && pt.y < GetSystemMetrics(SM_CYSCREEN);
}

static int Target(const std::wstring &arg, POINT *pt)
{
    if (ParsePoint(arg, pt)) {
        if (!OnScreen(*pt))
            return Fail(L"point " + arg + L" is off the screen");
        return kExitOk;
    }
    std::wstring what;
    if (!FindControl(arg, pt, &what))
        return Fail(L"no control shows \"" + arg + L"\"");
    return kExitOk;
}

int CmdTap(int argc, wchar_t **argv)
{
    if (argc != 1)
        return Usage(L"usage: cedev tap TEXT|X,Y");
    POINT pt;
    int rc = Target(argv[0], &pt);
    if (rc != kExitOk)
        return rc;
    if (!PenTo(pt) || !Press(pt, MOUSEEVENTF_LEFTDOWN) || !Press(pt, MOUSEEVENTF_LEFTUP))
        return Fail(L"the pen input was refused");
    Settle(&pt);
    WaitReleased();
    return kExitOk;
}

int CmdPen(int argc, wchar_t **argv)
{
    if (argc != 2 || (lstrcmpW(argv[0], L"down") && lstrcmpW(argv[0], L"up")))
        return Usage(L"usage: cedev pen down|up X,Y|TEXT");
    POINT pt;
    int rc = Target(argv[1], &pt);
    if (rc != kExitOk)
        return rc;
    DWORD flag = lstrcmpW(argv[0], L"down") ? MOUSEEVENTF_LEFTUP : MOUSEEVENTF_LEFTDOWN;
    if (!PenTo(pt) || !Press(pt, flag))
        return Fail(L"the pen input was refused");
    Settle(&pt);
    if (flag == MOUSEEVENTF_LEFTUP)
        WaitReleased();
    return kExitOk;
}

static const struct {
    const wchar_t *name;
    WORD vk;
} s_keys[] = {
    {L"alt", VK_MENU},     {L"ctrl", VK_CONTROL}, {L"shift", VK_SHIFT},  {L"esc", VK_ESCAPE},
    {L"escape", VK_ESCAPE}, {L"enter", VK_RETURN}, {L"return", VK_RETURN}, {L"tab", VK_TAB},
    {L"space", VK_SPACE},  {L"backspace", VK_BACK}, {L"delete", VK_DELETE}, {L"up", VK_UP},
    {L"down", VK_DOWN},    {L"left", VK_LEFT},    {L"right", VK_RIGHT},   {L"home", VK_HOME},
    {L"end", VK_END},
};

// One key name: a named key, f1..f24, or a single character typed on the keyboard.
static bool KeyCode(const std::wstring &name, WORD *vk, bool *shift)
{
    *shift = false;
    for (const auto &k : s_keys) {
        if (!lstrcmpiW(name.c_str(), k.name)) {
            *vk = k.vk;
            return true;
        }
    }
    if ((name[0] == L'f' || name[0] == L'F') && name.size() > 1) {
        int n = _wtoi(name.c_str() + 1);
        if (n >= 1 && n <= 24 && name.find_first_not_of(L"0123456789", 1) == std::wstring::npos) {
            *vk = (WORD)(VK_F1 + n - 1);
            return true;
        }
    }
    if (name.size() == 1) {
        SHORT scan = VkKeyScanW(name[0]);
        if (scan == -1)
            return false;
        *vk = LOBYTE(scan);
        *shift = (HIBYTE(scan) & 1) != 0;
        return true;
    }
    return false;
}

static INPUT Key(WORD vk, bool up)
{
    INPUT in = {};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = vk;
    in.ki.wScan = (WORD)MapVirtualKeyW(vk, MAPVK_VK_TO_VSC);
    in.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    return in;
}

// KEY is a chord such as alt+f4, alt+/ or esc: the modifiers go down in order, the
// last key is pressed and released, and the modifiers come up in reverse order.
int CmdKey(int argc, wchar_t **argv)
{
    if (argc != 1 || !argv[0][0])
        return Usage(L"usage: cedev key KEY (for example alt+f4, alt+/, esc)");
    std::wstring chordText = argv[0];
    std::vector<WORD> chord;
    bool shift = false;
    size_t start = 0;
    while (start <= chordText.size()) {
        // A '+' right after a separator is the key itself.
        size_t plus = chordText.find(L'+', start + 1);
        std::wstring part = chordText.substr(start, plus == std::wstring::npos ? std::wstring::npos : plus - start);
        WORD vk;
        bool needShift;
        if (part.empty() || !KeyCode(part, &vk, &needShift))
            return Fail(L"unknown key '" + part + L"' in '" + chordText + L"'");
        chord.push_back(vk);
        shift = shift || needShift;
        if (plus == std::wstring::npos)
            break;
        start = plus + 1;
    }
    if (shift && chord.back() != VK_SHIFT)
        chord.insert(chord.end() - 1, VK_SHIFT);

    std::vector<INPUT> seq;
    for (WORD vk : chord)
        seq.push_back(Key(vk, false));
    for (size_t i = chord.size(); i-- > 0;)
        seq.push_back(Key(chord[i], true));
    if (SendInput((UINT)seq.size(), seq.data(), sizeof(INPUT)) != seq.size())
        return Fail(L"the key input was refused");
    Settle(NULL);
    return kExitOk;
}
