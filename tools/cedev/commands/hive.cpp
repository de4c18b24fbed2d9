// hive [PATH]: whether a saved registry reads back cleanly, by the reader a cold boot
// uses; in a sandbox that sees the device read-only.
#include "commands.h"
#include "../devpath.h"

int CmdHive(Context &ctx, Args &args)
{
    if (args.Left() > 1)
        UsageError("usage: cedev hive [PATH]");
    ctx.device.Need();
    std::string path = args.Empty() ? "\\Flash Disk\\registry.dat" : args.Next();
    std::string place = ResolveDevicePath(ctx.device, path, nullptr);
    std::string inside = "/device/drive_c/" + place;
    for (char &c : inside)
        if (c == '\\')
            c = '/';
    return RunHive(ctx, {"check", inside, path}, false, false);
}
