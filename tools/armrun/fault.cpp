// Ending the runner on a fault: see fault.h.
#include "fault.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>

namespace {

[[noreturn]] void Exit(int code, const char *fmt, va_list ap)
{
    fputs("armrun: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    fflush(stderr);
    ExitProcess(code);
}

}  // namespace

void LoadFailed(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    Exit(kExitLoadFailed, fmt, ap);
}

void Fault(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    Exit(kExitFault, fmt, ap);
}
