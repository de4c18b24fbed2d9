// cedev-helper.exe: command dispatch and the small utilities the commands share.
#include "helper.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

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

void Out(const std::string &s)
{
    fwrite(s.data(), 1, s.size(), stdout);
}

int Fail(const std::wstring &message)
{
    std::string line = "cedev: " + Utf8(message) + "\n";
    fflush(stdout);
    fwrite(line.data(), 1, line.size(), stderr);
    return EXIT_FAIL;
}

int Usage(const std::wstring &message)
{
    Fail(message);
    return EXIT_USAGE;
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

// "\Flash Disk\x" names C:\Flash Disk\x inside the device.
bool DevicePath(const wchar_t *arg, std::wstring *host)
{
    if (arg[0] != L'\\' || arg[1] == L'\\')
        return false;
    *host = L"C:" + std::wstring(arg);
    while (host->size() > 3 && host->back() == L'\\')
        host->pop_back();
    return true;
}

int BadPath(const wchar_t *arg)
{
    return Usage(L"'" + std::wstring(arg) + L"' is not a device path; they start with \\ (e.g. \\Flash Disk\\registry.dat)");
}

static const struct {
    const wchar_t *name;
    int (*run)(int, wchar_t **);
} s_commands[] = {
    {L"windows", CmdWindows}, {L"box", CmdBox}, {L"screenshot", CmdScreenshot}, {L"wait", CmdWait},
    {L"tap", CmdTap},         {L"pen", CmdPen}, {L"key", CmdKey},     {L"reg", CmdReg},
    {L"ls", CmdLs},           {L"rm", CmdRm},   {L"put", CmdPut},
};

int wmain(int argc, wchar_t **argv)
{
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stdin), _O_BINARY);
    if (argc < 2)
        return Usage(L"no command given");
    for (const auto &c : s_commands) {
        if (!lstrcmpW(argv[1], c.name)) {
            int rc = c.run(argc - 2, argv + 2);
            fflush(stdout);
            return rc;
        }
    }
    return Usage(L"unknown command '" + std::wstring(argv[1]) + L"'");
}
