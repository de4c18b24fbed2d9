// cedev-helper.exe: command dispatch and the small utilities the commands share.
#include "helper.h"
#include "../escape.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdint.h>
#include <vector>

std::string Utf8(const std::wstring &s)
{
    if (s.empty())
        return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), (int)s.size(), NULL, 0, NULL, NULL);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, s.data(), (int)s.size(), &out[0], n, NULL, NULL);
    return out;
}

std::wstring Wide(const std::string &s)
{
    if (s.empty())
        return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), NULL, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), &out[0], n);
    return out;
}

// Where a command's output goes: the process's own stdout and stderr, or, while the
// helper serves cedev, the answer being made.
static std::string *s_out, *s_err;

void Out(const std::string &s)
{
    if (s_out)
        s_out->append(s);
    else
        fwrite(s.data(), 1, s.size(), stdout);
}

void OutBytes(const void *data, size_t size)
{
    Out(std::string(static_cast<const char *>(data), size));
}

// Control and format characters as escapes, the way plain output shows them (see
// escape.h). A name or text from the device then stays on its line, moves no cursor
// and shows every character it holds.
std::string Printable(const std::wstring &s)
{
    static_assert(sizeof(wchar_t) == sizeof(char16_t), "the device's strings are UTF-16");
    return PrintableUtf16(reinterpret_cast<const char16_t *>(s.data()), s.size());
}

int Fail(const std::wstring &message)
{
    std::string line = "cedev: " + Printable(message) + "\n";
    if (s_err) {
        s_err->append(line);
        return EXIT_FAIL;
    }
    fflush(stdout);
    fwrite(line.data(), 1, line.size(), stderr);
    return EXIT_FAIL;
}

int Usage(const std::wstring &message)
{
    Fail(message);
    return EXIT_USAGE;
}

std::string JsonString(const std::wstring &s)
{
    std::string out = "\"";
    for (wchar_t c : s) {
        if (c == L'"' || c == L'\\') {
            out += '\\';
            out += (char)c;
        } else if (c >= 0x20 && c < 0x7f) {
            out += (char)c;
        } else if (c == L'\n') {
            out += "\\n";
        } else if (c == L'\r') {
            out += "\\r";
        } else if (c == L'\t') {
            out += "\\t";
        } else {
            char buf[8];
            snprintf(buf, sizeof(buf), "\\u%04x", (unsigned)(c & 0xffff));
            out += buf;
        }
    }
    return out + "\"";
}

JsonObject &JsonObject::Raw(const char *key, const std::string &json)
{
    if (!m_fields.empty())
        m_fields += ",";
    m_fields += JsonString(Wide(key)) + ":" + json;
    return *this;
}

bool TakeFlag(int *argc, wchar_t **argv, const wchar_t *flag)
{
    bool found = false;
    int kept = 0;
    for (int i = 0; i < *argc; ++i) {
        if (!lstrcmpW(argv[i], flag))
            found = true;
        else
            argv[kept++] = argv[i];
    }
    *argc = kept;
    return found;
}

bool ParsePoint(const std::wstring &s, POINT *pt)
{
    wchar_t *end;
    size_t comma = s.find(L',');
    if (comma == std::wstring::npos || comma == 0 || comma + 1 == s.size())
        return false;
    long x = wcstol(s.c_str(), &end, 10);
    if (end != s.c_str() + comma)
        return false;
    long y = wcstol(s.c_str() + comma + 1, &end, 10);
    if (*end)
        return false;
    pt->x = x;
    pt->y = y;
    return true;
}

bool ParseSeconds(const std::wstring &s, DWORD *ms)
{
    wchar_t *end;
    double v = wcstod(s.c_str(), &end);
    if (s.empty() || *end || v < 0 || v > 3600)
        return false;
    *ms = (DWORD)(v * 1000);
    return true;
}

// "\Flash Disk\x" names C:\Flash Disk\x inside the device. The path is normalised as
// the device's file system reads it ("." and ".." resolved, "/" and repeated
// separators taken as one "\", trailing dots and spaces of names dropped, short names
// made long), so that what is checked is what would be opened. "\\server" and
// "\\?\" names, and anything with a drive letter, are not device paths.
bool DevicePath(const wchar_t *arg, std::wstring *host)
{
    // A path that starts with '/' is a host path, not a device path given the other way.
    auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    if (arg[0] != L'\\' || separator(arg[1]) || wcschr(arg, L':'))
        return false;
    std::wstring in = L"C:" + std::wstring(arg);
    DWORD n = GetFullPathNameW(in.c_str(), 0, NULL, NULL);
    std::wstring full(n, L'\0');
    n = n ? GetFullPathNameW(in.c_str(), n, &full[0], NULL) : 0;
    if (!n || n >= full.size())
        return false;
    full.resize(n);
    if (full.compare(0, 3, L"C:\\") != 0)
        return false;
    n = GetLongPathNameW(full.c_str(), NULL, 0);
    if (n) {
        std::wstring longer(n, L'\0');
        n = GetLongPathNameW(full.c_str(), &longer[0], n);
        if (n && n < longer.size() && longer.compare(0, 3, L"C:\\") == 0)
            full.assign(longer, 0, n);
    }
    while (full.size() > 3 && full.back() == L'\\')
        full.pop_back();
    *host = full;
    return true;
}

int BadPath(const wchar_t *arg)
{
    // A path whose last name is CON, NUL, COM1... reads as that device of the system.
    wchar_t full[16];
    std::wstring in = L"C:" + std::wstring(arg);
    DWORD n = arg[0] == L'\\' ? GetFullPathNameW(in.c_str(), 16, full, NULL) : 0;
    if (n && n < 16 && !wcsncmp(full, L"\\\\.\\", 4))
        return Usage(L"'" + std::wstring(arg) + L"': CON, PRN, AUX, NUL, COM1-9 and LPT1-9 name the system's devices, "
                                                L"not files");
    return Usage(L"'" + std::wstring(arg) + L"' is not a device path; they start with \\ (e.g. \\Flash Disk\\registry.dat)");
}

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
    return EXIT_OK;
}

// boot: waits until the device's desktop is up. Wine's own start-up (services, the
// registry's start-time keys) runs before any program; asking for the desktop window
// starts the desktop and waits for it.
static int CmdBoot(int argc, wchar_t **)
{
    if (argc != 0)
        return Usage(L"usage: cedev-helper boot");
    return GetDesktopWindow() ? EXIT_OK : Fail(L"the device's desktop did not start");
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
    return EXIT_OK;
}

static int CmdServe(int argc, wchar_t **);

// ping: answers at once; the floor of a command's time (make bench).
static int CmdPing(int, wchar_t **)
{
    return EXIT_OK;
}

static const struct {
    const wchar_t *name;
    int (*run)(int, wchar_t **);
} s_commands[] = {
    {L"windows", CmdWindows}, {L"box", CmdBox}, {L"screenshot", CmdScreenshot}, {L"wait", CmdWait},
    {L"tap", CmdTap},         {L"pen", CmdPen}, {L"key", CmdKey},     {L"reg", CmdReg},
    {L"ls", CmdLs},           {L"path", CmdPath}, {L"program", CmdProgram},
    {L"boot", CmdBoot},       {L"desktop", CmdDesktop}, {L"xwindow", CmdXWindow}, {L"serve", CmdServe}, {L"ping", CmdPing},
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
    static const wchar_t *const screen[] = {L"windows", L"box", L"screenshot", L"wait", L"tap",
                                            L"pen",     L"key", L"xwindow"};
    for (const wchar_t *name : screen) {
        if (!lstrcmpW(argv[0], name))
            TouchDisplay();
    }
    for (const auto &c : s_commands) {
        if (!lstrcmpW(argv[0], c.name) && c.run != CmdServe)
            return c.run(argc - 1, argv + 1);
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

static void PutU32(std::string *s, uint32_t v)
{
    char b[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    s->append(b, 4);
}

static uint32_t GetU32(const unsigned char *p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24;
}

static bool Answer(HANDLE h, int rc, const std::string &out, const std::string &err)
{
    std::string frame;
    PutU32(&frame, 12 + out.size() + err.size());
    PutU32(&frame, (uint32_t)rc);
    PutU32(&frame, out.size());
    frame += out;
    PutU32(&frame, err.size());
    frame += err;
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
    if (!Answer(out, DesktopSettled() ? EXIT_OK : EXIT_FAIL, "", ""))
        return EXIT_FAIL;
    std::string answerOut, answerErr;
    for (;;) {
        unsigned char head[4];
        if (!ReadExactly(in, head, 4))
            return EXIT_OK;  // cedev closed the channel: the device is ending
        uint32_t size = GetU32(head);
        if (size > kMaxRequest)
            return Fail(L"a request of " + std::to_wstring(size) + L" bytes");
        std::string body(size, '\0');
        if (size && !ReadExactly(in, &body[0], size))
            return EXIT_FAIL;
        std::vector<std::wstring> args;
        bool whole = true;
        for (size_t at = 0; at < body.size();) {
            if (body.size() - at < 4) {
                whole = false;
                break;
            }
            uint32_t n = GetU32((const unsigned char *)body.data() + at);
            at += 4;
            if (n > body.size() - at) {
                whole = false;
                break;
            }
            args.push_back(Wide(body.substr(at, n)));
            at += n;
        }
        answerOut.clear();
        answerErr.clear();
        s_out = &answerOut;
        s_err = &answerErr;
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
        s_out = s_err = NULL;
        if (!Answer(out, rc, answerOut, answerErr))
            return EXIT_FAIL;
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
