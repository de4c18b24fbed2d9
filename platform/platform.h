// The one header RegSave includes for the operating system: the handheld's core
// library. On the handheld the SDK's own headers provide all of this; on the desktop
// build the Win32 headers do, and this file adds what only the handheld has.
#ifndef REGSAVE_PLATFORM_H
#define REGSAVE_PLATFORM_H

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef _WIN32_WCE
// The handheld's WinMain takes its command line as a wide string. The desktop headers
// declare an ANSI WinMain under the same name; that declaration is renamed out of the
// way so the program can declare its own.
#define WinMain DesktopAnsiWinMain
#include <windows.h>
#undef WinMain
#else
#include <windows.h>
#endif

#ifndef _WIN32_WCE

// The Windows folder, for SHGetSpecialFolderPath.
#ifndef CSIDL_WINDOWS
#define CSIDL_WINDOWS 0x0024
#endif

// A dialog whose extended style has this bit shows an OK button in its caption; a tap
// on it sends IDOK to the dialog.
#ifndef WS_EX_CAPTIONOKBTN
#define WS_EX_CAPTIONOKBTN 0x80000000L
#endif

// The handheld's core library exports the special-folder query under this one name,
// wide only, and writes at most MAX_PATH units.
extern "C" __declspec(dllimport) BOOL WINAPI SHGetSpecialFolderPath(HWND hwndOwner, LPWSTR lpszPath,
                                                                    int nFolder, BOOL fCreate);

#endif  // !_WIN32_WCE

#endif  // REGSAVE_PLATFORM_H
