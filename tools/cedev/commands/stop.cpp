// stop: ends every process of the device. Wine's server first writes the registry back,
// as a handheld that is switched off keeps its RAM registry.
#include "commands.h"

#include <sys/file.h>

int CmdStop(Context &ctx, Args &args)
{
    if (!args.Empty())
        UsageError("usage: cedev stop");
    ctx.device.Need();
    FileLock lock;
    LockDevice(ctx.device, &lock, LOCK_EX);
    EndSession(ctx, true, false);
    return kExitOk;
}
