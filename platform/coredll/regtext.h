// The registry as a registry file in regedit's own syntax ("Windows Registry Editor
// Version 5.00", UTF-16LE with a byte-order mark): what the handheld's persistence
// writes to flash, and what the device tool exports.
#ifndef COREDLL_REGTEXT_H
#define COREDLL_REGTEXT_H

#ifndef UNICODE
#define UNICODE
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// The last line of a complete registry file. A file that lacks it was cut short.
#define REGTEXT_END_MARK L"; End of registry"

// A growable UTF-16 buffer on the process heap. After an allocation failure it stays
// failed and ignores further appends.
struct WideBuffer {
    WCHAR *data = nullptr;
    size_t len = 0;
    size_t cap = 0;
    bool failed = false;

    ~WideBuffer();
    bool Reserve(size_t extra);
    void Append(const WCHAR *s, size_t n);
    void Append(const WCHAR *s);
    void Append(WCHAR c)
    {
        if (len < cap || Reserve(1))
            data[len++] = c;
    }
};

// Converts one root's dump in Wine's registry format (as NtSaveKey writes it) into
// regedit syntax, each key prefixed with rootName. Symbolic-link keys are left out:
// they are re-created by the device itself. Returns false on input it cannot read, and
// for a name that no registry file could bring back exactly: a key name holding a line
// break or a NUL, a value name holding a NUL.
bool ConvertWineDump(const char *dump, size_t size, const WCHAR *rootName, WideBuffer *out);

// HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER as one registry file, byte-order mark
// first and REGTEXT_END_MARK last. Returns 0 or a Win32 error code.
DWORD BuildRegistryText(WideBuffer *out);

#endif
