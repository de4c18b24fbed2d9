// cedev-install.exe install CABINET | uninstall NAME
//
// install: installs the install cabinet at the device path CABINET (such as
// "\Flash Disk\RegSave.cab") and deletes it, as the handheld's installer does;
// everything it would do is checked first, and a write that fails midway is undone.
// uninstall: removes the package NAME ("PROVIDER APPNAME") and its record, leaving the
// device's files and registry as they were before the install.
#include "installer.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

void Out(const std::wstring &line)
{
    std::string text = Utf8(line) + "\n";
    fwrite(text.data(), 1, text.size(), stdout);
}

int Fail(const std::wstring &message)
{
    std::string line = "cedev: " + Utf8(message) + "\n";
    fflush(stdout);
    fwrite(line.data(), 1, line.size(), stderr);
    return kExitFail;
}

std::wstring ErrorText(DWORD err)
{
    switch (err) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return L"no such file or folder";
    case ERROR_SHARING_VIOLATION: return L"it is in use";
    case ERROR_ACCESS_DENIED: return L"access denied";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return L"the disk is full";
    case ERROR_FILENAME_EXCED_RANGE: return L"the path is too long";
    case ERROR_INVALID_NAME: return L"not a valid name";
    }
    return L"error " + std::to_wstring(err);
}

static int Usage()
{
    fputs("usage: cedev-install.exe install CABINET\n"
          "       cedev-install.exe uninstall NAME\n",
          stderr);
    return kExitUsage;
}

int wmain(int argc, wchar_t **argv)
{
    // Lines end with \n alone, as cedev reads them.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    if (argc != 3)
        return Usage();
    std::wstring mode = argv[1];
    if (mode == L"install")
        return Install(argv[2]);
    if (mode == L"uninstall")
        return Uninstall(argv[2]);
    return Usage();
}
