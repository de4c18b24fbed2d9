#include "sandbox.h"
#include "cli.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <linux/nsfs.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char kPasswd[] = "user:x:1000:1000:handheld owner:/tmp/home:/bin/sh\n";
const char kGroup[] = "user:x:1000:\n";

bool Exists(const char *path)
{
    struct stat st;
    return lstat(path, &st) == 0;
}

int MemoryFile(const std::string &text)
{
    int fd = memfd_create("cedev", MFD_CLOEXEC);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        lseek(fd, 0, SEEK_SET) != 0)
        Fail(std::string("cannot prepare a sandbox (") + strerror(errno) + ")");
    return fd;
}

void KeepAcrossExec(int fd)
{
    int flags = fcntl(fd, F_GETFD);
    if (flags >= 0)
        fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC);
}

// The device's limits that hold per process, whatever else the machine offers: the
// size of one file; and without cgroups, the number of processes.
void ApplyRlimits(const Limits &limits, bool cgroups)
{
    rlimit r = {limits.fileSize, limits.fileSize};
    setrlimit(RLIMIT_FSIZE, &r);
    if (!cgroups) {
        rlimit p = {limits.processes, limits.processes};
        setrlimit(RLIMIT_NPROC, &p);
    }
}

void JoinCgroups(const std::vector<int> &procs)
{
    for (int fd : procs) {
        if (write(fd, "0", 1) != 1)
            _exit(125);
    }
}

bool DropToOwner(const Owner &owner)
{
    if (!owner.fromRoot)
        return true;
    return setgroups(0, nullptr) == 0 && setresgid(owner.gid, owner.gid, owner.gid) == 0 &&
           setresuid(owner.uid, owner.uid, owner.uid) == 0;
}

// No capability at all, in any set, and none to be had again.
bool DropCapabilities()
{
    for (int cap = 0; cap <= 63; ++cap)
        prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct h = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct d[2] = {};
    return syscall(SYS_capset, &h, d) == 0 && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
}

void WriteError(int fd, const std::string &what)
{
    std::string m = what + " (" + strerror(errno) + ")";
    if (write(fd, m.data(), m.size()) < 0) {
    }
}

}  // namespace

Bwrap::~Bwrap()
{
    for (int fd : fds_)
        close(fd);
}

void Bwrap::Add(std::initializer_list<std::string> words)
{
    words_.insert(words_.end(), words);
}

void Bwrap::BindFd(int fd, const std::string &dest, bool writable)
{
    fds_.push_back(fd);
    Add({writable ? "--bind-fd" : "--ro-bind-fd", std::to_string(fd), dest});
}

void Bwrap::Data(int fd, const std::string &dest, const char *perms)
{
    fds_.push_back(fd);
    Add({"--perms", perms, "--ro-bind-data", std::to_string(fd), dest});
}

void Bwrap::Text(const std::string &text, const std::string &dest)
{
    Data(MemoryFile(text), dest, "0444");
}

std::vector<std::string> WineEnv()
{
    // Wine's .NET and HTML engines, its debugger, and its menu builder (which writes
    // a desktop's menus at every start) are not part of the handheld.
    return {"PATH=/usr/bin:/bin", "HOME=/tmp/home", "USER=user", "LOGNAME=user", "LANG=C.UTF-8",
            "XDG_CACHE_HOME=/tmp/.cache", "WINEPREFIX=/device", "WINEARCH=win64",
            "WINEDLLOVERRIDES=mscoree,mshtml=;winedbg.exe,winemenubuilder.exe=d"};
}

void SystemBase(Bwrap *b, bool network)
{
    b->Add({"--unshare-user", "--disable-userns", "--unshare-ipc", "--unshare-pid", "--unshare-uts",
            "--unshare-cgroup-try", "--uid", "1000", "--gid", "1000", "--hostname", "handheld"});
    if (!network)
        b->Add({"--unshare-net"});
    b->Add({"--ro-bind", "/usr", "/usr"});
    for (const char *d : {"bin", "sbin", "lib", "lib32", "lib64", "libx32"}) {
        std::string host = std::string("/") + d;
        char target[256];
        ssize_t n = readlink(host.c_str(), target, sizeof(target) - 1);
        if (n > 0) {
            target[n] = 0;
            b->Add({"--symlink", target, host});
        } else if (Exists(host.c_str())) {
            b->Add({"--ro-bind", host, host});
        }
    }
    for (const char *f : {"/etc/fonts", "/etc/ld.so.cache", "/etc/localtime", "/etc/alternatives",
                          "/var/cache/fontconfig"}) {
        if (Exists(f))
            b->Add({"--ro-bind", f, f});
    }
    if (network) {
        for (const char *f : {"/etc/hosts", "/etc/host.conf", "/etc/nsswitch.conf", "/etc/resolv.conf", "/etc/gai.conf"})
            if (Exists(f))
                b->Add({"--ro-bind", f, f});
    }
    b->Text(kPasswd, "/etc/passwd");
    b->Text(kGroup, "/etc/group");
    b->Add({"--proc", "/proc", "--tmpfs", "/dev"});
    for (const char *d : {"null", "zero", "full", "random", "urandom"})
        b->Add({"--dev-bind", std::string("/dev/") + d, std::string("/dev/") + d});
}

int OpenBelow(int root, const std::string &path, int flags)
{
    int at = dup(root);
    if (at < 0)
        return -1;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        std::string name = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        start = slash == std::string::npos ? path.size() + 1 : slash + 1;
        if (name.empty())
            continue;
        bool last = start > path.size();
        int next = openat(at, name.c_str(), (last ? flags : O_PATH | O_DIRECTORY) | O_NOFOLLOW | O_CLOEXEC);
        int saved = errno;
        close(at);
        if (next < 0) {
            errno = saved;
            return -1;
        }
        at = next;
    }
    return at;
}

static int OpenFolder(const std::string &path)
{
    int fd = open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        Fail("cannot open " + path + " (" + strerror(errno) + ")");
    return fd;
}

static int OpenProgram(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        Fail("cannot read " + path + " (" + strerror(errno) + "); install what provides it, or build the project (make)");
    return fd;
}

void DeviceSandbox(Bwrap *b, const Device &device, const Build &build, const Limits &limits, int hostDisplay,
                   const std::string &xauthority)
{
    SystemBase(b, false);
    b->Add({"--size", std::to_string(limits.tmp), "--tmpfs", "/dev/shm"});
    int dir = OpenFolder(device.Dir());
    b->BindFd(dir, "/device", true);
    b->BindFd(OpenFolder(device.Record("tmp")), "/tmp", true);
    b->Add({"--tmpfs", "/device/.cedev"});
    // What the device shares with the template cache, read-only like the handheld's ROM.
    for (const char *shared : {"drive_c/windows/system32", "drive_c/windows/winsxs", "dosdevices"}) {
        int fd = OpenBelow(dir, shared, O_PATH | O_DIRECTORY);
        if (fd >= 0)
            b->BindFd(fd, std::string("/device/") + shared, false);
    }
    // cedev's tools, copied in read-only (into a folder of the sandbox's own, so that
    // nothing of them reaches the device folder): no host path of the build shows inside.
    const std::string tools = "/device/drive_c/windows/cedev";
    b->Add({"--tmpfs", tools});
    if (DIR *d = opendir(build.tools.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string path = build.tools + "/" + e->d_name;
            struct stat st;
            if (e->d_name[0] == '.' || stat(path.c_str(), &st) || !S_ISREG(st.st_mode))
                continue;
            b->Data(OpenProgram(path), tools + "/" + e->d_name, "0555");
        }
        closedir(d);
    }
    b->Add({"--remount-ro", tools});
    // Wine's loader and server, and the display, as programs no process inside can
    // read: each process they become is one no other can trace or reach through /proc.
    std::string xo = device.Record("xo/");
    b->Add({"--ro-bind", xo + "wine64", "/usr/lib/wine/wine64", "--ro-bind", xo + "wineserver64",
            "/usr/lib/wine/wineserver64"});
    if (hostDisplay < 0) {
        b->Add({"--ro-bind", xo + "Xvfb", "/usr/bin/Xvfb"});
    } else {
        std::string socket = "/tmp/.X11-unix/X" + std::to_string(hostDisplay);
        b->Add({"--ro-bind", socket, socket});
        if (!xauthority.empty()) {
            int fd = open(xauthority.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
            if (fd >= 0)
                b->Data(fd, "/tmp/.Xauthority", "0444");
        }
    }
    b->Add({"--chdir", "/device/drive_c", "--die-with-parent"});
}

void OneOffSandbox(Bwrap *b, const Device &device, bool writable, const std::vector<std::string> &programs)
{
    SystemBase(b, false);
    b->BindFd(OpenFolder(device.Dir()), "/device", writable);
    b->Add({"--tmpfs", "/device/.cedev", "--tmpfs", "/tmp"});
    for (const std::string &p : programs)
        b->Data(OpenProgram(p), "/" + p.substr(p.rfind('/') + 1), "0555");
    b->Add({"--chdir", "/device", "--die-with-parent"});
}

pid_t StartBwrap(const Bwrap &b, const std::vector<std::string> &command, const Owner &owner,
                 const SandboxChild &child)
{
    std::string all;
    for (const std::string &w : b.Words())
        all.append(w.c_str(), w.size() + 1);
    int args = MemoryFile(all);
    pid_t pid = fork();
    if (pid < 0)
        Fail(std::string("cannot start a process (") + strerror(errno) + ")");
    if (pid == 0) {
        JoinCgroups(child.cgroupProcs);
        if (child.rlimits)
            ApplyRlimits(*child.rlimits, !child.cgroupProcs.empty());
        if (child.fixedLayout)
            personality(ADDR_NO_RANDOMIZE);
        if (!DropToOwner(owner))
            _exit(126);
        int null = open("/dev/null", O_RDWR);
        if (dup2(child.in >= 0 ? child.in : null, 0) < 0 || dup2(child.out >= 0 ? child.out : null, 1) < 0 ||
            dup2(child.err >= 0 ? child.err : null, 2) < 0)
            _exit(126);
        setsid();
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD})
            signal(s, SIG_DFL);
        for (int fd : b.Fds())
            KeepAcrossExec(fd);
        for (int fd : child.keep)
            KeepAcrossExec(fd);
        KeepAcrossExec(args);
        std::string argsFd = std::to_string(args);
        std::vector<char *> argv = {const_cast<char *>("bwrap"), const_cast<char *>("--args"), argsFd.data(),
                                    const_cast<char *>("--")};
        for (const std::string &c : command)
            argv.push_back(const_cast<char *>(c.c_str()));
        argv.push_back(nullptr);
        const char *env[] = {"PATH=/usr/bin:/bin", nullptr};
        execve("/usr/bin/bwrap", argv.data(), const_cast<char **>(env));
        _exit(127);
    }
    close(args);
    return pid;
}

bool SessionNamespaces::Open(pid_t init)
{
    auto open_ns = [&](const char *name) {
        std::string path = "/proc/" + std::to_string(init) + "/ns/" + name;
        return open(path.c_str(), O_RDONLY | O_CLOEXEC);
    };
    user = open_ns("user");
    pid = open_ns("pid");
    mnt = open_ns("mnt");
    net = open_ns("net");
    ipc = open_ns("ipc");
    uts = open_ns("uts");
    cgroup = open_ns("cgroup");
    if (user < 0 || pid < 0 || mnt < 0 || net < 0 || ipc < 0 || uts < 0)
        return false;
    // The sandbox's user namespace is nested in the one its other namespaces belong to:
    // a process enters that one first, then the sandbox's own.
    outerUser = ioctl(user, NS_GET_PARENT);
    if (outerUser >= 0)
        fcntl(outerUser, F_SETFD, FD_CLOEXEC);
    return outerUser >= 0;
}

void SessionNamespaces::Close()
{
    for (int *fd : {&outerUser, &user, &pid, &mnt, &net, &ipc, &uts, &cgroup}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

pid_t SpawnInside(const SessionNamespaces &ns, const Owner &owner, const std::vector<int> &cgroupProcs,
                  const Limits &limits, const SpawnRequest &request, std::string *error)
{
    int report[2];
    if (pipe2(report, O_CLOEXEC)) {
        *error = std::string("cannot make a pipe (") + strerror(errno) + ")";
        return -1;
    }
    pid_t shim = fork();
    if (shim < 0) {
        *error = std::string("cannot start a process (") + strerror(errno) + ")";
        close(report[0]);
        close(report[1]);
        return -1;
    }
    if (shim == 0) {
        // The shim: joins the device's cgroup and limits, becomes the device's owner,
        // enters the session's namespaces, and starts the process, whose parent is the
        // caller (CLONE_PARENT), in the session's process namespace.
        close(report[0]);
        JoinCgroups(cgroupProcs);
        if (request.oomScore) {
            // Raising it is always allowed; lowering it only to root, before it drops.
            int fd = open("/proc/self/oom_score_adj", O_WRONLY | O_CLOEXEC);
            std::string score = std::to_string(request.oomScore);
            if (fd >= 0) {
                if (write(fd, score.data(), score.size()) < 0) {
                }
                close(fd);
            }
        }
        ApplyRlimits(limits, !cgroupProcs.empty());
        if (!DropToOwner(owner)) {
            WriteError(report[1], "cannot take the device's uid");
            _exit(1);
        }
        if (setns(ns.outerUser, CLONE_NEWUSER) || setns(ns.pid, CLONE_NEWPID) || setns(ns.mnt, CLONE_NEWNS) ||
            setns(ns.net, CLONE_NEWNET) || setns(ns.ipc, CLONE_NEWIPC) || setns(ns.uts, CLONE_NEWUTS) ||
            (ns.cgroup >= 0 && setns(ns.cgroup, CLONE_NEWCGROUP) && errno != EINVAL) ||
            setns(ns.user, CLONE_NEWUSER)) {
            WriteError(report[1], "cannot enter the device's sandbox");
            _exit(1);
        }
        if (setresgid(kInsideUid, kInsideUid, kInsideUid) || setresuid(kInsideUid, kInsideUid, kInsideUid) ||
            !DropCapabilities()) {
            WriteError(report[1], "cannot become the device's user");
            _exit(1);
        }
        if (chdir(request.cwd.c_str())) {
            WriteError(report[1], "cannot enter " + request.cwd);
            _exit(1);
        }
        if (request.fixedLayout)
            personality(ADDR_NO_RANDOMIZE);
        pid_t child = static_cast<pid_t>(syscall(SYS_clone, CLONE_PARENT | SIGCHLD, 0, 0, 0, 0));
        if (child == 0) {
            setsid();
            int null = open("/dev/null", O_RDWR);
            if (dup2(request.in >= 0 ? request.in : null, 0) < 0 || dup2(request.out >= 0 ? request.out : null, 1) < 0 ||
                dup2(request.err >= 0 ? request.err : null, 2) < 0)
                _exit(126);
            // Nothing but 0-2 survives the exec; the report pipe's end closes with it.
            close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            for (int s = 1; s < NSIG; ++s)
                signal(s, SIG_DFL);
            std::vector<char *> argv, envp;
            for (const std::string &a : request.argv)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            for (const std::string &e : request.env)
                envp.push_back(const_cast<char *>(e.c_str()));
            envp.push_back(nullptr);
            execve(request.path.empty() ? argv[0] : request.path.c_str(), argv.data(), envp.data());
            WriteError(report[1], "cannot run " + request.argv[0]);
            _exit(127);
        }
        if (child < 0) {
            WriteError(report[1], "cannot start a process in the device");
            _exit(1);
        }
        char pidText[16];
        snprintf(pidText, sizeof(pidText), "%11d", child);
        if (write(report[1], pidText, 11) != 11)
            _exit(1);
        _exit(0);
    }
    close(report[1]);
    // The shim's report: the process's pid, then nothing more unless it could not run.
    std::string got;
    char buf[512];
    ssize_t n;
    while ((n = read(report[0], buf, sizeof(buf))) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        got.append(buf, n);
    }
    close(report[0]);
    int status;
    while (waitpid(shim, &status, 0) < 0 && errno == EINTR) {
    }
    pid_t child = -1;
    if (got.size() >= 11 && got.find_first_not_of(" 0123456789") >= 11)
        child = static_cast<pid_t>(atol(got.substr(0, 11).c_str()));
    std::string rest = child > 0 ? got.substr(11) : got;
    if (!rest.empty()) {
        *error = rest;
        if (child > 0) {
            // It could not run its program: it has ended, or is about to.
            int st;
            while (waitpid(child, &st, 0) < 0 && errno == EINTR) {
            }
        }
        return -1;
    }
    if (child <= 0)
        *error = "cannot start a process in the device";
    return child;
}
