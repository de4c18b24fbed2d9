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

// Takes the next LEN units of a text written through a WideBuffer; returns 0 or a
// Win32 error code.
typedef DWORD (*TextDrain)(void *context, const WCHAR *text, size_t len);

// A growable UTF-16 buffer on the process heap. After a failure it stays failed and
// ignores further appends; error says why (ERROR_NOT_ENOUGH_MEMORY, or the drain's).
//
// With a drain, the buffer is a window on a text too large to hold: once it is as
// large as it was reserved, what it holds goes to the drain before more is added, and
// Finish hands over the rest. The text is then never whole in memory.
struct WideBuffer {
    WCHAR *data = nullptr;
    size_t len = 0;
    size_t cap = 0;
    bool failed = false;
    DWORD error = 0;
    TextDrain drain = nullptr;
    void *drainContext = nullptr;

    WideBuffer() = default;
    WideBuffer(const WideBuffer &) = delete;
    WideBuffer &operator=(const WideBuffer &) = delete;
    ~WideBuffer();
    // Exchanges contents with another buffer.
    void Swap(WideBuffer *other);
    // Room for EXTRA more units at data + len.
    bool Reserve(size_t extra);
    void Append(const WCHAR *s, size_t n);
    void Append(const WCHAR *s);
    void Append(WCHAR c)
    {
        if (len < cap || Reserve(1))
            data[len++] = c;
    }
    // Hands what the buffer holds to the drain; returns 0 or the first error.
    DWORD Finish();
    bool Fail(DWORD err);
};

// Fills BUFFER with up to SIZE more bytes of a dump; *GOT is 0 at its end. Returns
// false when it cannot be read.
typedef bool (*DumpRead)(void *context, char *buffer, size_t size, size_t *got);

// Converts one root's dump in Wine's registry format (as NtSaveKey writes it) into
// regedit syntax, each key prefixed with rootName. Symbolic-link keys are left out:
// they are re-created by the device itself. Returns false on input it cannot read, and
// for a name that no registry file could bring back exactly: a key name holding a line
// break or a NUL, a value name holding a NUL.
bool ConvertWineDump(const char *dump, size_t size, const WCHAR *rootName, WideBuffer *out);
// The same, the dump read piece by piece from READ; SIZEHINT is its size, if known.
bool ConvertWineDumpFrom(DumpRead read, void *context, size_t sizeHint, const WCHAR *rootName, WideBuffer *out);

// The text is made by a worker thread, which takes a while to start. A caller whose
// OUT passes the text on prepares it meanwhile: PREPARE runs before any of the text is
// made (it may give OUT its drain), and returns 0 or a Win32 error code.
struct TextTarget {
    DWORD (*prepare)(void *context, WideBuffer *out);
    void *context;
};

// HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER as one registry file, byte-order mark
// first and REGTEXT_END_MARK last, into OUT (what is left in it has not been drained).
// Returns 0 or a Win32 error code.
DWORD BuildRegistryText(WideBuffer *out, const TextTarget *target = nullptr);

#endif
