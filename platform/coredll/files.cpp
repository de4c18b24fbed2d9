// Files: the handheld has one file system whose root is "\"; there are no drives and
// no current directory.
#include "coredll.h"

LPCWSTR ResolveDevicePath(LPCWSTR path, LPWSTR out, size_t cchOut)
{
    if (!path || path[0] != L'\\' || path[1] == L'\\')
        return path;
    size_t len = lstrlenW(path);
    const size_t cchRoot = sizeof(DEVICE_ROOT) / sizeof(WCHAR) - 1;
    if (cchRoot + len + 1 > cchOut) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return NULL;
    }
    memcpy(out, DEVICE_ROOT, cchRoot * sizeof(WCHAR));
    memcpy(out + cchRoot, path, (len + 1) * sizeof(WCHAR));
    return out;
}

CEAPI HANDLE WINAPI CeFindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData)
{
    WCHAR buf[MAX_PATH + 2];
    LPCWSTR path = ResolveDevicePath(lpFileName, buf, sizeof(buf) / sizeof(buf[0]));
    if (!path)
        return INVALID_HANDLE_VALUE;
    return FindFirstFileW(path, lpFindFileData);
}

CEAPI BOOL WINAPI CeDeleteFileW(LPCWSTR lpFileName)
{
    WCHAR buf[MAX_PATH + 2];
    LPCWSTR path = ResolveDevicePath(lpFileName, buf, sizeof(buf) / sizeof(buf[0]));
    return path && DeleteFileW(path);
}

// The handheld knows its Windows folder as "\Windows"; it is the only folder that
// its programs ask for here.
CEAPI BOOL WINAPI CeSHGetSpecialFolderPath(HWND hwndOwner, LPWSTR lpszPath, int nFolder, BOOL fCreate)
{
    (void)hwndOwner;
    (void)fCreate;
    if (nFolder != 0x0024 /* CSIDL_WINDOWS */ || !lpszPath) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    lstrcpyW(lpszPath, L"\\Windows");
    return TRUE;
}
