// run PROGRAM [--detach] [ARGS] [-- ARGS]: copies a host program into the device's
// "\Program Files" (or takes one already on the device, by its device path) and starts
// it there; the handheld's own images on the ARM runner, others under Wine. In the
// foreground it passes the program's output on and ends with its exit code; detached,
// it returns once the program started ('cedev wait exit' gives the code).
#include "commands.h"
#include "../attached.h"
#include "../devpath.h"
#include "../keeper.h"
#include "../programkind.h"
#include "../sandbox.h"
#include "../session.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What kind of program a host file is: the handheld's own, or Wine's.
ProgramKind HostProgramKind(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) || !S_ISREG(st.st_mode)) {
        if (fd >= 0)
            close(fd);
        Fail("no such program: " + path);
    }
    ProgramKind kind = ClassifyProgram(
        [&](uint64_t at, unsigned char *to, size_t size) {
            ssize_t got = pread(fd, to, size, static_cast<off_t>(at));
            return got < 0 ? size_t(0) : static_cast<size_t>(got);
        },
        static_cast<uint64_t>(st.st_size));
    close(fd);
    if (kind == ProgramKind::NotProgram)
        Fail(path + " is not a Windows program");
    if (kind == ProgramKind::CutShort)
        Fail(path + " is cut short: its sections run past the end of the file");
    return kind;
}

// A shortcut of the device (NN#"\path\target.exe" ARGS, NN the count of what follows
// the #): its target and the arguments it gives. Read from the device folder without
// following a link, and taken as data: a target must be a device path.
void ReadShortcut(const Device &device, const std::string &place, const std::string &shown, std::string *target,
                  std::vector<std::string> *args)
{
    std::string path = "drive_c/" + place;
    for (char &c : path)
        if (c == '\\')
            c = '/';
    int root = open(device.Dir().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    int fd = root >= 0 ? OpenBelow(root, path, O_RDONLY | O_NONBLOCK) : -1;
    if (root >= 0)
        close(root);
    struct stat st;
    char buf[1025];
    ssize_t n = -1;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= 1024)
        n = read(fd, buf, sizeof(buf) - 1);
    if (fd >= 0)
        close(fd);
    if (fd < 0)
        Fail("no such shortcut on the device: " + shown);
    std::string text = n > 0 ? std::string(buf, n) : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    size_t hash = text.find('#');
    std::string rest = hash == std::string::npos ? "" : text.substr(hash + 1);
    bool counted = hash > 0 && hash != std::string::npos && text.find_first_not_of("0123456789") == hash &&
                   std::to_string(rest.size()) == text.substr(0, hash);
    if (!counted)
        Fail(shown + " is not a shortcut cedev takes (NN#\"\\path\\program.exe\")");
    size_t end;
    if (rest.size() > 1 && rest[0] == '"' && (end = rest.find('"', 1)) != std::string::npos) {
        *target = rest.substr(1, end - 1);
        rest = rest.substr(end + 1);
    } else {
        end = rest.find(' ');
        *target = rest.substr(0, end);
        rest = end == std::string::npos ? "" : rest.substr(end);
    }
    std::vector<std::string> given;
    size_t at = 0;
    while ((at = rest.find_first_not_of(' ', at)) != std::string::npos) {
        size_t space = rest.find(' ', at);
        given.push_back(rest.substr(at, space == std::string::npos ? std::string::npos : space - at));
        at = space;
    }
    args->insert(args->begin(), given.begin(), given.end());
    if (target->empty() || (*target)[0] != '\\')
        Fail(shown + " leads to '" + *target + "', which is not a device path");
}

}  // namespace

int CmdRun(Context &ctx, Args &args)
{
    // --detach may come before or after the program; everything after -- is the program's.
    bool detach = false;
    std::string prog;
    std::vector<std::string> progArgs;
    while (!args.Empty()) {
        std::string w = args.Next();
        if (w == "--detach") {
            detach = true;
        } else if (w == "--") {
            if (prog.empty() && !args.Empty())
                prog = args.Next();
            for (const std::string &r : args.Rest())
                progArgs.push_back(r);
        } else if (prog.empty() && w.size() > 1 && w[0] == '-') {
            UsageError("run: unknown option '" + w + "' (a program whose name starts with '-' goes after '--')");
        } else if (prog.empty()) {
            prog = w;
        } else {
            progArgs.push_back(w);
        }
    }
    if (prog.empty())
        UsageError("run: no program given");
    // A command line in the device holds 32,767 characters: the runner's and program's
    // names, quotes and spaces included.
    size_t total = prog.size() + 64;
    for (const std::string &a : progArgs)
        total += a.size() + 3;
    if (total > kMaxDeviceArgs)
        UsageError("run: the program's command line would be about " + std::to_string(total) +
                   " characters; a command line in the device holds at most " + std::to_string(kMaxDeviceArgs));
    ctx.device.Need();
    Session session(ctx.device, ctx.build);
    std::string winpath, kind;
    if (prog[0] == '\\') {
        // A program already on the device, by its device path.
        DeviceNames(prog);
        session.Ensure(false, nullptr);
        std::string place = ResolveDevicePath(ctx.device, prog, &session);
        if (place.size() > 4 && SameName(place.substr(place.size() - 4), ".lnk")) {
            std::string target;
            ReadShortcut(ctx.device, place, prog, &target, &progArgs);
            DeviceNames(target);
            place = ResolveDevicePath(ctx.device, target, &session);
        }
        HelperAnswer a = session.Helper({"program", "\\" + place});
        if (a.code != 0)
            Fail(a.err.size() > 7 ? OneLine(HelperReason(a, "")) : "cannot tell what kind of program " + prog + " is");
        kind = a.out.substr(0, a.out.find('\n'));
        if (kind != "ce" && kind != "native")
            Fail("cannot tell what kind of program " + prog + " is");
        winpath = "C:\\" + place;
    } else {
        kind = HostProgramKind(prog) == ProgramKind::Ce ? "ce" : "native";
        std::string name = prog.substr(prog.rfind('/') == std::string::npos ? 0 : prog.rfind('/') + 1);
        int fd = open(prog.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            Fail("cannot read " + prog + " (" + strerror(errno) + ")");
        struct stat st;
        fstat(fd, &st);
        // The copy must not land in the middle of a cold boot.
        FileLock lock;
        session.EnsureShared(&lock);
        int rc = RunSeal(ctx, session, {"put", "/device/drive_c", "Program Files", name, "--size", std::to_string(st.st_size)},
                         fd, "cannot copy " + prog + " into the device: ");
        close(fd);
        if (rc != 0)
            Fail("cannot copy " + prog + " into the device");
        winpath = "C:\\Program Files\\" + name;
    }
    // The handheld's own programs run on the ARM runner, which answers their calls of
    // the core library with the device's own.
    std::vector<std::string> launch = {"/usr/lib/wine/wine64"};
    if (kind == "ce")
        launch.push_back("/device/drive_c/windows/cedev/armrun.exe.so");
    launch.push_back(winpath);
    launch.insert(launch.end(), progArgs.begin(), progArgs.end());
    // Programs start in "\Program Files", where they are copied.
    const std::string cwd = "/device/drive_c/Program Files";
    if (detach) {
        std::vector<std::string> req = {"spawn", "1", cwd, prog, "null", "1", std::to_string(launch.size())};
        req.insert(req.end(), launch.begin(), launch.end());
        Message m = session.Ask(req, 30000);
        CloseAll(&m.fds);
        if (m[0] != "spawned")
            Fail(m[0] == "error" ? m[1] : "the device's keeper answered in a form cedev does not take");
        return kExitOk;
    }
    Attached run;
    run.argv = launch;
    run.cwd = cwd;
    run.name = prog;
    run.fixedLayout = true;
    run.wineLines = true;
    int rc = RunAttached(session, &run);
    if (!run.reason.empty())
        Fail(prog + " was ended: " + EndedBecause(run.reason, ctx.device.ReadLimits()));
    // A program Wine could not start at all ends with Wine's own reason: that is the
    // one line the user gets.
    if (rc != 0 && !run.wineReason.empty()) {
        if (run.wineReason.find("Bad EXE format") != std::string::npos)
            Fail(prog + " is not a Windows program", rc);
        Fail(prog + " could not start: " + run.wineReason, rc);
    }
    return rc;
}
