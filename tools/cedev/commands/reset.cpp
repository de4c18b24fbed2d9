// reset: a cold boot. The device's programs end, and with no Wine process running
// cedev-coldboot writes its registry files: the saved registry ("\Flash Disk\registry.dat")
// when it reads back cleanly, else the factory registry. A damaged saved registry is
// reported (exit code 3) and kept.
#include "commands.h"

#include <sys/file.h>

int CmdReset(Context &ctx, Args &args)
{
    if (!args.Empty())
        UsageError("usage: cedev reset");
    ctx.device.Need();
    FileLock lock;
    LockDevice(ctx.device, &lock, LOCK_EX);
    EndSession(ctx, false, true);
    return RunHive(ctx, {"boot", "/factory", "/device", "/device/drive_c/Flash Disk/registry.dat",
                         "\\Flash Disk\\registry.dat", ctx.device.Dir()},
                   true, true);
}
