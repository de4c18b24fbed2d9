// cedev-install.exe: the simulated handheld's installer. It installs a Windows CE
// install cabinet the way the handheld's own installer does, and removes what it
// installed. It runs inside the device, from cedev's read-only tools.
#ifndef CEDEV_INSTALLER_H
#define CEDEV_INSTALLER_H

#ifndef UNICODE
#define UNICODE
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "../winutf8.h"

#include "../exitcodes.h"

#include <string>
#include <vector>

// The handheld the device stands for: an ARM processor (as SYSTEM_INFO gives it) running
// Windows CE 5.0.
const DWORD kDeviceProcessor = 2577, kDeviceMajor = 5, kDeviceMinor = 0, kDeviceBuild = 1400;

// Where the device records installed packages, each under "PROVIDER APPNAME".
const wchar_t kAppsKey[] = L"Software\\Apps";

// main.cpp
void Out(const std::wstring &line);
int Fail(const std::wstring &message);
std::wstring ErrorText(DWORD err);

// device.cpp: device paths ("\Program Files\RegSave", below the device's root) and
// registry paths ("HKLM\Software\Apps").
//
// A device path with no empty, "." or ".." name and no control character, of at most
// 240 characters.
bool IsDevicePath(const std::wstring &path);
// The path the device's programs open for it ("C:\Program Files\RegSave").
std::wstring HostPath(const std::wstring &devicePath);
// A registry path's root and the key below it; false for a path that is not one.
bool SplitKey(const std::wstring &path, HKEY *root, std::wstring *sub);
// "HKLM\KEY\\NAME": a value, the key's path and the value's name joined by two
// backslashes, which no key path holds.
std::wstring ValuePath(const std::wstring &key, const std::wstring &name);
bool SplitValue(const std::wstring &path, std::wstring *key, std::wstring *name);

// What an install changed, in the order it changed it: what removing the package, or
// undoing an install that failed midway, takes back.
struct Journal {
    std::vector<std::wstring> files;    // device paths of files made
    std::vector<std::wstring> folders;  // device paths of folders made, parents first
    std::vector<std::wstring> keys;     // registry keys made, parents first
    std::vector<std::wstring> values;   // registry values made
    struct Replaced {
        std::wstring value;
        DWORD type;
        std::vector<BYTE> data;
    };
    std::vector<Replaced> replaced;     // registry values that were there, as they were
    bool Has(const std::wstring &value) const;
};

// journal.cpp: the package's record under HKLM\Software\Apps, which holds the journal.
//
// Writes the record of package NAME, making HKLM\Software\Apps first if need be (the
// journal then holds it); false with the reason.
bool WriteRecord(const std::wstring &name, const std::wstring &installDir, const std::wstring &cab,
                 Journal *journal, std::wstring *why);
// Reads and checks the record; false with the reason. *exists tells a missing record.
bool ReadRecord(const std::wstring &name, Journal *journal, bool *exists, std::wstring *why);
// Takes back what the journal says was done: files, folders, registry values and keys.
// A folder or key that now holds what the package did not put there is kept and named
// in *kept. With careful, files are first moved aside, so that a file that cannot be
// removed leaves every file in place; false with the reason.
bool TakeBack(const Journal &journal, bool careful, std::vector<std::wstring> *kept, std::wstring *why);
// Deletes the record's key; true when it is gone.
bool DeleteRecord(const std::wstring &name);

// install.cpp, uninstall in journal.cpp
int Install(const std::wstring &cab);
int Uninstall(const std::wstring &name);

#endif
