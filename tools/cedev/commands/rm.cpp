// rm [-r] PATH: removes a file, a link (never what it points to) or, with -r, a folder
// and what it holds, once cedev-seal has checked all of it inside the device's sandbox:
// a refusal changes nothing.
#include "commands.h"
#include "../devpath.h"
#include "../session.h"

#include <sys/file.h>

int CmdRm(Context &ctx, Args &args)
{
    bool recursive = !args.Empty() && args.Peek() == "-r";
    if (recursive)
        args.Next();
    if (args.Left() != 1)
        UsageError("usage: cedev rm [-r] PATH");
    ctx.device.Need();
    std::string path = args.Next();
    DeviceNames(path);
    Session session(ctx.device, ctx.build);
    FileLock lock;
    session.EnsureShared(&lock);
    std::string place = ResolveDevicePath(ctx.device, path, &session);
    std::vector<std::string> seal = {"rm", "/device/drive_c", place};
    if (recursive)
        seal.push_back("-r");
    return RunSeal(ctx, session, seal);
}
