#include "keeper.h"
#include "cli.h"
#include "devlog.h"
#include "hostfiles.h"
#include "device.h"
#include "devlimits.h"
#include "sandbox.h"
#include "wire.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <functional>
#include <fcntl.h>
#include <glob.h>
#include <map>
#include <memory>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

const char kHelper[] = "C:\\windows\\cedev\\cedev-helper.exe";
const char kWine[] = "/usr/lib/wine/wine64";
const char kServer[] = "/usr/lib/wine/wineserver64";
const int kStartWaitMs = 60000;     // for the device to start
const int kHelperWaitMs = 60000;    // for the helper to answer one request
const int kEndWaitMs = 20000;       // for the device's processes to end
const int kWatchMs = 1000;          // how often the device's disk use is looked at

int PidfdOpen(pid_t pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

void PidfdKill(int pidfd, int sig)
{
    if (pidfd >= 0)
        syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0);
}

std::string ExitText(int status)
{
    if (WIFEXITED(status))
        return "exit code " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return std::string("signal ") + strsignal(WTERMSIG(status));
    return "status " + std::to_string(status);
}

int ExitCodeOf(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
}

std::string Timestamp()
{
    time_t t = time(nullptr);
    char buf[32];
    strftime(buf, sizeof(buf), "%F %T", localtime(&t));
    return buf;
}

void SetNonBlocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// A child of the keeper in the device, and where its output goes.
struct Child {
    std::string role;  // sandbox, display, server, desktop, helper, job, task
    int pidfd = -1;
    std::string jobId;
    bool exited = false;
    int status = 0;
};

struct Job {
    std::string id, program;
    pid_t pid = -1;
    bool detached = false;
    int client = -1;  // the attached client's socket
    std::unique_ptr<DevLog> out;
    int outFd = -1;  // a detached job's output, on its way to its log
    bool done = false;
    int code = 0;
    std::string reason;
    uint64_t oomAtStart = 0;
};

struct Client {
    int fd;
    MessageReader reader;
    std::vector<std::string> waitingJobs;
    std::vector<int> viewPidfds;
};

struct HelperRequest {
    int client;
    std::vector<std::string> args;
};

class Keeper {
public:
    explicit Keeper(const KeeperTask &task)
        : task_(task), device_(task.device), build_(Build::Find()), owner_(Owner::ForCaller()),
          limits_(device_.ReadLimits())
    {
    }
    int Run();

private:
    // Start-up.
    std::string Prepare();
    std::string PrepareUnreadable();
    std::string Start();
    void Say(const std::string &line);
    std::vector<std::string> Env(bool program) const;
    pid_t Spawn(SpawnRequest request, const std::string &role, std::string *error);
    int LogPipe();
    bool WaitUntil(const std::function<bool()> &done, int ms, pid_t watch, std::string *why);
    bool StartHelper(std::string *error);
    bool Listen(std::string *error);

    // The loop.
    void Loop();
    void Reap();
    void OutputEnded(int fd);
    void ChildEnded(pid_t pid, int status);
    void Accept();
    void ClientInput(Client &c);
    void DropClient(int fd);
    void Handle(Client &c, const Message &m);
    void HandleSpawn(Client &c, const Message &m);
    void PumpHelper();
    void HelperInput();
    void HelperLost(const std::string &why);
    void Watch();
    void FinishJob(Job &job, int status, const std::string &reason);
    void Reply(int fd, std::vector<std::string> fields, std::vector<int> fds = {});

    // The end.
    void End(bool keepRegistry, const std::string &reason, const std::string &brokenNote);
    bool ServerAlive() const { return server_ > 0 && !children_.at(server_).exited; }
    bool DisplayAlive() const;

    KeeperTask task_;
    Device device_;
    Build build_;
    Owner owner_;
    Limits limits_;
    Cgroup cgroup_;
    std::string limitsHow_;
    DevLog log_;
    FileLock keeperLock_;
    SessionNamespaces ns_;
    std::string display_, sessionId_;
    pid_t bwrap_ = -1, init_ = -1, server_ = -1, xvfb_ = -1, desktop_ = -1, helper_ = -1;
    int initPidfd_ = -1, signals_ = -1, listen_ = -1, stateFd_ = -1;
    std::map<pid_t, Child> children_;
    std::map<int, LogStream> outputs_;  // pipe -> the log it goes to
    std::map<std::string, Job> jobs_;
    std::map<int, Client> clients_;
    // The resident helper.
    int helperIn_ = -1, helperOut_ = -1;
    std::string helperBuf_;
    std::deque<HelperRequest> helperQueue_;
    bool helperBusy_ = false;
    long long helperDeadline_ = 0;
    std::string helperCommand_;
    bool started_ = false, ending_ = false, ended_ = false;
    long long nextWatch_ = 0;
    uint64_t refused_ = 0, diskAtStart_ = 0, filesAtStart_ = 0;
    bool diskSeen_ = false;
    DevLog jobLogs_;
};

// The device's own display ended when its process did; the user's display, which the
// keeper does not hold, when its socket no longer takes a connection.
bool Keeper::DisplayAlive() const
{
    if (xvfb_ > 0)
        return !children_.at(xvfb_).exited;
    if (task_.hostDisplay < 0)
        return true;
    sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof(a.sun_path), "/tmp/.X11-unix/X%d", task_.hostDisplay);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool alive = fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0;
    if (fd >= 0)
        close(fd);
    return alive;
}

void Keeper::Say(const std::string &line)
{
    log_.Write("--- " + OneLine(line) + "\n");
}

std::vector<std::string> Keeper::Env(bool program) const
{
    std::vector<std::string> env = WineEnv();
    // A Wine process that finds no server fails: it never starts a fresh one over a
    // server that ended.
    env.push_back("WINESERVER=/nonexistent/wineserver");
    env.push_back("DISPLAY=" + display_);
    env.push_back("WINEDEBUG=" + (program ? (task_.wineDebug.empty() ? "-all,err+all" : task_.wineDebug) : "-all"));
    if (task_.hostDisplay >= 0 && !task_.xauthority.empty())
        env.push_back("XAUTHORITY=/tmp/.Xauthority");
    return env;
}

int Keeper::LogPipe()
{
    int p[2];
    if (pipe2(p, O_CLOEXEC))
        return -1;
    SetNonBlocking(p[0]);
    outputs_[p[0]].log = &log_;
    return p[1];
}

pid_t Keeper::Spawn(SpawnRequest request, const std::string &role, std::string *error)
{
    request.oomScore = role == "job" ? 500 : role == "task" ? 0 : -500;
    pid_t pid = SpawnInside(ns_, owner_, role == "job" ? cgroup_.Programs() : cgroup_.System(), limits_, request, error);
    if (pid > 0) {
        Child c;
        c.role = role;
        c.pidfd = PidfdOpen(pid);
        children_[pid] = c;
    }
    return pid;
}

// Waits, reaping children as they end, until done() or ms have passed; fails early
// when the process watch (if any) ends.
bool Keeper::WaitUntil(const std::function<bool()> &done, int ms, pid_t watch, std::string *why)
{
    long long deadline = NowMs() + ms;
    for (;;) {
        Reap();
        if (done())
            return true;
        if (watch > 0 && children_.count(watch) && children_[watch].exited) {
            *why = "it ended (" + ExitText(children_[watch].status) + ")";
            return false;
        }
        if (NowMs() >= deadline) {
            *why = "it did not within " + std::to_string(ms / 1000) + "s";
            return false;
        }
        // Meanwhile what the device's processes print reaches the log.
        std::vector<pollfd> fds;
        for (auto &o : outputs_)
            fds.push_back({o.first, POLLIN, 0});
        poll(fds.data(), fds.size(), 5);
        for (pollfd &p : fds) {
            if (!p.revents)
                continue;
            char buf[65536];
            ssize_t n = read(p.fd, buf, sizeof(buf));
            if (n > 0) {
                outputs_[p.fd].Take(std::string_view(buf, n), false);
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                OutputEnded(p.fd);
            }
        }
    }
}

// An output pipe's end: the rest of it goes to its log; a detached job whose program
// has ended and whose output has too lets its log go.
void Keeper::OutputEnded(int fd)
{
    outputs_[fd].Take("", true);
    outputs_.erase(fd);
    close(fd);
    for (auto &j : jobs_) {
        if (j.second.outFd == fd) {
            j.second.outFd = -1;
            if (j.second.done)
                j.second.out.reset();
        }
    }
}

void Keeper::Reap()
{
    for (;;) {
        int status;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid <= 0)
            return;
        ChildEnded(pid, status);
    }
}

static bool IsSocket(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

static bool ReadyByte(int fd, int ms)
{
    pollfd p = {fd, POLLIN, 0};
    char c;
    return poll(&p, 1, ms) == 1 && read(fd, &c, 1) == 1;
}

// Readies the device folder for a session: its /tmp afresh, its files its owner's (a
// device that an earlier cedev made as root is handed to its uid once), the folder that
// shows cedev's tools a folder, and its core library and driver libraries as the build
// made them: a program that replaced one is not kept from the next start.
std::string Keeper::Prepare()
{
    const std::string &dir = device_.Dir();
    std::string tmp = device_.Record("tmp");
    std::string x11 = tmp + "/.X11-unix";
    if (!RemoveTree(tmp) || mkdir(tmp.c_str(), 0700) || mkdir((tmp + "/home").c_str(), 0700) ||
        mkdir(x11.c_str(), 0700) || chmod(x11.c_str(), 01777) ||
        (owner_.fromRoot && (chown(tmp.c_str(), owner_.uid, owner_.gid) ||
                             chown((tmp + "/home").c_str(), owner_.uid, owner_.gid) ||
                             chown(x11.c_str(), owner_.uid, owner_.gid))))
        return "cannot prepare the device's sandbox in " + device_.State() + " (" + strerror(errno) + ")";
    struct stat st;
    if (owner_.fromRoot && stat(dir.c_str(), &st) == 0 && st.st_uid != owner_.uid) {
        Say("the device's files now belong to uid " + std::to_string(owner_.uid) + ", as a device started by root runs");
        ChownTree(dir, owner_.uid, owner_.gid, kNotTheDevices);
    }
    chmod(dir.c_str(), 0700);
    chmod(device_.State().c_str(), 0711);
    int root = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (root < 0)
        return "cannot open the device folder " + dir + " (" + strerror(errno) + ")";
    int win = OpenBelow(root, "drive_c/windows", O_PATH | O_DIRECTORY);
    if (win < 0) {
        close(root);
        return "the device has no \\Windows folder; remake it with 'cedev init --force'";
    }
    if (fstatat(win, "cedev", &st, AT_SYMLINK_NOFOLLOW) || !S_ISDIR(st.st_mode)) {
        RemoveTree(win, "cedev");
        if (mkdirat(win, "cedev", 0755) == 0 && owner_.fromRoot)
            fchownat(win, "cedev", owner_.uid, owner_.gid, AT_SYMLINK_NOFOLLOW);
    }
    close(win);
    std::vector<std::pair<std::string, std::string>> platform = {{"COREDLL.dll", build_.bin + "/COREDLL.dll"}};
    for (const char *f : kDriverLibraries)
        platform.push_back({f, build_.bin + "/cedev-driver.dll"});
    for (auto &p : platform) {
        std::string path = "drive_c/windows/" + p.first;
        int fd = OpenBelow(root, path, O_PATH);
        bool present = fd >= 0 || p.first == "COREDLL.dll";
        if (fd >= 0)
            close(fd);
        if (!present || SameAsBelow(root, path, p.second))
            continue;
        if (ReplaceBelow(root, path, p.second, owner_.fromRoot ? owner_.uid : getuid(),
                         owner_.fromRoot ? owner_.gid : getgid()))
            Say("\\Windows\\" + p.first + " differed from the build's; it was restored");
        else
            Say("\\Windows\\" + p.first + " differs from the build's and could not be restored (" + strerror(errno) + ")");
    }
    close(root);
    return "";
}

// The programs cedev relies on inside the device, Wine's loader and server and the
// display, as copies that only root can read: each process they become is one no other
// process of the device can trace or reach through /proc (a process made from a file
// its user cannot read is one the kernel keeps from them). Remade when the system's
// programs change.
std::string Keeper::PrepareUnreadable()
{
    std::string xo = device_.Record("xo");
    mkdir(xo.c_str(), 0711);
    chmod(xo.c_str(), 0711);
    for (const char *program : {"/usr/lib/wine/wine64", "/usr/lib/wine/wineserver64", "/usr/bin/Xvfb"}) {
        std::string copy = xo + "/" + (strrchr(program, '/') + 1);
        struct stat a, b;
        if (stat(program, &a))
            continue;
        if (stat(copy.c_str(), &b) == 0 && a.st_size == b.st_size && a.st_mtime == b.st_mtime)
            continue;
        std::string tmp = copy + ".new";
        timespec times[2] = {a.st_atim, a.st_mtim};
        if (!CopyFile(program, tmp, 0111) || chmod(tmp.c_str(), 0111) || utimensat(AT_FDCWD, tmp.c_str(), times, 0) ||
            rename(tmp.c_str(), copy.c_str()))
            return "cannot prepare the device's copy of " + std::string(program) + " in " + xo + " (" + strerror(errno) + ")";
    }
    return "";
}

std::string Keeper::Start()
{
    if (!keeperLock_.Take(device_.Record("keeper.lock"), LOCK_EX, 0))
        return "another cedev already keeps this device";
    stateFd_ = open(device_.State().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (!log_.Open(device_.Record("log"), limits_.log) || stateFd_ < 0)
        return "cannot write the device's log in " + device_.State();
    Say("device start " + Timestamp());
    unlink(device_.Record("session").c_str());

    std::string prepared = Prepare();
    if (prepared.empty())
        prepared = PrepareUnreadable();
    if (!prepared.empty())
        return prepared;

    // Limits first: every process of the device starts inside them.
    if (cgroup_.Make(Cgroup::NameFor(getpid()), limits_, &limitsHow_))
        limitsHow_ = "memory and processes by " + limitsHow_;
    else
        limitsHow_ = "processes by rlimit (for all of this user's devices together; memory by none: cedev may "
                     "not make cgroups here)";
    Say("limits: " + LimitsText(limits_) + "; " + limitsHow_ + ", one file by rlimit, disk and log by cedev");

    // The sandbox: it says when it is complete, so that nothing enters it half made.
    int info[2], ready[2], out = LogPipe();
    if (pipe2(info, O_CLOEXEC) || pipe2(ready, O_CLOEXEC) || out < 0)
        return std::string("cannot make a pipe (") + strerror(errno) + ")";
    Bwrap b;
    std::string xauth = task_.xauthority;
    DeviceSandbox(&b, device_, build_, limits_, task_.hostDisplay, xauth);
    b.Add({"--info-fd", std::to_string(info[1])});
    SandboxChild child;
    child.keep = {info[1], ready[1]};
    child.out = child.err = out;
    child.cgroupProcs = cgroup_.System();
    child.rlimits = &limits_;
    std::string readyFd = std::to_string(ready[1]);
    bwrap_ = StartBwrap(b, {"/bin/bash", "-c", "printf r >&\"$0\" && exec sleep infinity", readyFd}, owner_,
                        child);
    close(out);
    close(info[1]);
    close(ready[1]);
    children_[bwrap_].role = "sandbox";
    std::string infoText, why;
    char buf[512];
    pollfd p = {info[0], POLLIN, 0};
    long long deadline = NowMs() + 20000;
    while (infoText.find('}') == std::string::npos && NowMs() < deadline && poll(&p, 1, 100) >= 0) {
        ssize_t n = p.revents ? read(info[0], buf, sizeof(buf)) : -1;
        if (n == 0)
            break;
        if (n > 0)
            infoText.append(buf, n);
    }
    close(info[0]);
    size_t at = infoText.find("\"child-pid\"");
    if (at != std::string::npos) {
        at = infoText.find(':', at);
        init_ = at == std::string::npos ? -1 : static_cast<pid_t>(atol(infoText.c_str() + at + 1));
    }
    if (init_ <= 0 || (initPidfd_ = PidfdOpen(init_)) < 0 || !ReadyByte(ready[0], 20000) || !ns_.Open(init_) ||
        syscall(SYS_pidfd_send_signal, initPidfd_, 0, nullptr, 0) != 0) {
        close(ready[0]);
        return "the device's sandbox did not start (see " + log_.Path() + ")";
    }
    close(ready[0]);
    sessionId_ = std::to_string(init_) + "-" + std::to_string(NowMs());

    // The display.
    std::string tmp = device_.Record("tmp");
    if (task_.hostDisplay < 0) {
        display_ = ":0";
        SpawnRequest x;
        x.path = "/usr/bin/Xvfb";
        x.argv = {"Xvfb", ":0", "-screen", "0", "240x320x24", "-nolisten", "tcp", "-noreset"};
        x.env = {"PATH=/usr/bin:/bin", "HOME=/tmp/home"};
        x.out = x.err = LogPipe();
        std::string error;
        xvfb_ = Spawn(x, "display", &error);
        close(x.out);
        if (xvfb_ < 0)
            return "the device's display (Xvfb) did not start: " + error;
        if (!WaitUntil([&] { return IsSocket(tmp + "/.X11-unix/X0"); }, 20000, xvfb_, &why))
            return "the device's display (Xvfb) did not start: " + why + " (see " + log_.Path() + ")";
    } else {
        display_ = ":" + std::to_string(task_.hostDisplay);
    }

    // The Wine server, its own process here, and the first answer of the helper, which
    // comes once Wine's start-up has run and the desktop is up.
    SpawnRequest s;
    s.argv = {kServer, "-f", "-p"};
    s.env = Env(false);
    s.out = s.err = LogPipe();
    std::string error;
    server_ = Spawn(s, "server", &error);
    close(s.out);
    if (server_ < 0)
        return "the device's Wine server did not start: " + error;
    struct stat st;
    if (stat(device_.Dir().c_str(), &st))
        return "cannot read the device folder " + device_.Dir();
    // Its socket is in a folder of /tmp named for the prefix's device and inode.
    char server[64];
    snprintf(server, sizeof(server), "/server-%llx-%llx/socket", static_cast<unsigned long long>(st.st_dev),
             static_cast<unsigned long long>(st.st_ino));
    auto serverUp = [&] {
        glob_t g;
        bool up = glob((tmp + "/*wine-*" + server).c_str(), GLOB_NOSORT, nullptr, &g) == 0 && g.gl_pathc > 0 &&
                  IsSocket(g.gl_pathv[0]);
        globfree(&g);
        return up;
    };
    if (!WaitUntil(serverUp, 20000, server_, &why))
        return "the device's Wine server did not start: " + why + " (see " + log_.Path() + ")";
    SpawnRequest d;
    d.argv = {kWine, kHelper, "desktop"};
    d.env = Env(false);
    d.fixedLayout = true;
    d.out = d.err = LogPipe();
    desktop_ = Spawn(d, "desktop", &error);
    close(d.out);
    if (desktop_ < 0)
        return "the device's desktop did not start: " + error;
    if (!StartHelper(&error))
        return error;
    if (!Listen(&error))
        return error;
    WriteRecord(device_.Record("session"), std::to_string(init_) + " " + sessionId_ + " " + display_ + "\n", 0644);
    return "";
}

bool Keeper::StartHelper(std::string *error)
{
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC)) {
        *error = std::string("cannot make a pipe (") + strerror(errno) + ")";
        return false;
    }
    SpawnRequest h;
    h.argv = {kWine, kHelper, "serve"};
    h.env = Env(false);
    h.fixedLayout = true;
    h.in = in[0];
    h.out = out[1];
    h.err = LogPipe();
    helper_ = Spawn(h, "helper", error);
    close(in[0]);
    close(out[1]);
    close(h.err);
    if (helper_ < 0) {
        close(in[1]);
        close(out[0]);
        *error = "cedev's helper did not start in the device: " + *error;
        return false;
    }
    helperIn_ = in[1];
    helperOut_ = out[0];
    helperBuf_.clear();
    // Its first answer says the desktop is up.
    std::string why;
    SetNonBlocking(helperOut_);
    bool ok = WaitUntil(
        [&] {
            char buf[4096];
            ssize_t n;
            while ((n = read(helperOut_, buf, sizeof(buf))) > 0)
                helperBuf_.append(buf, n);
            return helperBuf_.size() >= 4 && helperBuf_.size() >= 4 + GetU32(helperBuf_.data());
        },
        kStartWaitMs, helper_, &why);
    if (!ok) {
        *error = "the device did not start: its helper did not answer, as " + why + " (see " + log_.Path() + ")";
        return false;
    }
    uint32_t size = GetU32(helperBuf_.data());
    bool up = size >= 4 && GetU32(helperBuf_.data() + 4) == 0;
    helperBuf_.erase(0, 4 + size);
    if (!up) {
        *error = "the device's desktop did not start (see " + log_.Path() + ")";
        return false;
    }
    return true;
}

bool Keeper::Listen(std::string *error)
{
    listen_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    std::string base = "/proc/self/fd/" + std::to_string(stateFd_) + "/";
    snprintf(a.sun_path, sizeof(a.sun_path), "%skeeper.sock.new", base.c_str());
    unlink(a.sun_path);
    mode_t old = umask(077);
    bool ok = listen_ >= 0 && bind(listen_, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0 &&
              listen(listen_, 64) == 0 && rename(a.sun_path, (base + "keeper.sock").c_str()) == 0;
    umask(old);
    if (!ok)
        *error = std::string("cannot make the device's socket in ") + device_.State() + " (" + strerror(errno) + ")";
    return ok;
}

void Keeper::Reply(int fd, std::vector<std::string> fields, std::vector<int> fds)
{
    Message m;
    m.fields = std::move(fields);
    m.fds = std::move(fds);
    SendMessage(fd, m);
}

int Keeper::Run()
{
    sigset_t mask;
    sigemptyset(&mask);
    for (int s : {SIGCHLD, SIGTERM, SIGINT, SIGHUP})
        sigaddset(&mask, s);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    signal(SIGPIPE, SIG_IGN);
    signals_ = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);

    std::string error;
    try {
        error = Start();
    } catch (const Failure &f) {
        error = f.message;
    }
    std::string word = error.empty() ? "ok\n" : OneLine(error) + "\n";
    if (write(task_.readyFd, word.data(), word.size()) < 0) {
    }
    close(task_.readyFd);
    if (!error.empty()) {
        Say(error);
        End(false, "", "");
        return kExitFail;
    }
    Say("device started: session " + sessionId_);
    started_ = true;
    Watch();
    Loop();
    return kExitOk;
}

void Keeper::Loop()
{
    nextWatch_ = NowMs() + kWatchMs;
    while (!ended_) {
        std::vector<pollfd> fds = {{signals_, POLLIN, 0}, {listen_, POLLIN, 0}};
        if (helperOut_ >= 0)
            fds.push_back({helperOut_, POLLIN, 0});
        for (auto &c : clients_)
            fds.push_back({c.first, POLLIN, 0});
        for (auto &o : outputs_)
            fds.push_back({o.first, POLLIN, 0});
        long long now = NowMs(), wake = nextWatch_;
        if (helperBusy_ && helperDeadline_ < wake)
            wake = helperDeadline_;
        int timeout = wake > now ? static_cast<int>(wake - now) : 0;
        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR)
            break;
        // The device's own state first: a process that ended decides what a request gets.
        if (fds[0].revents) {
            signalfd_siginfo si;
            bool stop = false;
            while (read(signals_, &si, sizeof(si)) == sizeof(si))
                stop = stop || si.ssi_signo != SIGCHLD;
            Reap();
            if (stop && !ended_) {
                End(true, CEDEV_END_STOPPED, "");
                break;
            }
        }
        for (size_t i = 2; i < fds.size() && !ended_; ++i) {
            if (!fds[i].revents)
                continue;
            int fd = fds[i].fd;
            if (fd == helperOut_) {
                HelperInput();
            } else if (clients_.count(fd)) {
                ClientInput(clients_.at(fd));
            } else if (outputs_.count(fd)) {
                char buf[65536];
                ssize_t n = read(fd, buf, sizeof(buf));
                if (n > 0) {
                    outputs_[fd].Take(std::string_view(buf, n), false);
                } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    OutputEnded(fd);
                }
            }
        }
        if (!ended_ && fds[1].revents)
            Accept();
        if (!ended_ && helperBusy_ && NowMs() >= helperDeadline_) {
            PidfdKill(children_[helper_].pidfd, SIGKILL);
            HelperLost("did not answer '" + helperCommand_ + "' within " + std::to_string(kHelperWaitMs / 1000) + "s");
        }
        if (!ended_ && NowMs() >= nextWatch_) {
            Watch();
            nextWatch_ = NowMs() + kWatchMs;
        }
        if (!ended_)
            PumpHelper();
    }
}

void Keeper::ChildEnded(pid_t pid, int status)
{
    auto it = children_.find(pid);
    if (it == children_.end())
        return;
    Child &c = it->second;
    c.exited = true;
    c.status = status;
    if (c.pidfd >= 0)
        close(c.pidfd);
    c.pidfd = -1;
    if (c.role == "job" && jobs_.count(c.jobId)) {
        Job &job = jobs_[c.jobId];
        std::string reason;
        if (!ending_ && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL && cgroup_.OomKills() > job.oomAtStart)
            reason = CEDEV_END_MEMORY;
        if (!ending_ && WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ)
            reason = CEDEV_END_FILE_SIZE;
        if (!ending_)
            FinishJob(job, status, reason);
        return;
    }
    // While the device starts, its start waits on these itself.
    if (ending_ || ended_ || !started_)
        return;
    if (c.role == "server" || c.role == "display") {
        std::string what = c.role == "server" ? "Wine server" : "display (Xvfb)";
        Say("the device's " + what + " ended by itself (" + ExitText(status) + ")");
        std::string note = c.role == "server"
                               ? "the device's Wine server had been ended from outside, so its programs were ended "
                                 "too, and the registry changes it had not written yet are lost"
                               : "the device's display (Xvfb) had been ended from outside, so its programs were "
                                 "ended too";
        End(c.role == "display", std::string(CEDEV_END_BROKEN) + ":" + what, note);
    } else if (c.role == "sandbox") {
        Say("the device's sandbox ended (" + ExitText(status) + ")");
        End(false, std::string(CEDEV_END_BROKEN) + ":sandbox",
            "the device's sandbox had ended, and its programs with it");
    } else if (c.role == "helper" && pid == helper_) {
        HelperLost("ended (" + ExitText(status) + ")");
    } else if (c.role == "desktop") {
        Say("the device's desktop holder ended (" + ExitText(status) + ")");
    }
}

void Keeper::FinishJob(Job &job, int status, const std::string &reason)
{
    if (job.done)
        return;
    job.done = true;
    job.code = ExitCodeOf(status);
    job.reason = reason;
    if (job.detached) {
        // What it wrote before it ended is in its pipe: into the log before the exit
        // code is recorded, so that whoever reads the code reads the whole log.
        if (outputs_.count(job.outFd)) {
            char buf[65536];
            ssize_t n;
            while ((n = read(job.outFd, buf, sizeof(buf))) > 0)
                outputs_[job.outFd].Take(std::string_view(buf, n), false);
        }
        WriteRecord(device_.Record("jobs/" + job.id + ".rc"), std::to_string(job.code) + "\n" + reason + "\n", 0644);
        if (job.outFd < 0)
            job.out.reset();
    }
    for (auto &c : clients_) {
        auto &w = c.second.waitingJobs;
        bool wanted = job.client == c.first;
        for (size_t i = 0; i < w.size(); ++i) {
            if (w[i] == job.id) {
                w.erase(w.begin() + i);
                wanted = true;
                break;
            }
        }
        if (wanted)
            Reply(c.first, {"exit", job.id, std::to_string(job.code), reason});
    }
}

void Keeper::Accept()
{
    for (;;) {
        int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;
        clients_.emplace(fd, Client{fd, MessageReader(), {}, {}});
    }
}

void Keeper::DropClient(int fd)
{
    auto it = clients_.find(fd);
    if (it == clients_.end())
        return;
    // A command that went away takes its foreground program with it, as a terminal's
    // end does.
    for (auto &j : jobs_) {
        if (j.second.client == fd && !j.second.done && !j.second.detached) {
            auto c = children_.find(j.second.pid);
            if (c != children_.end())
                PidfdKill(c->second.pidfd, SIGKILL);
            j.second.client = -1;
        }
    }
    for (auto &r : helperQueue_) {
        if (r.client == fd)
            r.client = -1;
    }
    for (int p : it->second.viewPidfds)
        close(p);
    close(fd);
    clients_.erase(it);
}

void Keeper::ClientInput(Client &c)
{
    int fd = c.fd;
    bool open = c.reader.Feed(fd);
    Message m;
    while (clients_.count(fd) && !ended_ && clients_.at(fd).reader.Take(&m)) {
        Handle(clients_.at(fd), m);
        CloseAll(&m.fds);
    }
    if (!ended_ && clients_.count(fd) && (!open || clients_.at(fd).reader.Broken()))
        DropClient(fd);
}

void Keeper::Handle(Client &c, const Message &m)
{
    const std::string &what = m[0];
    if (what == "hello") {
        Reply(c.fd, {"ok", sessionId_, display_, std::to_string(init_), limitsHow_});
    } else if (what == "helper") {
        helperQueue_.push_back({c.fd, std::vector<std::string>(m.fields.begin() + 1, m.fields.end())});
    } else if (what == "spawn") {
        HandleSpawn(c, m);
    } else if (what == "signal") {
        auto j = jobs_.find(m[1]);
        int sig = atoi(m[2].c_str());
        if (j != jobs_.end() && !j->second.done && (sig == SIGINT || sig == SIGTERM || sig == SIGHUP || sig == SIGKILL))
            PidfdKill(children_[j->second.pid].pidfd, sig);
    } else if (what == "waitjob") {
        auto j = jobs_.find(m[1]);
        if (j == jobs_.end())
            Reply(c.fd, {"nojob"});
        else if (j->second.done)
            Reply(c.fd, {"exit", j->first, std::to_string(j->second.code), j->second.reason});
        else
            c.waitingJobs.push_back(m[1]);
    } else if (what == "log") {
        log_.Write(m[1]);
    } else if (what == "view") {
        for (int fd : m.fds)
            c.viewPidfds.push_back(dup(fd));
        Reply(c.fd, {"ok"});
    } else if (what == "stop") {
        int fd = c.fd;
        End(m[1] == "keep", m[2] == "reset" ? CEDEV_END_RESET : CEDEV_END_STOPPED, "");
        Reply(fd, {"stopped"});
    } else {
        Reply(c.fd, {"error", "an unknown request"});
    }
}

// spawn DETACH CWD PROGRAM STDIN FIXED ARGC ARGV... : starts a program of the user's
// in the device. A foreground one's output comes back to the command as descriptors;
// a detached one's goes to its job's log.
void Keeper::HandleSpawn(Client &c, const Message &m)
{
    bool detach = m[1] == "1";
    size_t argc = static_cast<size_t>(atol(m[6].c_str()));
    if (m.size() != 7 + argc || argc == 0) {
        Reply(c.fd, {"error", "a spawn request that is not whole"});
        return;
    }
    SpawnRequest request;
    request.cwd = m[2];
    request.argv.assign(m.fields.begin() + 7, m.fields.end());
    request.env = Env(true);
    request.fixedLayout = m[5] == "1";
    Job job;
    job.id = std::to_string(time(nullptr)) + std::to_string(NowMs() % 1000000000) + std::to_string(jobs_.size());
    job.program = m[3];
    job.detached = detach;
    job.oomAtStart = cgroup_.OomKills();
    std::vector<int> theirs, ours;
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    bool pipes = true;
    if (m[4] == "pipe")
        pipes = pipe2(in, O_CLOEXEC) == 0;
    if (detach) {
        // The jobs directory keeps the newest detached program's record (what 'cedev
        // wait exit' reads) and those still running.
        std::string dir = device_.Record("jobs");
        mkdir(dir.c_str(), 0700);
        if (DIR *d = opendir(dir.c_str())) {
            while (dirent *e = readdir(d)) {
                std::string name = e->d_name, id = name.substr(0, name.find('.'));
                auto running = jobs_.find(id);
                if (name[0] != '.' && name != "last" && (running == jobs_.end() || running->second.done))
                    unlinkat(dirfd(d), e->d_name, 0);
            }
            closedir(d);
        }
        job.out = std::make_unique<DevLog>();
        job.out->Open(device_.Record("jobs/" + job.id + ".log"), limits_.log);
        pipes = pipes && pipe2(out, O_CLOEXEC) == 0;
        if (pipes) {
            err[1] = dup(out[1]);
            SetNonBlocking(out[0]);
            outputs_[out[0]].log = job.out.get();
            job.outFd = out[0];
        }
    } else {
        pipes = pipes && pipe2(out, O_CLOEXEC) == 0 && pipe2(err, O_CLOEXEC) == 0;
    }
    if (!pipes) {
        Reply(c.fd, {"error", std::string("cannot make a pipe (") + strerror(errno) + ")"});
        return;
    }
    request.in = in[0];
    request.out = out[1];
    request.err = err[1];
    std::string error;
    pid_t pid = Spawn(request, "job", &error);
    for (int fd : {in[0], out[1], err[1]})
        if (fd >= 0)
            close(fd);
    if (pid < 0) {
        for (int fd : {in[1], out[0], err[0]})
            if (fd >= 0 && !outputs_.count(fd))
                close(fd);
        Reply(c.fd, {"error", "cannot start " + job.program + " in the device: " + error});
        return;
    }
    children_[pid].jobId = job.id;
    job.pid = pid;
    job.client = detach ? -1 : c.fd;
    std::vector<int> fds;
    if (!detach) {
        fds = {out[0], err[0]};
        if (in[1] >= 0)
            fds.push_back(in[1]);
    } else if (in[1] >= 0) {
        fds = {in[1]};
    }
    std::string id = job.id;
    jobs_.emplace(id, std::move(job));
    Reply(c.fd, {"spawned", id}, fds);
    for (int fd : fds)
        close(fd);
    if (detach)
        WriteRecord(device_.Record("jobs/last"), id + "\n", 0644);
}

void Keeper::PumpHelper()
{
    while (!helperBusy_ && !helperQueue_.empty() && helperIn_ >= 0) {
        HelperRequest &r = helperQueue_.front();
        if (r.client < 0) {
            helperQueue_.pop_front();
            continue;
        }
        std::string frame = Frame(r.args);
        bool given = WriteAll(helperIn_, frame.data(), frame.size());
        helperBusy_ = true;
        helperCommand_ = r.args.empty() ? "" : r.args[0];
        helperDeadline_ = NowMs() + kHelperWaitMs;
        if (!given)
            HelperLost("could not be given '" + helperCommand_ + "'");
    }
}

void Keeper::HelperInput()
{
    char buf[65536];
    for (;;) {
        ssize_t n = read(helperOut_, buf, sizeof(buf));
        if (n > 0) {
            helperBuf_.append(buf, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            break;
        // Its end of the channel closed: the helper ended, which its reaping tells.
        close(helperOut_);
        helperOut_ = -1;
        break;
    }
    while (helperBuf_.size() >= 4) {
        uint32_t size = GetU32(helperBuf_.data());
        if (size > kMaxMessage || size < 12) {
            PidfdKill(children_[helper_].pidfd, SIGKILL);
            HelperLost("answered in a form cedev does not take");
            return;
        }
        if (helperBuf_.size() < 4 + size)
            break;
        // Its exit code, then what it printed and what it said as two fields.
        uint32_t rc = GetU32(helperBuf_.data() + 4);
        std::vector<std::string> printed;
        bool whole = SplitFields(helperBuf_.substr(8, size - 4), &printed) && printed.size() == 2;
        if (!whole || !helperBusy_) {
            PidfdKill(children_[helper_].pidfd, SIGKILL);
            HelperLost("answered in a form cedev does not take");
            return;
        }
        std::string out = printed[0], err = printed[1];
        helperBuf_.erase(0, 4 + size);
        HelperRequest r = helperQueue_.front();
        helperQueue_.pop_front();
        helperBusy_ = false;
        if (r.client >= 0 && clients_.count(r.client))
            Reply(r.client, {"answer", std::to_string(rc), out, err});
    }
}

// The helper ended or failed. If the device's server or display went with it (a Wine
// process ends when they do), the device is broken, which says so; otherwise the request
// fails in one line and a fresh helper serves the next.
void Keeper::HelperLost(const std::string &why)
{
    if (helperIn_ >= 0)
        close(helperIn_);
    if (helperOut_ >= 0)
        close(helperOut_);
    helperIn_ = helperOut_ = -1;
    helperBuf_.clear();
    // A server or display killed from outside ends the helper before its own end is
    // seen here: give it a moment to show.
    std::string ignored;
    WaitUntil([&] { return !ServerAlive() || !DisplayAlive(); }, 3000, -1, &ignored);
    if (!ended_ && !DisplayAlive()) {
        // The user's display, which is not the keeper's child to see end.
        Say("the display " + display_ + " is gone");
        End(false, std::string(CEDEV_END_BROKEN) + ":display",
            "the display " + display_ + " the device's screen was on is gone, so the device's programs were ended too");
    }
    if (ended_)
        return;
    bool wasBusy = helperBusy_;
    helperBusy_ = false;
    Say("cedev's helper " + why + "; starting a fresh one");
    if (wasBusy && !helperQueue_.empty()) {
        HelperRequest r = helperQueue_.front();
        helperQueue_.pop_front();
        if (r.client >= 0 && clients_.count(r.client))
            Reply(r.client, {"error", "the device's helper " + why + "; a fresh one was started"});
    }
    if (helper_ > 0 && children_.count(helper_) && !children_[helper_].exited)
        PidfdKill(children_[helper_].pidfd, SIGKILL);
    std::string error;
    if (!StartHelper(&error)) {
        Say(error);
        if (!ended_)
            End(true, std::string(CEDEV_END_BROKEN) + ":helper", "the device's helper could not be started again: " + error);
    }
}

void Keeper::Watch()
{
    // A device whose folder was removed under it (rm -rf while it ran) has nowhere to
    // keep anything and nobody who can reach it: its processes end rather than run on.
    struct stat st;
    if (fstat(stateFd_, &st) == 0 && st.st_nlink == 0) {
        End(false, CEDEV_END_STOPPED, "");
        return;
    }
    uint64_t bytes, files;
    DiskUse(device_, limits_, &bytes, &files);
    // A device that starts past its limit (a limit lowered, or files left when it was
    // stopped for it) runs, so that its files can be removed; it is stopped when it
    // grows further.
    if (!diskSeen_) {
        diskSeen_ = true;
        diskAtStart_ = bytes;
        filesAtStart_ = files;
    }
    if ((bytes > limits_.disk && bytes > diskAtStart_) || (files > limits_.files && files > filesAtStart_)) {
        std::string what = bytes > limits_.disk ? "its files passed its disk limit of " + SizeText(limits_.disk)
                                                : "its files passed its limit of " + std::to_string(limits_.files) + " files";
        Say("the device was stopped: " + what);
        End(true, CEDEV_END_DISK,
            "the device was stopped: " + what + " (remove some with 'cedev rm', or raise the limit with 'cedev limits')");
        return;
    }
    uint64_t refused = cgroup_.ProcessesRefused();
    if (refused > refused_) {
        Say("the device reached its limit of " + std::to_string(limits_.processes) +
            " processes: a start was refused");
        refused_ = refused;
    }
}

void Keeper::End(bool keepRegistry, const std::string &reason, const std::string &brokenNote)
{
    if (ended_)
        return;
    ending_ = true;
    // Whoever waits for an answer is told why there is none, once the device is gone;
    // when nobody is, the next command says it.
    bool told = false;
    for (HelperRequest &r : helperQueue_)
        told = told || (r.client >= 0 && clients_.count(r.client));
    for (auto &j : jobs_)
        told = told || (!j.second.done && !j.second.detached && j.second.client >= 0);
    if (!brokenNote.empty() && !told)
        WriteRecord(device_.Record("broken"), brokenNote + "\n");
    // A browser view of the screen ends first, before its display does.
    for (auto &c : clients_) {
        for (int p : c.second.viewPidfds)
            PidfdKill(p, SIGTERM);
    }
    long long deadline = NowMs() + 5000;
    for (auto &c : clients_) {
        for (int p : c.second.viewPidfds) {
            pollfd pf = {p, POLLIN, 0};
            long long left = deadline - NowMs();
            if (poll(&pf, 1, left > 0 ? static_cast<int>(left) : 0) != 1)
                PidfdKill(p, SIGKILL);
        }
    }
    std::string why;
    if (keepRegistry && server_ > 0 && ServerAlive() && init_ > 0) {
        // The server writes the registry back as it ends, as a handheld switched off
        // keeps its RAM registry.
        SpawnRequest k;
        k.argv = {kServer, "-k"};
        k.env = Env(false);
        k.out = k.err = LogPipe();
        std::string error;
        pid_t killer = Spawn(k, "task", &error);
        close(k.out);
        if (killer < 0 || !WaitUntil([&] { return !ServerAlive(); }, kEndWaitMs, -1, &why))
            Say("the Wine server did not end by itself; its registry since its last save is lost");
    }
    if (initPidfd_ >= 0)
        PidfdKill(initPidfd_, SIGKILL);
    else if (bwrap_ > 0 && children_.count(bwrap_))
        kill(bwrap_, SIGKILL);
    // Every process of the device is gone once the sandbox's outer process is: its
    // namespace's first process ends last.
    if (bwrap_ > 0 && !WaitUntil([&] { return children_[bwrap_].exited; }, kEndWaitMs, -1, &why))
        Say("the device's processes did not end within " + std::to_string(kEndWaitMs / 1000) + " s");
    Reap();
    // A program ended with the device learns why: the reason, or the note of a bad end.
    std::string end = brokenNote.empty() ? reason : "note:" + brokenNote;
    for (auto &j : jobs_) {
        if (!j.second.done) {
            auto c = children_.find(j.second.pid);
            int status = c != children_.end() && c->second.exited ? c->second.status : SIGKILL;
            FinishJob(j.second, status, end);
        }
    }
    for (auto &o : outputs_) {
        char buf[65536];
        ssize_t n;
        while ((n = read(o.first, buf, sizeof(buf))) > 0)
            o.second.Take(std::string_view(buf, n), false);
        o.second.Take("", true);
        close(o.first);
    }
    outputs_.clear();
    for (auto &c : children_) {
        if (c.second.pidfd >= 0)
            close(c.second.pidfd);
        c.second.pidfd = -1;
    }
    // The records of a running device go; a command that connects now finds none.
    if (listen_ >= 0)
        close(listen_);
    listen_ = -1;
    unlink(device_.Record("keeper.sock").c_str());
    unlink(device_.Record("session").c_str());
    ns_.Close();
    if (initPidfd_ >= 0)
        close(initPidfd_);
    initPidfd_ = -1;
    cgroup_.Remove();
    for (HelperRequest &r : helperQueue_) {
        if (r.client >= 0 && clients_.count(r.client))
            Reply(r.client, {"error", brokenNote.empty() ? "the device was stopped while '" +
                                                               (r.args.empty() ? std::string() : r.args[0]) + "' ran"
                                                         : brokenNote});
    }
    helperQueue_.clear();
    Say("device stop " + Timestamp() + (reason.empty() ? "" : " (" + reason + ")"));
    ended_ = true;
}

}  // namespace

int RunKeeper(const KeeperTask &task)
{
    try {
        Keeper keeper(task);
        return keeper.Run();
    } catch (const Failure &f) {
        std::string line = OneLine(f.message) + "\n";
        if (write(task.readyFd, line.data(), line.size()) < 0) {
        }
        return f.code;
    }
}
