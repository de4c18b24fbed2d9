// Internals of the replacement core library.
#ifndef COREDLL_COREDLL_H
#define COREDLL_COREDLL_H

#ifndef UNICODE
#define UNICODE
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#define CEAPI extern "C" __declspec(dllexport)

// The device's root ("\") is drive C: of the device.
#define DEVICE_ROOT L"C:"

// Resolves a handheld path for the desktop file functions: a path that starts with a
// single backslash names the device's root, never the current drive. Other paths pass
// through unchanged. Returns the path to use (out or path), or NULL with the last
// error set when the resolved path would not fit in cchOut units.
LPCWSTR ResolveDevicePath(LPCWSTR path, LPWSTR out, size_t cchOut);

// The handheld's modal dialog (dialog.cpp), for the dialogs the library shows itself.
CEAPI INT_PTR WINAPI CeDialogBoxIndirectParamW(HINSTANCE hInstance, LPCDLGTEMPLATEW lpTemplate, HWND hWndParent,
                                               DLGPROC lpDialogFunc, LPARAM dwInitParam);

#endif
