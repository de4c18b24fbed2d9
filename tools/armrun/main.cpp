// armrun PROGRAM.exe [ARGUMENTS]: runs an ARM Windows CE program on this device.
// armrun --list: the COREDLL.dll functions it answers.
//
// Exit codes: the program's own, or the runner's (fault.h): when the image cannot be
// loaded, when the program faulted (an instruction the CPU lacks, a misaligned access,
// memory it was not given, a jump to nowhere), for a wrong command line.
#include "runner.h"

#include <cstdio>
#include <cstring>

namespace {

// Skips one word of a command line, quoted or not, and the blanks after it.
const WCHAR *SkipWord(const WCHAR *p)
{
    if (*p == '"') {
        for (++p; *p && *p != '"'; ++p) {
        }
        if (*p == '"')
            ++p;
    } else {
        while (*p && *p != ' ' && *p != '\t')
            ++p;
    }
    while (*p == ' ' || *p == '\t')
        ++p;
    return p;
}

// The program's path as the runner's command line gives it, without quotes.
std::vector<WCHAR> ProgramPath(const WCHAR *line)
{
    const WCHAR *start = SkipWord(line), *end = SkipWord(start);
    while (end > start && (end[-1] == ' ' || end[-1] == '\t'))
        --end;
    std::vector<WCHAR> path;
    for (const WCHAR *p = start; p < end; ++p) {
        if (*p != '"')
            path.push_back(*p);
    }
    path.push_back(0);
    return path;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && !strcmp(argv[1], "--list")) {
        ListImports();
        return 0;
    }
    if (argc < 2 || argv[1][0] == '-') {
        fprintf(stderr, "usage: armrun PROGRAM.exe [ARGUMENTS]\n       armrun --list\n");
        return kExitUsage;
    }
    const WCHAR *line = GetCommandLineW();
    std::vector<WCHAR> path = ProgramPath(line);
    g_commandLine = SkipWord(SkipWord(line));

    cpu::Init({CallImport, ImportName});
    LoadedImage image = LoadProgram(path.data(), argv[1]);
    g_guestModule = image.base;
    // The program's resources, for the functions that find them by its module.
    g_hostModule = LoadLibraryExW(path.data(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!g_hostModule)
        LoadFailed("%s: its resources cannot be read (error %lu)", argv[1], (unsigned long)GetLastError());

    const uint32_t kStackSize = 1 << 20;
    uint32_t stack = cpu::Allocate(0, kStackSize);
    if (!stack)
        LoadFailed("no memory below 2 GB for the program's stack");
    cpu::Map(stack, kStackSize, 3 /* read, write */, "the stack");
    cpu::Set(cpu::SP, stack + kStackSize);

    // The show state the desktop's start-up would give the program.
    STARTUPINFOW si;
    si.cb = sizeof(si);
    GetStartupInfoW(&si);
    uint32_t show = (si.dwFlags & STARTF_USESHOWWINDOW) ? si.wShowWindow : SW_SHOWDEFAULT;

    // The handheld's loader calls the entry point with WinMain's arguments and ends
    // the process with what it returns.
    uint32_t cmdLine = cpu::GuestAlloc(uint32_t(2 * (lstrlenW(g_commandLine) + 1)));
    memcpy(reinterpret_cast<void *>(uintptr_t(cmdLine)), g_commandLine, 2 * (lstrlenW(g_commandLine) + 1));
    uint32_t args[4] = {image.base, 0, cmdLine, show};
    ExitProcess(cpu::Call(image.entry, args, 4));
}
