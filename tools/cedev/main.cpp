// cedev: the simulated handheld. A device is a folder: a Wine prefix with a 240 x 320
// screen and the handheld's core library, drivers and registry, whose every process
// runs sealed in a sandbox (sandbox.h) kept by a process of its own (keeper.h). This
// reads cedev's own options, which come before the command word, and hands the rest to
// the command (commands/, one file each).
#include "commands/commands.h"
#include "keeper.h"
#include "session.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/close_range.h>
#include <unistd.h>
#include <string>
#include <vector>

extern const char kUsage[];

namespace {

struct {
    const char *name;
    Command run;
} const kCommands[] = {
    {"help", CmdHelp},         {"init", CmdInit},     {"limits", CmdLimits}, {"run", CmdRun},   {"wait", CmdWait},
    {"tap", CmdTap},           {"pen", CmdPen},       {"key", CmdKey},       {"windows", CmdWindows},
    {"box", CmdBox},           {"screenshot", CmdScreenshot},                {"view", CmdView}, {"reg", CmdReg},
    {"ls", CmdLs},             {"rm", CmdRm},         {"put", CmdPut},       {"hive", CmdHive}, {"reset", CmdReset},
    {"stop", CmdStop},         {"install", CmdInstall}, {"uninstall", CmdUninstall},
};

int Run(int argc, char **argv)
{
    // The keeper, started by the command that starts a device.
    if (argc == 7 && !strcmp(argv[1], "__keeper")) {
        KeeperTask task;
        task.device = argv[2];
        task.readyFd = atoi(argv[3]);
        task.hostDisplay = atoi(argv[4]);
        task.xauthority = argv[5];
        task.wineDebug = argv[6];
        return RunKeeper(task);
    }
    // make bench's floor for a command on a running device: one bare round trip through
    // the keeper to the resident helper and back, nothing asked of the device.
    if (argc == 2 && !strcmp(argv[1], "__ping")) {
        Build build = Build::Find();
        const char *device = getenv("CEDEV_DEVICE");
        Device d(device && *device ? device : build.bin + "/../handheld");
        Session session(d, build);
        if (!session.Connect())
            Fail("the device is off");
        return session.Helper({"ping"}).code;
    }
    const char *env = getenv("CEDEV_DEVICE");
    std::string dir = env && *env ? env : "";
    int i = 1;
    // cedev's own options, before the command; the first other word is the command.
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--device") {
            if (i + 1 >= argc || !*argv[i + 1])
                UsageError("--device needs a folder");
            dir = argv[++i];
        } else if (a.compare(0, 9, "--device=") == 0) {
            dir = a.substr(9);
            if (dir.empty())
                UsageError("--device needs a folder");
        } else if (a == "-h" || a == "--help") {
            fputs(kUsage, stdout);
            return kExitOk;
        } else if (a.size() > 1 && a[0] == '-') {
            UsageError("unknown option '" + a + "' (cedev's options come before the command)");
        } else {
            break;
        }
    }
    if (i >= argc) {
        fputs(kUsage, stderr);
        return kExitUsage;
    }
    std::string name = argv[i];
    Command command = nullptr;
    for (const auto &c : kCommands) {
        if (name == c.name)
            command = c.run;
    }
    if (!command)
        UsageError("unknown command '" + name + "'");
    if (command == CmdHelp) {
        fputs(kUsage, stdout);
        return kExitOk;
    }
    Build build = Build::Find();
    Context ctx{Device(dir.empty() ? build.bin + "/../handheld" : dir), build};
    Args args(std::vector<std::string>(argv + i + 1, argv + argc));
    return command(ctx, args);
}

}  // namespace

int main(int argc, char **argv)
{
    // Nothing cedev starts gets a descriptor of its caller's beyond 0-2: not a device
    // process, not the view's servers, not a host program.
    close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    try {
        return Run(argc, argv);
    } catch (const Failure &f) {
        Say(f.message);
        if (f.usage)
            fprintf(stderr, "Run 'cedev help' for the commands.\n");
        return f.code;
    }
}
