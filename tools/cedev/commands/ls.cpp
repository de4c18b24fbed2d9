// ls PATH: the device's files, as the device lists them (the helper's files.cpp).
#include "commands.h"
#include "../devpath.h"
#include "../session.h"

int CmdLs(Context &ctx, Args &args)
{
    if (args.Left() != 1)
        UsageError("usage: cedev ls PATH");
    ctx.device.Need();
    std::string path = args.Next();
    DeviceNames(path);
    Session session(ctx.device, ctx.build);
    session.Ensure(false, nullptr);
    std::string place = ResolveDevicePath(ctx.device, path, &session);
    return PassHelper(session, {"ls", "\\" + place});
}
