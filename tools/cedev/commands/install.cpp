// install FILE.cab, uninstall NAME: the handheld's own way to install a program. The
// cabinet is copied into the device, to "\Windows\AppMgr\Install" where the handheld's
// installer takes cabinets in, and installed there by the device's installer
// (cedev-install.exe, among cedev's read-only tools): each file in its folder, the
// registry entries, the shortcut, the package's record; it deletes the cabinet. A
// cabinet it refuses is refused whole, and taken out again.
#include "commands.h"
#include "../attached.h"
#include "../session.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kStaging[] = "Windows\\AppMgr\\Install";

int RunInstaller(Context &ctx, Session &session, const std::vector<std::string> &args)
{
    Attached a;
    a.argv = {"/usr/lib/wine/wine64", "C:\\windows\\cedev\\cedev-install.exe"};
    a.argv.insert(a.argv.end(), args.begin(), args.end());
    a.name = "cedev-install.exe";
    a.out = a.err = "text";
    a.fixedLayout = true;
    a.wineLines = true;
    int code = RunAttached(session, &a);
    if (!a.reason.empty())
        Fail("the installer was ended: " + EndedBecause(a.reason, ctx.device.ReadLimits()));
    return code;
}

}  // namespace

int CmdInstall(Context &ctx, Args &args)
{
    if (args.Left() != 1)
        UsageError("usage: cedev install FILE.cab");
    std::string file = args.Next();
    ctx.device.Need();
    int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd < 0)
        Fail(errno == ENOENT ? "no such file: " + file : "cannot read " + file + " (" + strerror(errno) + ")");
    if (fstat(fd, &st) || !S_ISREG(st.st_mode)) {
        close(fd);
        Fail(file + " is not a regular file; install takes a cabinet file (.cab)");
    }
    fcntl(fd, F_SETFL, 0);
    std::string name = file.substr(file.rfind('/') == std::string::npos ? 0 : file.rfind('/') + 1);
    Session session(ctx.device, ctx.build);
    FileLock lock;
    session.EnsureShared(&lock);
    int rc = RunSeal(ctx, session, {"put", "/device/drive_c", kStaging, name, "--size", std::to_string(st.st_size),
                                    "--folders"},
                     fd);
    close(fd);
    if (rc != 0)
        return rc;
    std::string staged = std::string("\\") + kStaging + "\\" + name;
    rc = RunInstaller(ctx, session, {"install", staged});
    // A cabinet the installer refused is not left behind; one it installed it deleted.
    if (rc != 0) {
        std::string place = std::string(kStaging) + "\\" + name;
        Attached quiet;
        quiet.argv = {"/device/drive_c/windows/cedev/cedev-seal", "rm", "/device/drive_c", place};
        quiet.name = "cedev-seal";
        quiet.out = quiet.err = "none";
        RunAttached(session, &quiet);
    }
    return rc;
}

int CmdUninstall(Context &ctx, Args &args)
{
    if (args.Left() != 1)
        UsageError("usage: cedev uninstall NAME (the package's name, as 'cedev install' said it)");
    std::string name = args.Next();
    ctx.device.Need();
    Session session(ctx.device, ctx.build);
    FileLock lock;
    session.EnsureShared(&lock);
    return RunInstaller(ctx, session, {"uninstall", name});
}
