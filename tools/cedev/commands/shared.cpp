// What several commands share: the helper's answers passed on, the device's own tools
// run inside it, cedev-coldboot run on a stopped device, and a session's end.
#include "commands.h"
#include "../attached.h"
#include "../text.h"
#include "../keeper.h"
#include "../sandbox.h"
#include "../session.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

static void WriteOut(int fd, const std::string &text, TextMode mode)
{
    std::string out, carry;
    EscapeText(text, mode, true, &carry, &out);
    WriteAll(fd, out.data(), out.size());
}

int PassHelper(Session &session, const std::vector<std::string> &args, bool raw)
{
    HelperAnswer a = session.Helper(args);
    WriteOut(1, a.out, raw ? TextMode::Raw : TextMode::Text);
    WriteOut(2, a.err, TextMode::Text);
    return a.code;
}

int ScreenCommand(Context &ctx, const std::string &name, Args &args)
{
    ctx.device.Need();
    Session session(ctx.device, ctx.build);
    session.Ensure(true, nullptr);
    std::vector<std::string> words = {name};
    for (const std::string &w : args.Rest())
        words.push_back(w);
    return PassHelper(session, words);
}

void NeedTool(const std::string &path, const std::string &package)
{
    if (access(path.c_str(), X_OK))
        Fail(path.substr(path.rfind('/') + 1) + " not found; install Debian's " + package + " package");
}

void NeedSandboxTools(const Build &build)
{
    NeedTool("/usr/bin/bwrap", "bubblewrap");
    NeedTool("/usr/lib/wine/wine64", "wine64");
    struct stat st;
    if (stat((build.tools + "/cedev-helper.exe").c_str(), &st) || stat((build.tools + "/cedev-seal").c_str(), &st))
        Fail(build.tools + " is incomplete; build the project first (make)");
}

int RunHost(const std::vector<std::string> &argv, std::string *output)
{
    int p[2] = {-1, -1};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (output) {
        if (pipe2(p, O_CLOEXEC))
            return -1;
        posix_spawn_file_actions_adddup2(&fa, p[1], 1);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    }
    std::vector<char *> v;
    for (const std::string &a : argv)
        v.push_back(const_cast<char *>(a.c_str()));
    v.push_back(nullptr);
    pid_t pid;
    int rc = posix_spawnp(&pid, v[0], &fa, nullptr, v.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (output) {
        close(p[1]);
        char buf[4096];
        ssize_t n;
        output->clear();
        while (rc == 0 && (n = read(p[0], buf, sizeof(buf))) != 0) {
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                break;
            output->append(buf, n);
        }
        close(p[0]);
    }
    if (rc != 0)
        return -1;
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int RunSeal(Context &ctx, Session &session, const std::vector<std::string> &args, int input,
            const std::string &endedAs)
{
    Attached a;
    a.argv = {"/device/drive_c/windows/cedev/cedev-seal"};
    a.argv.insert(a.argv.end(), args.begin(), args.end());
    a.name = "cedev-seal";
    a.out = a.err = "text";
    a.input = input;
    int code = RunAttached(session, &a);
    if (!a.reason.empty())
        Fail((endedAs.empty() ? "'" + args[0] + "' was ended: " : endedAs) +
             EndedBecause(a.reason, ctx.device.ReadLimits()));
    return code;
}

int RunHive(Context &ctx, const std::vector<std::string> &args, bool writable, bool factory)
{
    std::string hive = ctx.build.bin + "/cedev-coldboot";
    if (access(hive.c_str(), X_OK))
        Fail(hive + " is missing; build the project first (make)");
    NeedSandboxTools(ctx.build);
    Bwrap b;
    OneOffSandbox(&b, ctx.device, writable, {hive});
    if (factory) {
        chmod(ctx.device.Record("factory").c_str(), 0755);  // made 0700 by an earlier cedev
        int fd = open(ctx.device.Record("factory").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            Fail("the device has no factory registry (" + ctx.device.Record("factory") + "); remake it with 'cedev init --force'");
        b.BindFd(fd, "/factory", false);
    }
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        Fail(std::string("cannot make a pipe (") + strerror(errno) + ")");
    SandboxChild child;
    child.out = out[1];
    child.err = err[1];
    Limits limits = ctx.device.ReadLimits();
    child.rlimits = &limits;
    std::vector<std::string> command = {"/cedev-coldboot"};
    command.insert(command.end(), args.begin(), args.end());
    pid_t pid = StartBwrap(b, command, Owner::ForCaller(), child);
    close(out[1]);
    close(err[1]);
    // Its words are about the device's file: escaped as text.
    std::string carries[2];
    int fds[2] = {out[0], err[0]};
    while (fds[0] >= 0 || fds[1] >= 0) {
        pollfd p[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (!p[i].revents)
                continue;
            char buf[65536];
            ssize_t n = read(fds[i], buf, sizeof(buf));
            if (n < 0 && errno == EINTR)
                continue;
            std::string text;
            EscapeText(std::string_view(buf, n > 0 ? n : 0), TextMode::Text, n <= 0, &carries[i], &text);
            WriteOut(i + 1, text, TextMode::Raw);
            if (n <= 0) {
                close(fds[i]);
                fds[i] = -1;
            }
        }
    }
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void EndSession(Context &ctx, bool keepRegistry, bool reset)
{
    std::string note;
    if (reset)
        TakeBrokenNote(ctx.device, &note);  // a cold boot starts afresh whatever happened
    Session session(ctx.device, ctx.build);
    if (session.Connect()) {
        // The keeper says it stopped the device, or ends without a word: either way it
        // is gone once its lock is free.
        Message m;
        if (session.Send({"stop", keepRegistry ? "keep" : "", reset ? "reset" : "stop"}))
            session.Next(&m, 90000);
    }
    // The keeper holds its lock until the last of the device's processes is gone.
    FileLock keeper;
    if (!keeper.Take(ctx.device.Record("keeper.lock"), LOCK_EX, 30000))
        Fail("the device's processes did not end within 30 s (see " + ctx.device.Record("log") + ")");
}
