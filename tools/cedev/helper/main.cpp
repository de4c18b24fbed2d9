// cedev-helper.exe: its commands' dispatch, and the serve loop through which cedev asks
// for them while a device runs.
#include "helper.h"
#include "../frame.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdint.h>
#include <vector>

// path PATH: a device path as the device's file system reads it, below its root ("Flash
// Disk\x"; nothing for the root itself), with the names that exist as they are written
// on disk. cedev's file commands work from it.
static int CmdPath(int argc, wchar_t **argv)
{
    if (argc != 1)
        return Usage(L"usage: cedev-helper path PATH");
    std::wstring path;
    if (!DevicePath(argv[0], &path))
        return BadPath(argv[0]);
    Out(Utf8(path.substr(3)) + "\n");
    return kExitOk;
}

// boot: waits until the device's desktop is up. Wine's own start-up (services, the
// registry's start-time keys) runs before any program; asking for the desktop window
// starts the desktop and waits for it.
static int CmdBoot(int argc, wchar_t **)
{
    if (argc != 0)
        return Usage(L"usage: cedev-helper boot");
    return GetDesktopWindow() ? kExitOk : Fail(L"the device's desktop did not start");
}

// desktop: holds the device's desktop for as long as the device runs. The desktop
// ends once no program uses it; without this it would end after each program and be
// started again by the next one, which would then hold its output open.
static int CmdDesktop(int argc, wchar_t **)
{
    if (argc != 0)
        return Usage(L"usage: cedev-helper desktop");
    if (!GetDesktopWindow())
        return Fail(L"the device's desktop did not start");
    Sleep(INFINITE);
    return kExitOk;
}

// ping: answers at once; the floor of a command's time (make bench).
static int CmdPing(int, wchar_t **)
{
    return kExitOk;
}

// The commands a request (or the command line) may name; screen: it looks at the display.
static const struct {
    const wchar_t *name;
    int (*run)(int, wchar_t **);
    bool screen;
} s_commands[] = {
    {L"windows", CmdWindows, true}, {L"box", CmdBox, true},   {L"screenshot", CmdScreenshot, true},
    {L"wait", CmdWait, true},       {L"tap", CmdTap, true},   {L"pen", CmdPen, true},
    {L"key", CmdKey, true},         {L"xwindow", CmdXWindow, true},
    {L"reg", CmdReg, false},        {L"ls", CmdLs, false},    {L"path", CmdPath, false},
    {L"program", CmdProgram, false}, {L"boot", CmdBoot, false}, {L"desktop", CmdDesktop, false},
    {L"ping", CmdPing, false},
};

// A look at the display itself, one round trip to it: a helper whose display has gone
// (killed from outside) ends here, which tells cedev, rather than answer from what the
// Wine server alone knows of the screen.
static void TouchDisplay()
{
    HDC screen = GetDC(NULL);
    if (screen) {
        GetPixel(screen, 0, 0);
        ReleaseDC(NULL, screen);
    }
}

static int RunCommand(int argc, wchar_t **argv)
{
    for (const auto &c : s_commands) {
        if (!lstrcmpW(argv[0], c.name)) {
            if (c.screen)
                TouchDisplay();
            return c.run(argc - 1, argv + 1);
        }
    }
    return Usage(L"unknown command '" + std::wstring(argv[0]) + L"'");
}

// serve: answers cedev's requests for as long as the device runs, over its standard
// input and output, which are pipes only cedev holds. A request is a frame: its length
// (4 bytes, little-endian), then each argument as its length and its UTF-8 bytes. The
// answer is a frame too: the exit code, then what the command printed and what it
// said on stderr, each as its length and bytes. The first answer, before any request,
// says that the device's desktop is up.
static bool ReadExactly(HANDLE h, void *to, DWORD size)
{
    char *p = static_cast<char *>(to);
    while (size) {
        DWORD n = 0;
        if (!ReadFile(h, p, size, &n, NULL) || !n)
            return false;
        p += n;
        size -= n;
    }
    return true;
}

// An answer: its exit code, then what it printed and what it said as two fields.
static bool Answer(HANDLE h, int rc, const std::string &out, const std::string &err)
{
    std::string body, frame;
    PutU32(&body, (uint32_t)rc);
    body += JoinFields({out, err});
    PutU32(&frame, body.size());
    frame += body;
    for (size_t done = 0; done < frame.size();) {
        DWORD n = 0;
        if (!WriteFile(h, frame.data() + done, (DWORD)(frame.size() - done), &n, NULL) || !n)
            return false;
        done += n;
    }
    return true;
}

// Whether the device's desktop is up and done starting: its process has set up the
// display (registering its adapter and monitor in the registry) and waits for input.
// Until then a program started on the device could find that part of the registry
// half written.
static bool DesktopSettled()
{
    HWND desktop = GetDesktopWindow();
    if (!desktop)
        return false;
    DWORD pid = 0;
    GetWindowThreadProcessId(desktop, &pid);
    HANDLE process = pid ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid) : NULL;
    if (process) {
        WaitForInputIdle(process, 30000);
        CloseHandle(process);
    }
    return true;
}

// The longest request cedev sends: its arguments are bounded far below this.
static const uint32_t kMaxRequest = 1 << 20;

static int CmdServe(int argc, wchar_t **)
{
    if (argc != 0)
        return Usage(L"usage: cedev-helper serve");
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE), out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!Answer(out, DesktopSettled() ? kExitOk : kExitFail, "", ""))
        return kExitFail;
    std::string answerOut, answerErr;
    for (;;) {
        unsigned char head[4];
        if (!ReadExactly(in, head, 4))
            return kExitOk;  // cedev closed the channel: the device is ending
        uint32_t size = GetU32((const char *)head);
        if (size > kMaxRequest)
            return Fail(L"a request of " + std::to_wstring(size) + L" bytes");
        std::string body(size, '\0');
        if (size && !ReadExactly(in, &body[0], size))
            return kExitFail;
        std::vector<std::string> fields;
        bool whole = SplitFields(body, &fields);
        std::vector<std::wstring> args;
        for (const std::string &f : fields)
            args.push_back(Wide(f));
        answerOut.clear();
        answerErr.clear();
        CaptureOutput(&answerOut, &answerErr);
        int rc;
        if (!whole || args.empty()) {
            rc = Usage(L"a request that is not whole");
        } else {
            std::vector<wchar_t *> argv;
            for (std::wstring &a : args)
                argv.push_back(&a[0]);
            argv.push_back(NULL);
            rc = RunCommand((int)args.size(), argv.data());
        }
        CaptureOutput(NULL, NULL);
        if (!Answer(out, rc, answerOut, answerErr))
            return kExitFail;
    }
}

int wmain(int argc, wchar_t **argv)
{
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    _setmode(_fileno(stdin), _O_BINARY);
    if (argc < 2)
        return Usage(L"no command given");
    int rc = !lstrcmpW(argv[1], L"serve") ? CmdServe(argc - 2, argv + 2) : RunCommand(argc - 1, argv + 1);
    fflush(stdout);
    return rc;
}
