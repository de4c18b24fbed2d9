// Test tool: a hostile program inside a device. It works as an attacker would, with the
// Win32 API where that is enough and with Linux system calls made directly where it is
// not (a Windows program under Wine runs natively and may make them): it looks for the
// caller's terminal and files, replaces cedev's helper, plants links and FIFOs, and
// names things with control characters. Each command says on standard output what it
// managed; the tests decide what must not have happened.
//
//   intruder tty                  push a command into the terminal of fds 0-2 (TIOCSTI);
//                                 name its own controlling terminal, if it has one
//   intruder watch SECONDS MARK...
//                                 wait for a helper that cedev starts and go through its
//                                 descriptors: a terminal (TIOCSTI), a file holding a
//                                 MARK, its output (a forged line with escapes)
//   intruder fds MARK...          every descriptor of every process: files holding a MARK
//   intruder host MARK...         command lines and environments holding a MARK (its
//                                 own aside), and the X displays in sight
//   intruder replace              copy itself over cedev's helper, wherever it shows
//   intruder link TARGET LINK     a symbolic link
//   intruder fifo PATH            a FIFO
//   intruder folder PATH          a folder in place of the file PATH
//   intruder names                a file, registry values and a window named with
//                                 control characters; the window stays until closed
//   intruder root PATH            a copy of the host's bash at PATH made set-uid, and a
//                                 user namespace of its own (to be root in it)
//   intruder seize SECONDS FILE   for SECONDS, every process of cedev's that starts or
//                                 runs (helper, ARM runner, Wine server, display):
//                                 traced, its memory read, its output written to;
//                                 what it managed goes to FILE (it runs unseen, as a
//                                 service the device starts)
//   intruder alloc MB             that much memory, every page of it touched
//   intruder spawn N              N processes (each "intruder sleep 120")
//   intruder write PATH MB        a file of that size, a megabyte at a time
//   intruder print MB [PATH]      that many megabytes of lines on its output (or into the
//                                 Linux file PATH, such as another process's output)
//   intruder sleep SECONDS
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string>
#include <vector>

namespace {

// Linux system calls, x86-64: their arguments and results are 64 bits wide, which a
// Windows long is not.
typedef long long S;
enum : S {
    kRead = 0, kWrite = 1, kClose = 3, kIoctl = 16, kAccess = 21, kGetpid = 39, kRename = 82, kMkdir = 83,
    kUnlink = 87, kSymlink = 88,
    kMknod = 133, kGetdents64 = 217, kOpenat = 257, kReadlinkat = 267,
};
const S kAtCwd = -100, kRdOnly = 0, kRdWr = 2, kNoCtty = 0400, kNonBlock = 04000, kDirectory = 0200000;
const S kTiocsti = 0x5412, kTcgets = 0x5401, kIfIfo = 010000;

S Sys(S n, S a = 0, S b = 0, S c = 0, S d = 0)
{
    S r;
    register S r10 asm("r10") = d;
    asm volatile("syscall" : "=a"(r) : "a"(n), "D"(a), "S"(b), "d"(c), "r"(r10) : "rcx", "r11", "memory");
    return r;
}

S Open(const std::string &path, S flags)
{
    return Sys(kOpenat, kAtCwd, (S)path.c_str(), flags, 0644);
}

void Say(const std::string &line)
{
    printf("%s\n", line.c_str());
    fflush(stdout);
}

std::string ReadAll(const std::string &path, size_t limit = 1 << 20)
{
    std::string out;
    S fd = Open(path, kRdOnly | kNonBlock);
    if (fd < 0)
        return out;
    char buf[65536];
    S n;
    while (out.size() < limit && (n = Sys(kRead, fd, (S)buf, sizeof(buf))) > 0)
        out.append(buf, n);
    Sys(kClose, fd);
    return out;
}

std::vector<std::string> List(const std::string &dir)
{
    std::vector<std::string> names;
    S fd = Open(dir, kRdOnly | kDirectory);
    if (fd < 0)
        return names;
    char buf[32768];
    S n;
    while ((n = Sys(kGetdents64, fd, (S)buf, sizeof(buf))) > 0) {
        for (S at = 0; at < n;) {
            unsigned short len = *(unsigned short *)(buf + at + 16);
            std::string name = buf + at + 19;
            if (name != "." && name != "..")
                names.push_back(name);
            at += len;
        }
    }
    Sys(kClose, fd);
    return names;
}

std::vector<std::string> Pids()
{
    std::vector<std::string> pids;
    for (const std::string &n : List("/proc")) {
        if (n.find_first_not_of("0123456789") == std::string::npos)
            pids.push_back(n);
    }
    return pids;
}

std::string Link(const std::string &path)
{
    char buf[4096];
    S n = Sys(kReadlinkat, kAtCwd, (S)path.c_str(), (S)buf, sizeof(buf));
    return n > 0 ? std::string(buf, n) : std::string();
}

bool HasMark(const std::string &text, int argc, wchar_t **argv, int first, std::string *which)
{
    for (int i = first; i < argc; ++i) {
        char mark[1024];
        WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, mark, sizeof(mark), NULL, NULL);
        if (*mark && text.find(mark) != std::string::npos) {
            *which = mark;
            return true;
        }
    }
    return false;
}

// Pushes a line into the terminal behind fd, if fd is one: a shell that reads that
// terminal next runs it.
bool Inject(S fd)
{
    char termios[64];
    if (Sys(kIoctl, fd, kTcgets, (S)termios) < 0)
        return false;
    const char *line = "echo INTRUDED\n";
    bool ok = true;
    for (const char *p = line; *p && ok; ++p)
        ok = Sys(kIoctl, fd, kTiocsti, (S)p) == 0;
    return ok;
}

// What a descriptor of a process leads to, opened anew through /proc as any process of
// the same user may: a terminal to push into, a file holding a mark.
void Probe(const std::string &pid, const std::string &fd, int argc, wchar_t **argv, int first)
{
    std::string path = "/proc/" + pid + "/fd/" + fd, target = Link(path), mark;
    if (target.compare(0, 5, "pipe:") == 0 || target.compare(0, 7, "socket:") == 0 || target.empty())
        return;
    S f = Open(path, kRdWr | kNoCtty | kNonBlock);
    if (f < 0)
        f = Open(path, kRdOnly | kNoCtty | kNonBlock);
    if (f < 0)
        return;
    char termios[64];
    if (Sys(kIoctl, f, kTcgets, (S)termios) == 0)
        Say("terminal " + path + " -> " + target + (Inject(f) ? ": input pushed" : ": input refused"));
    Sys(kClose, f);
    if (HasMark(ReadAll(path), argc, argv, first, &mark))
        Say("file " + path + " -> " + target + " holds '" + mark + "'");
}

void ProbeAll(const std::string &pid, int argc, wchar_t **argv, int first)
{
    for (const std::string &fd : List("/proc/" + pid + "/fd"))
        Probe(pid, fd, argc, argv, first);
}

int Tty()
{
    for (S fd = 0; fd < 3; ++fd)
        Say("fd " + std::to_string(fd) + (Inject(fd) ? ": input pushed" : ": no terminal to push into"));
    // The kernel's record of the process's controlling terminal (after the name: state,
    // parent, group, session, terminal). One would be the caller's, within reach of any
    // device node for it.
    std::string stat = ReadAll("/proc/self/stat");
    size_t at = stat.rfind(')');
    long long tty = 0;
    if (at != std::string::npos)
        sscanf(stat.c_str() + at + 1, " %*c %*d %*d %*d %lld", &tty);
    if (tty)
        Say("controlling terminal " + std::to_string(tty));
    return 0;
}

// A helper that cedev starts is a process whose command line names cedev-helper and
// that is not the device's own desktop; each is gone through once.
int Watch(int argc, wchar_t **argv)
{
    DWORD until = GetTickCount() + (DWORD)(_wtof(argv[2]) * 1000);
    std::string self = std::to_string(Sys(kGetpid)), seen;
    Say("watching");
    while (GetTickCount() < until) {
        for (const std::string &pid : Pids()) {
            if (pid == self || seen.find("," + pid + ",") != std::string::npos)
                continue;
            std::string cmd = ReadAll("/proc/" + pid + "/cmdline");
            if (cmd.find("cedev-helper") == std::string::npos || cmd.find("desktop") != std::string::npos ||
                cmd.find("boot") != std::string::npos)
                continue;
            seen += "," + pid + ",";
            Say("helper " + pid);
            ProbeAll(pid, argc, argv, 3);
            // Its output, as cedev reads it: a forged line that retitles the terminal.
            S out = Open("/proc/" + pid + "/fd/1", 1 | kNonBlock);
            if (out >= 0) {
                const char forged[] = "\x1b]0;forged by the device\x07\x1b[2J";
                Say(Sys(kWrite, out, (S)forged, sizeof(forged) - 1) > 0 ? "helper output written"
                                                                           : "helper output refused");
                Sys(kClose, out);
            }
            return 0;
        }
        Sleep(5);
    }
    Say("no helper seen");
    return 0;
}

int Fds(int argc, wchar_t **argv)
{
    for (const std::string &pid : Pids())
        ProbeAll(pid, argc, argv, 2);
    Say("done");
    return 0;
}

int Host(int argc, wchar_t **argv)
{
    std::string mark;
    for (const std::string &pid : Pids()) {
        // Its own command line holds the marks it was given.
        if (ReadAll("/proc/" + pid + "/cmdline").find("intruder") != std::string::npos)
            continue;
        for (const char *what : {"cmdline", "environ"}) {
            std::string text = ReadAll("/proc/" + pid + "/" + what);
            if (HasMark(text, argc, argv, 2, &mark))
                Say(std::string(what) + " of " + pid + " holds '" + mark + "'");
        }
    }
    for (const std::string &x : List("/tmp/.X11-unix"))
        Say("display " + x);
    Say("done");
    return 0;
}

// Puts a copy of itself in place of each helper it finds: beside it first, then moved
// over it in one step, which works on a program that is running.
int Replace()
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(NULL, self, MAX_PATH);
    HANDLE f = CreateFileW(self, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    std::string image(GetFileSize(f, NULL), '\0');
    DWORD n = 0;
    ReadFile(f, &image[0], (DWORD)image.size(), &n, NULL);
    CloseHandle(f);
    for (const char *helper : {"/device/drive_c/windows/cedev-helper.exe", "/device/drive_c/windows/cedev/cedev-helper.exe",
                               "/cedev/cedev-helper.exe"}) {
        std::string target = helper, temp = target + ".new";
        if (Sys(kAccess, (S)helper, 0) < 0)
            continue;
        S out = Open(temp, 0100 | 01000 | 1);
        bool ok = out >= 0 && Sys(kWrite, out, (S)image.data(), (S)image.size()) == (S)image.size();
        if (out >= 0)
            Sys(kClose, out);
        ok = ok && Sys(kRename, (S)temp.c_str(), (S)helper) == 0;
        Say(target + (ok ? ": replaced" : ": refused"));
    }
    return 0;
}

std::string Arg(wchar_t *arg)
{
    char buf[4096];
    WideCharToMultiByte(CP_UTF8, 0, arg, -1, buf, sizeof(buf), NULL, NULL);
    return buf;
}

LRESULT CALLBACK WindowProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hWnd, msg, wParam, lParam);
}

// Names that would retitle the caller's terminal, clear its screen, or start a line of
// their own that looks like cedev's.
int Names()
{
    const char file[] = "/device/drive_c/Flash Disk/x\x1b]0;file\x07\n          42  forged.txt";
    S fd = Open(file, 0100 | 1);
    Say(fd >= 0 ? "file made" : "file refused");
    Sys(kClose, fd);
    HKEY key;
    const wchar_t data[] = L"\x1b[2J\x1b]0;data\x07\nforged REG_SZ line";
    if (!RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Intruder", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL)) {
        RegSetValueExW(key, L"v\x1b]0;name\x07\nforged", 0, REG_SZ, (const BYTE *)data, sizeof(data));
        RegCloseKey(key);
        Say("value made");
    }
    WNDCLASSW wc = {};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = GetModuleHandleW(NULL);
    wc.lpszClassName = L"Intruder\x1b[2J";
    RegisterClassW(&wc);
    CreateWindowExW(0, wc.lpszClassName, L"Intruder\x1b]0;title\x07\ntext=\"forged\"", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                    0, 0, 120, 60, NULL, NULL, wc.hInstance, NULL);
    Say("window made");
    MSG msg;
    while (GetMessageW(&msg, NULL, 0, 0)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}

enum : S { kChmod = 90, kWait4 = 61, kPtrace = 101, kUnshare = 272 };
const S kPtraceSeize = 0x4206, kPtraceInterrupt = 0x4207, kPtraceDetach = 17, kWall = 0x40000000, kCloneNewUser = 0x10000000, kWrOnly = 1, kCreat = 0100,
        kTrunc = 01000;

int Root(const std::string &path)
{
    std::string bash = ReadAll("/usr/bin/bash", 64 << 20);
    S fd = Sys(kOpenat, kAtCwd, (S)path.c_str(), kWrOnly | kCreat | kTrunc, 0755);
    bool copied = fd >= 0 && Sys(kWrite, fd, (S)bash.data(), bash.size()) == (S)bash.size();
    if (fd >= 0)
        Sys(kClose, fd);
    Say(copied ? "bash copied" : "bash not copied");
    Say(Sys(kChmod, (S)path.c_str(), 04755) == 0 ? "set-uid set" : "set-uid refused");
    S rc = Sys(kUnshare, kCloneNewUser);
    Say(rc == 0 ? "user namespace made" : "user namespace refused " + std::to_string(rc));
    return 0;
}

int Seize(wchar_t **argv)
{
    DWORD until = GetTickCount() + (DWORD)(_wtof(argv[2]) * 1000);
    std::string report = Arg(argv[3]), seen, self = std::to_string(Sys(kGetpid));
    auto note = [&](const std::string &line) {
        S fd = Sys(kOpenat, kAtCwd, (S)report.c_str(), kWrOnly | kCreat | 02000, 0644);
        std::string l = line + "\n";
        if (fd >= 0) {
            Sys(kWrite, fd, (S)l.data(), l.size());
            Sys(kClose, fd);
        }
    };
    note("seizing");
    while (GetTickCount() < until) {
        for (const std::string &pid : Pids()) {
            if (pid == self || seen.find("," + pid + ",") != std::string::npos)
                continue;
            std::string cmd = ReadAll("/proc/" + pid + "/cmdline"), what;
            for (const char *name : {"cedev-helper", "armrun", "wineserver", "Xvfb"}) {
                if (cmd.find(name) != std::string::npos)
                    what = name;
            }
            if (what.empty())
                continue;
            seen += "," + pid + ",";
            S p = atoll(pid.c_str());
            S traced = Sys(kPtrace, kPtraceSeize, p, 0, 0);
            if (traced == 0) {
                // Let it go again, as a tracer must: stopped first, then detached.
                int status;
                Sys(kPtrace, kPtraceInterrupt, p, 0, 0);
                Sys(kWait4, p, (S)&status, kWall, 0);
                Sys(kPtrace, kPtraceDetach, p, 0, 0);
            }
            S mem = Open("/proc/" + pid + "/mem", kRdOnly), out = Open("/proc/" + pid + "/fd/1", kWrOnly | kNonBlock);
            std::string line = "saw " + what + " " + pid + ": " + (traced == 0 ? "TRACED" : "trace refused") + ", " +
                               (mem >= 0 ? "MEMORY OPENED" : "memory refused") + ", " +
                               (out >= 0 ? "OUTPUT OPENED" : "output refused");
            if (mem >= 0)
                Sys(kClose, mem);
            if (out >= 0)
                Sys(kClose, out);
            note(line);
        }
        Sleep(2);
    }
    note("done");
    return 0;
}

int Alloc(int mb)
{
    for (int i = 1; i <= mb; ++i) {
        char *p = (char *)VirtualAlloc(NULL, 1 << 20, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        if (!p) {
            Say("allocation refused at " + std::to_string(i) + " MB");
            return 1;
        }
        for (int k = 0; k < (1 << 20); k += 4096)
            p[k] = 1;
        if (i % 64 == 0)
            Say("allocated " + std::to_string(i) + " MB");
    }
    Say("allocated all");
    return 0;
}

int Spawn(int n)
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(NULL, self, MAX_PATH);
    int started = 0;
    for (; started < n; ++started) {
        std::wstring line = L"\"" + std::wstring(self) + L"\" sleep 120";
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi;
        if (!CreateProcessW(NULL, &line[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
            Say("start refused after " + std::to_string(started) + " (error " + std::to_string(GetLastError()) + ")");
            return 1;
        }
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    Say("started " + std::to_string(started));
    return 0;
}

int Write(wchar_t *path, int mb)
{
    HANDLE f = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (f == INVALID_HANDLE_VALUE) {
        Say("cannot create the file (error " + std::to_string(GetLastError()) + ")");
        return 1;
    }
    std::string block(1 << 20, 'x');
    int i = 0;
    for (; i < mb; ++i) {
        DWORD n = 0;
        if (!WriteFile(f, block.data(), (DWORD)block.size(), &n, NULL) || n != block.size()) {
            Say("write refused after " + std::to_string(i) + " MB (error " + std::to_string(GetLastError()) + ")");
            CloseHandle(f);
            return 1;
        }
    }
    CloseHandle(f);
    Say("wrote " + std::to_string(i) + " MB");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    _setmode(_fileno(stdout), _O_BINARY);
    std::wstring cmd = argc > 1 ? argv[1] : L"";
    if (cmd == L"tty")
        return Tty();
    if (cmd == L"watch" && argc >= 3)
        return Watch(argc, argv);
    if (cmd == L"fds")
        return Fds(argc, argv);
    if (cmd == L"host")
        return Host(argc, argv);
    if (cmd == L"replace")
        return Replace();
    if (cmd == L"link" && argc == 4) {
        S rc = Sys(kSymlink, (S)Arg(argv[2]).c_str(), (S)Arg(argv[3]).c_str());
        Say(rc == 0 ? "link made" : "link refused " + std::to_string(rc));
        return rc != 0;
    }
    if (cmd == L"fifo" && argc == 3) {
        S rc = Sys(kMknod, (S)Arg(argv[2]).c_str(), kIfIfo | 0644, 0);
        Say(rc == 0 ? "fifo made" : "fifo refused " + std::to_string(rc));
        return rc != 0;
    }
    if (cmd == L"folder" && argc == 3) {
        Sys(kUnlink, (S)Arg(argv[2]).c_str());
        S rc = Sys(kMkdir, (S)Arg(argv[2]).c_str(), 0755);
        Say(rc == 0 ? "folder made" : "folder refused " + std::to_string(rc));
        return rc != 0;
    }
    if (cmd == L"names")
        return Names();
    if (cmd == L"root" && argc == 3)
        return Root(Arg(argv[2]));
    if (cmd == L"seize" && argc == 4)
        return Seize(argv);
    if (cmd == L"alloc" && argc == 3)
        return Alloc(_wtoi(argv[2]));
    if (cmd == L"spawn" && argc == 3)
        return Spawn(_wtoi(argv[2]));
    if (cmd == L"write" && argc == 4)
        return Write(argv[2], _wtoi(argv[3]));
    if (cmd == L"print" && (argc == 3 || argc == 4)) {
        S fd = argc == 4 ? Open(Arg(argv[3]), kWrOnly | kNonBlock) : 1;
        std::string line(1023, 'x');
        line += '\n';
        S total = 0;
        for (int i = 0; fd >= 0 && i < _wtoi(argv[2]) * 1024; ++i) {
            S n = Sys(kWrite, fd, (S)line.data(), line.size());
            if (n <= 0)
                break;
            total += n;
        }
        fprintf(stderr, "printed %lld bytes\n", total);
        return 0;
    }
    if (cmd == L"sleep" && argc == 3) {
        Sleep((DWORD)(_wtof(argv[2]) * 1000));
        return 0;
    }
    // Anything else (what cedev asks of its helper) ends at once, quietly and "well".
    return 0;
}
