// What the runner knows of the program it runs: see runner.h.
#include "runner.h"

HMODULE g_hostModule;
uint32_t g_guestModule;
const WCHAR *g_commandLine;
