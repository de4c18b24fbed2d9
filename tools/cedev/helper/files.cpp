// The device's files, by device path: "\" is the root of its one file system. Listing
// and the program check happen here; removing and writing files happen in cedev-seal,
// which sees links and file types as they are.
#include "helper.h"
#include "../programkind.h"

#include <stdio.h>
#include <vector>

static std::wstring ErrorText(DWORD err)
{
    switch (err) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return L"no such file or folder";
    case ERROR_SHARING_VIOLATION: return L"it is in use";
    case ERROR_ACCESS_DENIED: return L"access denied";
    case ERROR_DIR_NOT_EMPTY: return L"the folder is not empty (use -r)";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return L"the disk is full";
    case ERROR_FILENAME_EXCED_RANGE: return L"the path is too long";
    case ERROR_INVALID_NAME: return L"not a valid name";
    case ERROR_INVALID_PARAMETER: return L"not a file or folder the device can open";
    }
    return L"error " + std::to_wstring(err);
}

// A link to elsewhere, or a mount point: the file system reports both as reparse
// points, and tells them apart no further.
static bool IsLink(DWORD attr)
{
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The first link on the way to a path, the path itself included: nothing here follows
// one, so that no command reaches past the place it names.
static std::wstring LinkOnTheWay(const std::wstring &path)
{
    for (size_t at = path.find(L'\\', 3);; at = path.find(L'\\', at + 1)) {
        std::wstring prefix = path.substr(0, at);
        if (IsLink(GetFileAttributesW(prefix.c_str())))
            return prefix;
        if (at == std::wstring::npos)
            return std::wstring();
    }
}

static std::wstring AsDevicePath(const std::wstring &path)
{
    return path.size() <= 3 ? L"\\" : path.substr(2);
}

static int RefuseLink(const std::wstring &link)
{
    return Fail(AsDevicePath(link) + L" is a link or a mount point; cedev does not follow them");
}

static std::string Entry(const WIN32_FIND_DATAW &fd)
{
    char size[32];
    if (IsLink(fd.dwFileAttributes))
        snprintf(size, sizeof(size), "%12s", "<LINK>");
    else if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        snprintf(size, sizeof(size), "%12s", "<DIR>");
    else
        snprintf(size, sizeof(size), "%12llu", ((unsigned long long)fd.nFileSizeHigh << 32) | fd.nFileSizeLow);
    return std::string(size) + "  " + Printable(fd.cFileName) + "\n";
}

// Calls visit for each entry the pattern matches, "." and ".." left out, until it
// returns nonzero; returns that, or 0. A pattern that matches nothing visits nothing.
template <typename Visit> static DWORD ForEachEntry(const std::wstring &pattern, Visit visit)
{
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(pattern.c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    DWORD result = 0;
    do {
        if (lstrcmpW(fd.cFileName, L".") && lstrcmpW(fd.cFileName, L".."))
            result = visit(fd);
    } while (!result && FindNextFileW(h, &fd));
    FindClose(h);
    return result;
}

int CmdLs(int argc, wchar_t **argv)
{
    if (argc != 1)
        return Usage(L"usage: cedev ls PATH");
    std::wstring path;
    if (!DevicePath(argv[0], &path))
        return BadPath(argv[0]);
    std::wstring link = LinkOnTheWay(path);
    if (!link.empty())
        return RefuseLink(link);
    DWORD attr = GetFileAttributesW(path.c_str());
    if (attr == INVALID_FILE_ATTRIBUTES)
        return Fail(std::wstring(argv[0]) + L": " + ErrorText(GetLastError()));
    std::wstring pattern = attr & FILE_ATTRIBUTE_DIRECTORY ? path + (path.back() == L'\\' ? L"*" : L"\\*") : path;
    std::string out;
    ForEachEntry(pattern, [&](const WIN32_FIND_DATAW &fd) {
        out += Entry(fd);
        return DWORD(0);
    });
    Out(out);
    return kExitOk;
}

// program PATH: whether a device file is a program that can be started (it begins
// with the "MZ" of an executable image), and whose: prints "ce" for the handheld's own
// (an ARM image, machine 0x01c0 or 0x01c2, or any Windows CE one, subsystem 9), which
// the ARM runner runs, and "native" for the rest.
int CmdProgram(int argc, wchar_t **argv)
{
    if (argc != 1)
        return Usage(L"usage: cedev-helper program PATH");
    std::wstring path;
    if (!DevicePath(argv[0], &path))
        return BadPath(argv[0]);
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, 0, NULL);
    if (f == INVALID_HANDLE_VALUE)
        return Fail(L"no such program on the device: " + std::wstring(argv[0]));
    LARGE_INTEGER size = {};
    GetFileSizeEx(f, &size);
    ProgramKind kind = ClassifyProgram(
        [&](uint64_t at, unsigned char *to, size_t n) {
            OVERLAPPED o = {};
            o.Offset = (DWORD)at;
            o.OffsetHigh = (DWORD)(at >> 32);
            DWORD got = 0;
            return ReadFile(f, to, (DWORD)n, &got, &o) ? (size_t)got : (size_t)0;
        },
        (uint64_t)size.QuadPart);
    CloseHandle(f);
    if (kind == ProgramKind::NotProgram)
        return Fail(std::wstring(argv[0]) + L" is not a Windows program");
    if (kind == ProgramKind::CutShort)
        return Fail(std::wstring(argv[0]) + L" is cut short: its sections run past the end of the file");
    Out(kind == ProgramKind::Ce ? "ce\n" : "native\n");
    return kExitOk;
}
