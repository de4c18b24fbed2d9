// reg query|set|delete|export: the device's registry, through the resident helper (its
// reg.cpp). Writes wait for a cold boot under way and keep one from starting meanwhile.
#include "commands.h"
#include "../session.h"

#include <sys/file.h>
#include <unistd.h>

int CmdReg(Context &ctx, Args &args)
{
    ctx.device.Need();
    std::string verb = args.Empty() ? "" : args.Peek();
    std::vector<std::string> words = {"reg"};
    for (const std::string &w : args.Rest())
        words.push_back(w);
    Session session(ctx.device, ctx.build);
    FileLock lock;
    if (verb == "set" || verb == "delete") {
        session.EnsureShared(&lock);
    } else {
        session.Ensure(false, nullptr);
    }
    // An export is regedit's syntax, exactly: escaped only for a terminal.
    return PassHelper(session, words, verb == "export" && !isatty(1));
}
