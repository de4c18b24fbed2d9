// A handheld program for make bench: calls one cheap core-library function (the
// stock white brush) as many times as its command line says, so that the ARM runner's
// cost per COREDLL call is the difference between two such runs. Ends with exit code
// 0, or 1 when a call gave another answer than the first.
#include "platform.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPWSTR lpCmdLine, int)
{
    // The count, as decimal digits; anything after them is ignored.
    unsigned count = 0;
    for (const WCHAR *p = lpCmdLine; *p >= L'0' && *p <= L'9'; ++p)
        count = count * 10 + (unsigned)(*p - L'0');
    HGDIOBJ first = GetStockObject(WHITE_BRUSH);
    for (unsigned i = 0; i < count; ++i) {
        if (GetStockObject(WHITE_BRUSH) != first)
            return 1;
    }
    return 0;
}
