// Registry: the handheld ignores the access mask of opens and creates, so any key
// that opens can be written.
#include "coredll.h"

CEAPI LONG WINAPI CeRegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult)
{
    (void)samDesired;
    return RegOpenKeyExW(hKey, lpSubKey, ulOptions, KEY_ALL_ACCESS, phkResult);
}

CEAPI LONG WINAPI CeRegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                                    REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                                    LPDWORD lpdwDisposition)
{
    (void)samDesired;
    return RegCreateKeyExW(hKey, lpSubKey, Reserved, lpClass, dwOptions, KEY_ALL_ACCESS, lpSecurityAttributes,
                           phkResult, lpdwDisposition);
}
