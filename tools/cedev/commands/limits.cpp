// limits [--memory SIZE] [--processes N] [--file-size SIZE] [--disk SIZE] [--files N]
// [--log-size SIZE] [--shared-memory SIZE]: shows the device's limits, or sets them;
// they take effect when the device next starts.
#include "commands.h"
#include "../devlimits.h"

#include <cstdio>
#include <sys/file.h>

bool ParseLimitOption(const std::string &option, Args &args, Limits *limits);

int CmdLimits(Context &ctx, Args &args)
{
    ctx.device.Need();
    Limits limits = ctx.device.ReadLimits();
    bool set = !args.Empty();
    while (!args.Empty()) {
        std::string o = args.Next();
        if (!ParseLimitOption(o, args, &limits))
            UsageError("limits: unknown option '" + o + "'");
    }
    if (set) {
        FileLock lock;
        LockDevice(ctx.device, &lock, LOCK_EX);
        ctx.device.WriteLimits(limits);
    }
    printf("memory         %s\nprocesses      %llu\none file       %s\ndisk           %s in %llu files\n"
           "log            %s\nshared memory  %s\n",
           SizeText(limits.memory).c_str(), static_cast<unsigned long long>(limits.processes),
           SizeText(limits.fileSize).c_str(), SizeText(limits.disk).c_str(),
           static_cast<unsigned long long>(limits.files), SizeText(limits.log).c_str(), SizeText(limits.tmp).c_str());
    if (set)
        printf("(they take effect when the device next starts: 'cedev stop' first if it runs)\n");
    return kExitOk;
}
