// view [--port N] [--listen ADDR] [--scale N]: the device's screen in a web browser,
// until Ctrl+C or 'cedev stop'. x11vnc reads the device's display and serves it as VNC
// on a unix socket; websockify serves Debian's noVNC page and carries its connection to
// that socket. Each runs in a sandbox of its own whose only writable place is the view's
// folder, DIR/.cedev/view, which the device's programs cannot see: x11vnc with no
// network at all, websockify on the host's network. Every client shows a secret before
// it reaches the screen: a token made for this view, carried by the printed address
// (and with --listen, a password too); a page of another site is refused by its Origin.
#include "commands.h"
#include "../hostfiles.h"
#include "../keeper.h"
#include "../sandbox.h"
#include "../session.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <fcntl.h>
#include <poll.h>
#include <regex>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const int kViewWaitMs = 20000;
const char kNoVnc[] = "/usr/share/novnc";

std::string Random(size_t bytes)
{
    unsigned char r[32];
    if (bytes > sizeof(r) || getrandom(r, bytes, 0) != static_cast<ssize_t>(bytes))
        Fail("cannot make the view's secret");
    std::string s;
    for (size_t i = 0; i < bytes; ++i) {
        char h[3];
        snprintf(h, sizeof(h), "%02x", r[i]);
        s += h;
    }
    return s;
}

// A VNC password counts 8 characters: 48 random bits, in letters, digits, - and _.
std::string Password()
{
    unsigned char r[6];
    if (getrandom(r, sizeof(r), 0) != sizeof(r))
        Fail("cannot make the view's password");
    const char *abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    uint64_t bits = 0;
    for (unsigned char b : r)
        bits = bits << 8 | b;
    std::string p;
    for (int i = 0; i < 8; ++i, bits >>= 6)
        p += abc[bits & 63];
    return p;
}

bool FileHas(const std::string &path, const std::string &what)
{
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0)
        text.append(buf, n);
    close(fd);
    return text.find(what) != std::string::npos;
}

bool Running(pid_t pid)
{
    int status;
    return waitpid(pid, &status, WNOHANG) == 0;
}

// Waits while pid runs for done(); 0 when it came, 1 when pid ended, 2 at the bound.
int WaitWhile(pid_t pid, int ms, const std::function<bool()> &done)
{
    long long deadline = NowMs() + ms;
    while (Running(pid)) {
        if (done())
            return 0;
        if (NowMs() >= deadline)
            return 2;
        usleep(50000);
    }
    return 1;
}

// Why websockify could not listen, from its log.
std::string ListenFailure(const std::string &log, const std::string &addr, const std::string &port)
{
    if (FileHas(log, "Address already in use"))
        return "port " + port + " on " + addr + " is in use (choose another with --port N)";
    if (FileHas(log, "Permission denied"))
        return "not permitted to listen on port " + port + " (ports below 1024 need root)";
    if (FileHas(log, "Cannot assign requested address"))
        return addr + " is not an address of this machine";
    if (FileHas(log, "Name or service not known") || FileHas(log, "gaierror"))
        return "cannot resolve the address '" + addr + "'";
    return "websockify could not listen on " + addr + ":" + port + " (see " + log + ")";
}

std::vector<std::string> HostNames()
{
    std::vector<std::string> names;
    for (const char *opt : {"-f", "-I"}) {
        std::string out;
        RunHost({"hostname", opt}, &out);
        size_t at = 0;
        while (at < out.size()) {
            size_t sp = out.find_first_of(" \n", at);
            std::string n = out.substr(at, sp == std::string::npos ? std::string::npos : sp - at);
            if (!n.empty())
                names.push_back(n.find(':') != std::string::npos ? "[" + n + "]" : n);
            at = sp == std::string::npos ? out.size() : sp + 1;
        }
    }
    return names;
}

}  // namespace

int CmdView(Context &ctx, Args &args)
{
    std::string port = "6080", listen, scale = "2";
    while (!args.Empty()) {
        std::string o = args.Next();
        if (o != "--port" && o != "--listen" && o != "--scale")
            UsageError("view: unknown option '" + o + "'");
        if (args.Empty() || args.Peek().empty())
            UsageError("view: " + o + " needs a value");
        std::string v = args.Next();
        if (o == "--port") {
            if (!std::regex_match(v, std::regex("^[1-9][0-9]{0,4}$")) || atoi(v.c_str()) > 65535)
                UsageError("view: --port takes a port number from 1 to 65535");
            port = v;
        } else if (o == "--listen") {
            if (!std::regex_match(v, std::regex("^[A-Za-z0-9.:_-]+$")))
                UsageError("view: --listen takes an address or a host name");
            listen = v;
        } else {
            if (!std::regex_match(v, std::regex("^[1-4]$")))
                UsageError("view: --scale takes 1, 2, 3 or 4");
            scale = v;
        }
    }
    Device &d = ctx.device;
    d.Need();
    NeedSandboxTools(ctx.build);
    NeedTool("/usr/bin/x11vnc", "x11vnc");
    NeedTool("/usr/bin/websockify", "websockify");
    struct stat st;
    if (stat((std::string(kNoVnc) + "/vnc.html").c_str(), &st))
        Fail(std::string(kNoVnc) + "/vnc.html not found; install Debian's novnc package");
    // Started whole or not at all, never in the middle of a cold boot or a stop.
    FileLock lock;
    LockDevice(d, &lock, LOCK_EX);
    Session session(d, ctx.build);
    session.Ensure(true, &lock);
    std::string dir = d.Record("view");
    FileLock viewLock;
    if (!viewLock.Take(d.Record("view.lock"), LOCK_EX, 0)) {
        std::string url;
        ReadRecord(dir + "/url", &url);
        Fail("a view of this device already runs: " + url.substr(0, url.find('\n')));
    }
    Owner owner = Owner::ForCaller();
    RemoveTree(dir);
    if (mkdir(dir.c_str(), 0700) || (owner.fromRoot && chown(dir.c_str(), owner.uid, owner.gid)))
        Fail("cannot prepare the view's folder " + dir);

    // x11vnc: the private display is the device's screen; on the user's display the
    // screen is the device's desktop window, which the device names.
    std::vector<std::string> vnc = {"x11vnc", "-rfbport", "0", "-unixsock", "/device/vnc.sock", "-forever",
                                    "-shared", "-noshm", "-norc", "-nopw", "-xkb", "-desktop", "handheld",
                                    "-o", "/device/x11vnc.log"};
    if (scale != "1") {
        vnc.push_back("-scale");
        vnc.push_back(scale + ":nb");
    }
    Bwrap xb;
    SystemBase(&xb, false);
    xb.BindFd(open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC), "/device", true);
    std::vector<std::string> env = {"HOME=/device", "PATH=/usr/bin:/bin"};
    if (session.PrivateDisplay()) {
        xb.BindFd(open(d.Record("tmp").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC), "/tmp", false);
        vnc.push_back("-display");
        vnc.push_back(":0");
    } else {
        HelperAnswer a = session.Helper({"xwindow"});
        std::string xid = a.out.substr(0, a.out.find('\n'));
        if (a.code != 0 || !std::regex_match(xid, std::regex("^0x[0-9a-f]+$")))
            Fail("cannot find the device's screen on the display " + session.Display());
        std::string n = session.Display().substr(1), socket = "/tmp/.X11-unix/X" + n;
        if (stat(socket.c_str(), &st))
            Fail("the display " + session.Display() + " has no socket " + socket);
        xb.Add({"--tmpfs", "/tmp", "--ro-bind", socket, socket});
        std::string auth = UserXauthority();
        int fd = open(auth.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0) {
            xb.Data(fd, "/tmp/.Xauthority", "0444");
            env.push_back("XAUTHORITY=/tmp/.Xauthority");
        }
        vnc.insert(vnc.end(), {"-display", session.Display(), "-id", xid});
    }
    // Reached from other machines, the view asks for a password of its own, made here
    // and shown once; x11vnc reads it from a file that it then removes.
    std::string password;
    if (!listen.empty()) {
        password = Password();
        if (!WriteRecord(dir + "/passwd", password + "\n", 0600) ||
            (owner.fromRoot && chown((dir + "/passwd").c_str(), owner.uid, owner.gid)))
            Fail("cannot write the view's password in " + dir);
        vnc.push_back("-passwdfile");
        vnc.push_back("rm:/device/passwd");
    }
    xb.Add({"--die-with-parent", "--new-session", "--chdir", "/device", "--clearenv"});
    for (const std::string &e : env)
        xb.Add({"--setenv", e.substr(0, e.find('=')), e.substr(e.find('=') + 1)});
    int xlog = open((dir + "/x11vnc.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (xlog >= 0 && owner.fromRoot && fchown(xlog, owner.uid, owner.gid)) {
    }
    SandboxChild xc;
    xc.err = xlog;
    pid_t xpid = StartBwrap(xb, vnc, owner, xc);
    close(xlog);
    auto endView = [&](pid_t w) {
        for (pid_t p : {xpid, w}) {
            if (p > 0) {
                kill(p, SIGTERM);
                waitpid(p, nullptr, 0);
            }
        }
        unlink((dir + "/passwd").c_str());
    };
    if (WaitWhile(xpid, kViewWaitMs, [&] { return stat((dir + "/vnc.sock").c_str(), &st) == 0; }) != 0) {
        endView(-1);
        Fail("x11vnc did not serve the device's screen within " + std::to_string(kViewWaitMs / 1000) + "s (see " +
             dir + "/x11vnc.log)");
    }

    std::string addr = listen.empty() ? "127.0.0.1" : listen, host = addr;
    if (addr == "0.0.0.0" || addr == "::") {
        std::string out;
        RunHost({"hostname"}, &out);
        host = out.substr(0, out.find('\n'));
    }
    if (host.find(':') != std::string::npos)
        host = "[" + host + "]";
    std::string token = Random(16);
    if (!WriteRecord(dir + "/token", token + ": unix_socket:/device/vnc.sock\n", 0600) ||
        (owner.fromRoot && chown((dir + "/token").c_str(), owner.uid, owner.gid)))
        Fail("cannot write the view's token in " + dir);
    std::string origins;
    std::vector<std::string> hosts = {host, "127.0.0.1", "localhost", "[::1]"};
    if (addr == "0.0.0.0" || addr == "::") {
        for (const std::string &h : HostNames())
            hosts.push_back(h);
    }
    for (const std::string &h : hosts)
        origins += (origins.empty() ? "" : " ") + std::string("http://") + h + ":" + port;
    Bwrap wb;
    SystemBase(&wb, true);
    wb.BindFd(open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC), "/device", true);
    wb.Add({"--die-with-parent", "--new-session", "--chdir", "/device", "--clearenv", "--setenv", "HOME", "/device",
            "--setenv", "PATH", "/usr/bin:/bin"});
    int wlog = open((dir + "/websockify.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (wlog >= 0 && owner.fromRoot && fchown(wlog, owner.uid, owner.gid)) {
    }
    SandboxChild wc;
    wc.out = wc.err = wlog;
    pid_t wpid = StartBwrap(wb,
                            {"websockify", "--web", kNoVnc, "--token-plugin", "TokenFile", "--token-source",
                             "/device/token", "--auth-plugin", "ExpectOrigin", "--auth-source", origins,
                             addr + ":" + port},
                            owner, wc);
    close(wlog);
    int rc = WaitWhile(wpid, kViewWaitMs, [&] { return FileHas(dir + "/websockify.log", "  - proxying from"); });
    if (rc != 0) {
        endView(wpid);
        if (rc == 1)
            Fail(ListenFailure(dir + "/websockify.log", addr, port));
        Fail("websockify did not start within " + std::to_string(kViewWaitMs / 1000) + "s (see " + dir +
             "/websockify.log)");
    }
    std::string url = "http://" + host + ":" + port + "/vnc.html?autoconnect=true&resize=off&path=websockify%3Ftoken%3D" +
                      token;
    WriteRecord(dir + "/url", url + "\n", 0600);
    WriteRecord(dir + "/pids", std::to_string(xpid) + " 0\n" + std::to_string(wpid) + " 0\n", 0600);
    // The keeper ends the view first whenever the device ends.
    int xfd = static_cast<int>(syscall(SYS_pidfd_open, xpid, 0)), wfd = static_cast<int>(syscall(SYS_pidfd_open, wpid, 0));
    Message reply = session.Ask({"view"}, 20000, {xfd, wfd});
    lock.Release();

    printf("The handheld's screen (240x320 at %sx) is at: %s\n", scale.c_str(), url.c_str());
    printf("Keep the address to yourself: its token is what lets a browser in.\n");
    if (!password.empty())
        printf("Password (the page asks for it; shown only now): %s\n", password.c_str());
    if (!listen.empty())
        printf("The connection is not encrypted: prefer an SSH tunnel to the loopback address where you can.\n");
    printf("Pen taps with the mouse, keys from the keyboard. Ctrl+C or 'cedev stop' ends the view.\n");
    fflush(stdout);

    sigset_t mask;
    sigemptyset(&mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&mask, s);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    int sfd = signalfd(-1, &mask, SFD_CLOEXEC);
    bool deviceEnded = false;
    for (;;) {
        pollfd p[4] = {{sfd, POLLIN, 0}, {xfd, POLLIN, 0}, {wfd, POLLIN, 0}, {deviceEnded ? -1 : session.Socket(), POLLIN, 0}};
        if (poll(p, 4, -1) < 0 && errno != EINTR)
            break;
        if (p[0].revents) {
            endView(wpid);
            unlink((dir + "/pids").c_str());
            unlink((dir + "/url").c_str());
            printf("view ended\n");
            return kExitOk;
        }
        if (p[3].revents) {
            Message m;
            bool partial = false;
            if (!session.Next(&m, 0, &partial) && !partial)
                deviceEnded = true;
        }
        if (p[1].revents || p[2].revents)
            break;
    }
    // The device's end takes the view's processes first; otherwise one of them failed.
    endView(wpid);
    unlink((dir + "/pids").c_str());
    unlink((dir + "/url").c_str());
    Message m;
    if (deviceEnded || !session.Send({"hello"}) || !session.Next(&m, 5000)) {
        printf("view ended: the device was stopped\n");
        return kExitOk;
    }
    Fail("the view ended unexpectedly (see " + dir + "/x11vnc.log and " + dir + "/websockify.log)");
}
