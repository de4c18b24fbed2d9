// The one header RegSave includes for the operating system: the handheld's core
// library. Both builds compile against mingw-w64's Win32 headers; this file adds what
// only the handheld has and, for the handheld's own build (_WIN32_WCE), replaces what
// the handheld lays out differently from the desktop.
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

// The handheld's WinMain takes its command line as a wide string. The desktop headers
// declare an ANSI WinMain under the same name; that declaration is renamed out of the
// way so the program can declare its own.
#define WinMain DesktopAnsiWinMain
#ifdef _WIN32_WCE
// The handheld's find data has no short name and carries an object id: the desktop's
// structure and the search function that fills it are renamed out of the way and
// declared again below.
#define _WIN32_FIND_DATAW DesktopFindDataW_
#define WIN32_FIND_DATAW DesktopFindDataW
#define PWIN32_FIND_DATAW DesktopPFindDataW
#define LPWIN32_FIND_DATAW DesktopLPFindDataW
#define FindFirstFileW DesktopFindFirstFileW
#endif
#include <windows.h>
#undef WinMain
#ifdef _WIN32_WCE
#undef _WIN32_FIND_DATAW
#undef WIN32_FIND_DATAW
#undef PWIN32_FIND_DATAW
#undef LPWIN32_FIND_DATAW
#undef FindFirstFileW
#endif

// The Windows folder, for SHGetSpecialFolderPath.
#ifndef CSIDL_WINDOWS
#define CSIDL_WINDOWS 0x0024
#endif

// A dialog whose extended style has this bit shows an OK button in its caption; a tap
// on it sends IDOK to the dialog.
#ifndef WS_EX_CAPTIONOKBTN
#define WS_EX_CAPTIONOKBTN 0x80000000L
#endif

#ifdef _WIN32_WCE
// The handheld's core library is linked directly: no import attribute is needed (nor
// known to the ARM compiler), and the calling convention is the ARM procedure call
// standard, which the desktop headers' WINAPI already comes to on ARM.
#define CE_IMPORT extern "C"
#else
#define CE_IMPORT extern "C" __declspec(dllimport)
#endif

// The handheld's core library exports the special-folder query under this one name,
// wide only, and writes at most MAX_PATH units.
CE_IMPORT BOOL WINAPI SHGetSpecialFolderPath(HWND hwndOwner, LPWSTR lpszPath, int nFolder, BOOL fCreate);

#ifdef _WIN32_WCE
typedef struct _WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwOID;
    WCHAR cFileName[MAX_PATH];
} WIN32_FIND_DATAW, *PWIN32_FIND_DATAW, *LPWIN32_FIND_DATAW;

CE_IMPORT HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData);

// Everything the program hands to the core library or gets back from it has the
// handheld's layout: 32-bit pointers and handles, 16-bit wide characters.
static_assert(sizeof(wchar_t) == 2 && sizeof(WCHAR) == 2, "wide characters are 16 bits on the handheld");
static_assert(sizeof(void *) == 4 && sizeof(HANDLE) == 4 && sizeof(LPARAM) == 4, "the handheld is 32-bit");
static_assert(sizeof(MSG) == 28, "MSG: hwnd, message, wParam, lParam, time, pt");
static_assert(sizeof(WNDCLASSW) == 40, "WNDCLASSW: ten 4-byte fields");
static_assert(sizeof(PAINTSTRUCT) == 64, "PAINTSTRUCT: hdc, fErase, rcPaint, 3 flags, 32 reserved bytes");
static_assert(sizeof(DLGTEMPLATE) == 18, "DLGTEMPLATE: packed to 2 bytes, 18 bytes before its arrays");
static_assert(sizeof(RECT) == 16 && sizeof(POINT) == 8, "RECT and POINT of 32-bit coordinates");
static_assert(sizeof(WIN32_FIND_DATAW) == 560, "the handheld's find data: 40 bytes and MAX_PATH units of name");
static_assert(__builtin_offsetof(WIN32_FIND_DATAW, cFileName) == 40, "the name follows the object id");
#endif

#endif  // REGSAVE_PLATFORM_H
