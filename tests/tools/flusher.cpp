// Test tool: flushes the device's registry over and over until it is killed, so that a
// test can kill it at random points during a flush. "flusher grow N" first adds N
// values of 1 KB, to make each flush long.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

static void SetDword(HKEY root, const wchar_t *key, const wchar_t *name, DWORD v)
{
    HKEY h;
    if (RegCreateKeyExW(root, key, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &h, NULL) == ERROR_SUCCESS) {
        RegSetValueExW(h, name, 0, REG_DWORD, (const BYTE *)&v, sizeof(v));
        RegCloseKey(h);
    }
}

int wmain(int argc, wchar_t **argv)
{
    if (argc == 3 && !lstrcmpW(argv[1], L"grow")) {
        HKEY h;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\FlushTest\\Bulk", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &h,
                            NULL))
            return 1;
        BYTE data[1024];
        for (int i = 0; i < (int)sizeof(data); ++i)
            data[i] = (BYTE)(i * 7);
        int n = _wtoi(argv[2]);
        for (int i = 0; i < n; ++i) {
            wchar_t name[32];
            swprintf(name, 32, L"Value%06d", i);
            RegSetValueExW(h, name, 0, REG_BINARY, data, sizeof(data));
        }
        RegCloseKey(h);
        return 0;
    }
    SetDword(HKEY_LOCAL_MACHINE, L"SYSTEM\\ORV\\REGLock", L"EnableSave", 1);
    for (DWORD count = 1;; ++count) {
        SetDword(HKEY_LOCAL_MACHINE, L"Software\\FlushTest", L"Counter", count);
        LONG rc = RegFlushKey(HKEY_LOCAL_MACHINE);
        if (rc) {
            fprintf(stderr, "flush %lu failed: %ld\n", (unsigned long)count, rc);
            return 2;
        }
    }
}
