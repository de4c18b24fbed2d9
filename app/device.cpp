// The start-up gate: RegSave writes registry values and deletes a file that only make
// sense on one handheld model, which it recognises by three of its driver libraries in
// the Windows folder and by its keypad control-panel key.
#include "regsave.h"

// Both buffers count their terminator.
#define WINDOWS_FOLDER_UNITS 30
#define DRIVER_PATH_UNITS    50

#define KEYPAD_KEY L"ControlPanel\\QM410Key"

// Tested in this order; the first one missing ends the check.
static const WCHAR s_szKeypadDriver[] = L"%s\\QM410Key.dll";
static const WCHAR s_szKeyRelayDriver[] = L"%s\\KeyRelay.dll";
static const WCHAR s_szPadRelayDriver[] = L"%s\\PadRelay.dll";
static const WCHAR *const s_driverFormats[] = {s_szKeypadDriver, s_szKeyRelayDriver, s_szPadRelayDriver};

// wsprintfW has no bound: the longest folder the check accepts, with any of the
// formats, must fit the path buffer. A format adds its own units less the two of "%s".
#define FITS_DRIVER_PATH(fmt) \
    ((WINDOWS_FOLDER_UNITS - 1) + (sizeof(fmt) / sizeof(WCHAR) - 1 - 2) + 1 <= DRIVER_PATH_UNITS)
static_assert(FITS_DRIVER_PATH(s_szKeypadDriver), "a driver path may not fit its buffer");
static_assert(FITS_DRIVER_PATH(s_szKeyRelayDriver), "a driver path may not fit its buffer");
static_assert(FITS_DRIVER_PATH(s_szPadRelayDriver), "a driver path may not fit its buffer");

// Fills szFolder (WINDOWS_FOLDER_UNITS units) with the Windows folder. The query has no
// size argument and may write up to MAX_PATH units, so it writes into a buffer of that
// size and only a path that fits with its terminator is kept. A failed query leaves the
// folder empty, which makes the libraries be looked for in the root folder. Returns
// FALSE when the path is too long to keep.
static BOOL GetWindowsFolder(LPWSTR szFolder)
{
    WCHAR szQueried[MAX_PATH];
    memset(szQueried, 0, sizeof(szQueried));
    SHGetSpecialFolderPath(NULL, szQueried, CSIDL_WINDOWS, FALSE);

    for (int i = 0; i < WINDOWS_FOLDER_UNITS; ++i) {
        if (szQueried[i] == 0) {
            memcpy(szFolder, szQueried, (i + 1) * sizeof(WCHAR));
            return TRUE;
        }
    }
    return FALSE;
}

int CheckTargetDevice(void)
{
    WCHAR szFolder[WINDOWS_FOLDER_UNITS];
    WCHAR szPath[DRIVER_PATH_UNITS];
    WIN32_FIND_DATAW fd;
    memset(szFolder, 0, sizeof(szFolder));
    memset(szPath, 0, sizeof(szPath));
    memset(&fd, 0, sizeof(fd));

    if (!GetWindowsFolder(szFolder))
        return 0;

    // Any directory entry counts, a folder with a library's name included.
    for (unsigned i = 0; i < sizeof(s_driverFormats) / sizeof(s_driverFormats[0]); ++i) {
        wsprintfW(szPath, s_driverFormats[i], szFolder);
        HANDLE hFind = FindFirstFileW(szPath, &fd);
        if (hFind == INVALID_HANDLE_VALUE)
            return 0;
        FindClose(hFind);
    }

    // The key only has to exist; its values play no part.
    HKEY hKey;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, KEYPAD_KEY, 0, 0, &hKey) != ERROR_SUCCESS)
        return 0;
    RegCloseKey(hKey);
    return 1;
}
