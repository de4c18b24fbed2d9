// Process start-up on the handheld. Its loader calls an EXE's entry point with
// WinMain's own four arguments (the instance, no previous instance, the command line
// after the program's name, the show state) and ends the process with the value the
// entry point returns, so there is nothing to gather and nothing to end here.
#include "platform.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nShowCmd);

extern "C" int WinMainCRTStartup(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nShowCmd)
{
    return WinMain(hInstance, hPrevInstance, lpCmdLine, nShowCmd);
}

// The compiler calls these for block copies and clears (structure initialisers, large
// assignments). They take their arguments in the ARM run-time ABI's order and come to
// the core library's memcpy and memset.
extern "C" void *memcpy(void *dest, const void *src, size_t n);
extern "C" void *memset(void *dest, int c, size_t n);

#define AEABI_COPY(name) \
    extern "C" void name(void *dest, const void *src, size_t n) { memcpy(dest, src, n); }
#define AEABI_CLEAR(name) \
    extern "C" void name(void *dest, size_t n) { memset(dest, 0, n); }
#define AEABI_SET(name) \
    extern "C" void name(void *dest, size_t n, int c) { memset(dest, c, n); }

AEABI_COPY(__aeabi_memcpy)
AEABI_COPY(__aeabi_memcpy4)
AEABI_COPY(__aeabi_memcpy8)
AEABI_CLEAR(__aeabi_memclr)
AEABI_CLEAR(__aeabi_memclr4)
AEABI_CLEAR(__aeabi_memclr8)
AEABI_SET(__aeabi_memset)
AEABI_SET(__aeabi_memset4)
AEABI_SET(__aeabi_memset8)
