// The device's files, by device path: "\" is the root of its one file system.
#include "helper.h"

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
    }
    return L"error " + std::to_wstring(err);
}

static std::string Entry(const WIN32_FIND_DATAW &fd)
{
    char size[32];
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        snprintf(size, sizeof(size), "%12s", "<DIR>");
    else
        snprintf(size, sizeof(size), "%12llu", ((unsigned long long)fd.nFileSizeHigh << 32) | fd.nFileSizeLow);
    return std::string(size) + "  " + Utf8(fd.cFileName) + "\n";
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
    return EXIT_OK;
}

static DWORD RemoveTree(const std::wstring &path)
{
    DWORD err = ForEachEntry(path + L"\\*", [&](const WIN32_FIND_DATAW &fd) {
        std::wstring child = path + L"\\" + fd.cFileName;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            return RemoveTree(child);
        return DeleteFileW(child.c_str()) ? DWORD(0) : GetLastError();
    });
    return err ? err : RemoveDirectoryW(path.c_str()) ? 0 : GetLastError();
}

int CmdRm(int argc, wchar_t **argv)
{
    bool recursive = argc == 2 && !lstrcmpW(argv[0], L"-r");
    if (argc != 1 && !recursive)
        return Usage(L"usage: cedev rm [-r] PATH");
    const wchar_t *arg = argv[argc - 1];
    std::wstring path;
    if (!DevicePath(arg, &path))
        return BadPath(arg);
    if (path.size() <= 3)
        return Usage(L"refusing to remove the device's root");
    DWORD attr = GetFileAttributesW(path.c_str());
    if (attr == INVALID_FILE_ATTRIBUTES)
        return Fail(std::wstring(arg) + L": " + ErrorText(GetLastError()));
    DWORD err;
    if (attr & FILE_ATTRIBUTE_DIRECTORY)
        err = recursive ? RemoveTree(path) : (RemoveDirectoryW(path.c_str()) ? 0 : GetLastError());
    else
        err = DeleteFileW(path.c_str()) ? 0 : GetLastError();
    if (err)
        return Fail(L"cannot remove " + std::wstring(arg) + L": " + ErrorText(err));
    return EXIT_OK;
}

// put PATH NAME: standard input into the file PATH, or into PATH\NAME when PATH is a
// folder. The file is written beside its place and moved there in one step.
int CmdPut(int argc, wchar_t **argv)
{
    if (argc != 2)
        return Usage(L"usage: cedev put FILE PATH");
    std::wstring path;
    if (!DevicePath(argv[0], &path))
        return BadPath(argv[0]);
    DWORD attr = GetFileAttributesW(path.c_str());
    if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY))
        path += L"\\" + std::wstring(argv[1]);
    std::wstring temp = path + L".cedev-put";
    HANDLE f = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (f == INVALID_HANDLE_VALUE)
        return Fail(L"cannot write " + std::wstring(argv[0]) + L": " + ErrorText(GetLastError()));
    std::vector<char> buf(1 << 16);
    size_t n;
    DWORD err = 0;
    while (!err && (n = fread(buf.data(), 1, buf.size(), stdin)) > 0) {
        DWORD written;
        if (!WriteFile(f, buf.data(), (DWORD)n, &written, NULL))
            err = GetLastError();
        else if (written != n)
            err = ERROR_DISK_FULL;
    }
    CloseHandle(f);
    if (!err && !MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))
        err = GetLastError();
    if (err) {
        DeleteFileW(temp.c_str());
        return Fail(L"cannot write " + std::wstring(argv[0]) + L": " + ErrorText(err));
    }
    return EXIT_OK;
}
