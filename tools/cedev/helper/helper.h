// cedev-helper.exe: the part of the device tool that runs inside the device, where it
// sees the device's windows, registry and files as its programs do.
#ifndef CEDEV_HELPER_H
#define CEDEV_HELPER_H

#ifndef UNICODE
#define UNICODE
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "../winutf8.h"

#include "../exitcodes.h"

#include <string>

// output.cpp
// Prints "cedev: MESSAGE" on stderr and returns kExitFail (Usage: kExitUsage).
int Fail(const std::wstring &message);
int Usage(const std::wstring &message);
void Out(const std::string &s);
void OutBytes(const void *data, size_t size);
// Sends what the commands print and say to OUT and ERR rather than to stdout and
// stderr; NULL for both sends it back.
void CaptureOutput(std::string *out, std::string *err);
// A name or text for plain output: UTF-8, its control characters as escapes.
std::string Printable(const std::wstring &s);
// JSON output: one object per line. Strings are escaped to plain ASCII, everything
// outside printable ASCII as \u escapes of its UTF-16 units, so that even a string
// Windows accepts and UTF-8 cannot carry (a lone surrogate) reads back exactly.
std::string JsonString(const std::wstring &s);
class JsonObject
{
public:
    JsonObject &Str(const char *key, const std::wstring &value) { return Raw(key, JsonString(value)); }
    JsonObject &Num(const char *key, long long value) { return Raw(key, std::to_string(value)); }
    JsonObject &Bool(const char *key, bool value) { return Raw(key, value ? "true" : "false"); }
    JsonObject &Raw(const char *key, const std::string &json);
    std::string Line() const { return "{" + m_fields + "}\n"; }

private:
    std::string m_fields;
};

// args.cpp
// Removes FLAG from the arguments wherever it stands; true when it was there.
bool TakeFlag(int *argc, wchar_t **argv, const wchar_t *flag);
// Parses "X,Y".
bool ParsePoint(const std::wstring &s, POINT *pt);
// Parses a decimal number of milliseconds or seconds ("2.5").
bool ParseSeconds(const std::wstring &s, DWORD *ms);
// A device path ("\\Flash Disk\\x", the device's root is "\\") as the helper opens it
// inside the device; false for anything else.
bool DevicePath(const wchar_t *arg, std::wstring *host);
// The usage error for an argument that is not a device path.
int BadPath(const wchar_t *arg);

// screen.cpp
std::wstring WindowText(HWND hWnd);
// The visible control (or caption button) showing TEXT, topmost first; its centre in
// screen coordinates.
bool FindControl(const std::wstring &text, POINT *centre, std::wstring *what);
// The message box on screen, if any.
HWND FindMessageBox();
int CmdWindows(int argc, wchar_t **argv);
int CmdBox(int argc, wchar_t **argv);
int CmdScreenshot(int argc, wchar_t **argv);
int CmdWait(int argc, wchar_t **argv);
int CmdXWindow(int argc, wchar_t **argv);

// regkey.cpp
// Splits "HKLM\\Sub\\Key" into its root and subkey; rootName gets the root's full name.
bool ParseKey(const std::wstring &path, HKEY *root, std::wstring *sub, std::wstring *rootName);

// reg.cpp: query, set, delete, and export (export.cpp)
int CmdReg(int argc, wchar_t **argv);

// export.cpp
int CmdExport(int argc, wchar_t **argv);

// files.cpp
int CmdLs(int argc, wchar_t **argv);
int CmdProgram(int argc, wchar_t **argv);

// input.cpp
int CmdTap(int argc, wchar_t **argv);
int CmdPen(int argc, wchar_t **argv);
int CmdKey(int argc, wchar_t **argv);

#endif
