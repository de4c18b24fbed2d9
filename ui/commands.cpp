// The Save and Delete commands. Save lets the handheld's registry persistence write the
// registry to flash; Delete removes what it wrote. Each tells the user the outcome in a
// message box with no owner.
#include "regsave.h"

#define SAVE_LOCK_KEY L"SYSTEM\\ORV\\REGLock"
#define HIVE_FILE     L"\\Flash Disk\\registry.dat"

static BOOL HiveExists(void)
{
    WIN32_FIND_DATAW fd;
    HANDLE hFind = FindFirstFileW(HIVE_FILE, &fd);
    if (hFind == INVALID_HANDLE_VALUE)
        return FALSE;
    FindClose(hFind);
    return TRUE;
}

void SaveRegistry(void)
{
    BOOL bEnabled = FALSE;
    HKEY hKey;
    DWORD dwDisposition;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, SAVE_LOCK_KEY, 0, NULL, 0, KEY_WRITE, NULL, &hKey, &dwDisposition) ==
        ERROR_SUCCESS) {
        DWORD dwEnable = 1;
        bEnabled = RegSetValueExW(hKey, L"EnableSave", 0, REG_DWORD, (const BYTE *)&dwEnable, sizeof(dwEnable)) ==
                   ERROR_SUCCESS;
        RegCloseKey(hKey);
    }

    // The flush runs even when the flag could not be written: the persistence may
    // still be enabled from an earlier save.
    BOOL bFlushed = RegFlushKey(HKEY_LOCAL_MACHINE) == ERROR_SUCCESS;

    // A hive file alone proves nothing: one left by an earlier save is still there
    // after a flush that wrote nothing. Success needs all three.
    if (bEnabled && bFlushed && HiveExists())
        MessageBoxW(NULL, L"Registry Save Complete!", L"Save OK", MB_OK);
    else
        MessageBoxW(NULL, L"Registry Fail! After Reset PDA, Retry again!", L"Save OK", MB_OK);
}

void DeleteRegistry(void)
{
    DeleteFileW(HIVE_FILE);

    // Judged by what is left: a hive that was never there is as gone as one deleted
    // now, and one that could not be deleted is still there.
    if (HiveExists())
        MessageBoxW(NULL, L"Registry Delete Fail! After Reset PDA, Retry again!", L"Delete OK", MB_OK);
    else
        MessageBoxW(NULL, L"Registry Delete Complete!", L"Delete OK", MB_OK);
}
