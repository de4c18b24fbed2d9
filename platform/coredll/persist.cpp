// The handheld's registry persistence. The registry lives in RAM; a flush writes it to
// "\Flash Disk\registry.dat", but only while the save lock allows it. The file is
// replaced in one step, so a failure or a power cut at any point leaves either the old
// file or the new one, never a mix.
#include "coredll.h"
#include "regtext.h"

#define FLASH_DIR   DEVICE_ROOT L"\\Flash Disk"
#define HIVE_FILE   FLASH_DIR L"\\registry.dat"
#define HIVE_TEMP   FLASH_DIR L"\\registry.dat.new"

// Saving is allowed while "EnableSave" under the save-lock key is the DWORD 1.
static bool SaveEnabled(void)
{
    DWORD type, value = 0, size = sizeof(value);
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\ORV\\REGLock", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    LONG rc = RegQueryValueExW(key, L"EnableSave", NULL, &type, (BYTE *)&value, &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(value) && value == 1;
}

// Writes the data beside the target, makes it durable, then moves it over the target.
static DWORD ReplaceFile(const WCHAR *target, const WCHAR *temp, const void *data, DWORD size)
{
    HANDLE file = CreateFileW(temp, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError();
    DWORD written = 0, err = 0;
    if (!WriteFile(file, data, size, &written, NULL))
        err = GetLastError();
    else if (written != size)
        err = ERROR_DISK_FULL;
    else if (!FlushFileBuffers(file))
        err = GetLastError();
    CloseHandle(file);
    if (!err && !MoveFileExW(temp, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        err = GetLastError();
    if (err)
        DeleteFileW(temp);
    return err;
}

// The handheld writes its whole registry whichever key is flushed.
CEAPI LONG WINAPI CeRegFlushKey(HKEY hKey)
{
    (void)hKey;
    if (!SaveEnabled())
        return ERROR_ACCESS_DENIED;
    DWORD attr = GetFileAttributesW(FLASH_DIR);
    if (attr == INVALID_FILE_ATTRIBUTES || !(attr & FILE_ATTRIBUTE_DIRECTORY))
        return ERROR_PATH_NOT_FOUND;

    WideBuffer text;
    DWORD err = BuildRegistryText(&text);
    if (err)
        return err;
    if (text.len > MAXDWORD / sizeof(WCHAR))
        return ERROR_FILE_TOO_LARGE;
    return ReplaceFile(HIVE_FILE, HIVE_TEMP, text.data, (DWORD)(text.len * sizeof(WCHAR)));
}
