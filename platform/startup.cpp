// Process start-up for the desktop build. The program links no C run-time: this entry
// point gives WinMain what the handheld's run-time gives it, the instance, no previous
// instance, the command line after the program's name, and the show state, and then
// ends the process with WinMain's result.
#include "platform.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nShowCmd);

// Skips the program name (quoted or not) and the blanks after it.
static LPWSTR SkipProgramName(LPWSTR p)
{
    if (*p == L'"') {
        for (++p; *p && *p != L'"'; ++p) {
        }
        if (*p == L'"')
            ++p;
    } else {
        while (*p && *p != L' ' && *p != L'\t')
            ++p;
    }
    while (*p == L' ' || *p == L'\t')
        ++p;
    return p;
}

extern "C" void WinMainCRTStartup(void)
{
    STARTUPINFOW si;
    si.cb = sizeof(si);
    GetStartupInfoW(&si);
    int nShowCmd = (si.dwFlags & STARTF_USESHOWWINDOW) ? si.wShowWindow : SW_SHOWDEFAULT;
    ExitProcess(WinMain(GetModuleHandleW(NULL), NULL, SkipProgramName(GetCommandLineW()), nShowCmd));
}
