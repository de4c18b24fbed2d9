// cedev-seal enter: starts a command that enters a device (nsenter, or bwrap for the
// device's first process) so that nothing of the caller reaches inside: the command runs
// in a session of its own, without a controlling terminal, with descriptors 0-2 only and
// the environment it is given. Its input and output are pipes to this process, which
// passes them on (as data, escaped where they are text), so that no program inside ever
// holds a descriptor of the caller: not its terminal, not its files, not even through
// /proc/PID/fd of another process inside.
#include "seal.h"
#include "text.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/mman.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

// After the command has ended, what it started may still hold its output; that is read
// for this long at most.
const int kDrainMs = 2000;

struct Options {
    std::vector<std::string> env;
    std::string in;         // a host file for the command's input; /dev/null when empty
    std::string log;        // a file that gets the command's output, also after it ends
    std::string wineLines;  // a file that gets Wine's own messages from the command's stderr
    std::string out = "raw", err = "raw";
    std::vector<int> keep;  // descriptors handed on as they are
    bool argsFd = false;    // bwrap: the arguments through a descriptor, out of sight
    std::vector<char *> command;
};

long long NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

bool WriteAll(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= w;
    }
    return true;
}

// One output stream of the command, passed on to a descriptor of ours.
struct Stream {
    int from = -1;  // the pipe's reading end
    int to = -1;
    TextMode mode = TextMode::Raw;
    std::string carry;
    bool broken = false;      // its reader went away: the rest is read and dropped
    int wineFd = -1;          // Wine's own messages go here, a line at a time
    std::string line;

    void Emit(std::string_view piece, bool last)
    {
        std::string out;
        EscapeText(piece, mode, last, &carry, &out);
        if (!broken && !out.empty() && !WriteAll(to, out.data(), out.size()))
            broken = true;
    }

    // Wine prefixes its messages with a thread id and a class, or with "wine: ".
    static bool IsWineLine(const std::string &l)
    {
        if (l.compare(0, 6, "wine: ") == 0)
            return true;
        size_t colon = l.find(':');
        if (colon == 0 || colon == std::string::npos || l.find_first_not_of("0123456789abcdef") != colon)
            return false;
        for (const char *c : {"err:", "fixme:", "warn:", "trace:"}) {
            if (l.compare(colon + 1, strlen(c), c) == 0)
                return true;
        }
        return false;
    }

    void Take(const char *p, size_t n, bool last)
    {
        if (wineFd < 0) {
            Emit(std::string_view(p, n), last);
            return;
        }
        line.append(p, n);
        size_t start = 0, nl;
        while ((nl = line.find('\n', start)) != std::string::npos || (last && start < line.size())) {
            size_t end = nl == std::string::npos ? line.size() : nl + 1;
            std::string l = line.substr(start, end - start);
            if (IsWineLine(l)) {
                std::string escaped, c;
                EscapeText(l, TextMode::Text, true, &c, &escaped);
                WriteAll(wineFd, escaped.data(), escaped.size());
            } else {
                Emit(l, false);
            }
            start = end;
        }
        line.erase(0, start);
        if (last)
            Emit("", true);
    }
};

TextMode ModeFor(const std::string &name, int fd)
{
    if (name == "text")
        return TextMode::Text;
    if (name == "tty")
        return isatty(fd) ? TextMode::Program : TextMode::Raw;
    return TextMode::Raw;
}

int OpenAppend(const std::string &path)
{
    return open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
}

// The command's input: a regular host file, opened without waiting (a FIFO put in its
// place cannot hang us).
int OpenInput(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Fail("cannot read " + path + " (" + strerror(errno) + ")");
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) || !S_ISREG(st.st_mode)) {
        close(fd);
        Fail("cannot read " + path + ": it is not a regular file");
        return -1;
    }
    fcntl(fd, F_SETFL, 0);
    return fd;
}

// Closes every descriptor from 3 up but those in keep.
void CloseOthers(const std::vector<int> &keep)
{
    unsigned from = 3;
    std::vector<int> sorted = keep;
    std::sort(sorted.begin(), sorted.end());
    for (int k : sorted) {
        if (k >= static_cast<int>(from)) {
            if (k > static_cast<int>(from))
                close_range(from, k - 1, 0);
            from = k + 1;
        }
    }
    close_range(from, ~0U, 0);
}

// The child: a new session, the given descriptors as 0-2, nothing else, and the given
// environment. Never returns.
[[noreturn]] void Exec(const Options &o, int in, int out, int err)
{
    setsid();
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD})
        signal(s, SIG_DFL);
    if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
        _exit(126);
    CloseOthers(o.keep);
    std::vector<char *> argv = o.command;
    std::string fdText;
    if (o.argsFd) {
        // bwrap reads its options from a descriptor, so that its command line, which the
        // device can read as /proc/1/cmdline, holds no host path; the command after "--"
        // stays.
        int m = memfd_create("args", 0);
        std::string all;
        size_t i = 1;
        for (; i < argv.size() && strcmp(argv[i], "--"); ++i)
            all.append(argv[i], strlen(argv[i]) + 1);
        if (m < 0 || !WriteAll(m, all.data(), all.size()) || lseek(m, 0, SEEK_SET) != 0)
            _exit(126);
        fdText = std::to_string(m);
        std::vector<char *> rest(argv.begin() + i, argv.end());
        argv = {o.command[0], const_cast<char *>("--args"), fdText.data()};
        argv.insert(argv.end(), rest.begin(), rest.end());
    }
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (const std::string &e : o.env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    execvpe(argv[0], argv.data(), envp.data());
    fprintf(stderr, "cedev: cannot run %s (%s)\n", argv[0], strerror(errno));
    _exit(127);
}

int ExitCode(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
}

// --log: the command's output goes to a file, through a process of its own that keeps
// reading as long as anything the command started holds the output (a display or a
// Wine server lives until the device stops), and then ends.
int RunLogged(const Options &o)
{
    int logFd = OpenAppend(o.log);
    if (logFd < 0)
        return Fail("cannot write the device's log " + o.log + " (" + strerror(errno) + ")");
    int p[2];
    if (pipe2(p, O_CLOEXEC))
        return Fail(std::string("cannot make a pipe (") + strerror(errno) + ")");
    pid_t copier = fork();
    if (copier < 0)
        return Fail(std::string("cannot start a process (") + strerror(errno) + ")");
    if (copier == 0) {
        // It holds nothing of the caller's: not its output, which it would keep open.
        setsid();
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        close(p[1]);
        CloseOthers({p[0], logFd});
        std::string carry, out;
        char buf[65536];
        for (;;) {
            ssize_t n = read(p[0], buf, sizeof(buf));
            if (n < 0 && errno == EINTR)
                continue;
            out.clear();
            EscapeText(std::string_view(buf, n > 0 ? n : 0), TextMode::Text, n <= 0, &carry, &out);
            WriteAll(logFd, out.data(), out.size());
            if (n <= 0)
                _exit(0);
        }
    }
    int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_t child = fork();
    if (child == 0)
        Exec(o, in, p[1], p[1]);
    close(p[0]);
    close(p[1]);
    for (int k : o.keep)
        close(k);  // the command's alone now: its reader sees its end when the command closes it
    if (child < 0)
        return Fail(std::string("cannot start a process (") + strerror(errno) + ")");
    int status;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return ExitCode(status);
}

int Relay(const Options &o)
{
    // Signals that would end us reach the command instead, through a descriptor.
    sigset_t mask;
    sigemptyset(&mask);
    for (int s : {SIGCHLD, SIGINT, SIGTERM, SIGHUP})
        sigaddset(&mask, s);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    signal(SIGPIPE, SIG_IGN);
    int sfd = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);

    int inFile = -1, inPipe[2] = {-1, -1};
    if (!o.in.empty()) {
        if ((inFile = OpenInput(o.in)) < 0)
            return kFail;
        if (pipe2(inPipe, O_CLOEXEC))
            return Fail(std::string("cannot make a pipe (") + strerror(errno) + ")");
    }
    int outPipe[2], errPipe[2];
    if (sfd < 0 || pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC))
        return Fail(std::string("cannot make a pipe (") + strerror(errno) + ")");
    int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_t child = fork();
    if (child < 0)
        return Fail(std::string("cannot start a process (") + strerror(errno) + ")");
    if (child == 0)
        Exec(o, inFile >= 0 ? inPipe[0] : null, outPipe[1], errPipe[1]);
    close(outPipe[1]);
    close(errPipe[1]);
    for (int k : o.keep)
        close(k);
    if (inFile >= 0) {
        close(inPipe[0]);
        fcntl(inPipe[1], F_SETFL, O_NONBLOCK);
    }

    Stream streams[2];
    streams[0].from = outPipe[0];
    streams[0].to = 1;
    streams[0].mode = ModeFor(o.out, 1);
    streams[1].from = errPipe[0];
    streams[1].to = 2;
    streams[1].mode = ModeFor(o.err, 2);
    if (!o.wineLines.empty())
        streams[1].wineFd = OpenAppend(o.wineLines);

    std::string pending;  // read from the input file, not yet taken by the pipe
    bool inputDone = inFile < 0;
    int status = 0;
    bool exited = false;
    long long deadline = 0;
    char buf[65536];
    while (streams[0].from >= 0 || streams[1].from >= 0 || !exited) {
        pollfd fds[4];
        int n = 0;
        fds[n++] = {sfd, POLLIN, 0};
        for (Stream &s : streams) {
            if (s.from >= 0)
                fds[n++] = {s.from, POLLIN, 0};
        }
        int inSlot = -1;
        if (!inputDone) {
            inSlot = n;
            fds[n++] = {inPipe[1], POLLOUT, 0};
        }
        int timeout = -1;
        if (exited) {
            long long left = deadline - NowMs();
            if (left <= 0)
                break;
            timeout = static_cast<int>(left);
        }
        if (poll(fds, n, timeout) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo si;
            while (read(sfd, &si, sizeof(si)) == sizeof(si)) {
                if (si.ssi_signo == SIGCHLD) {
                    if (!exited && waitpid(child, &status, WNOHANG) == child) {
                        exited = true;
                        deadline = NowMs() + kDrainMs;
                    }
                } else if (!exited) {
                    kill(-child, si.ssi_signo);
                }
            }
        }
        for (int i = 1; i < n; ++i) {
            if (i == inSlot || !fds[i].revents)
                continue;
            for (Stream &s : streams) {
                if (s.from != fds[i].fd)
                    continue;
                ssize_t r = read(s.from, buf, sizeof(buf));
                if (r < 0 && errno == EINTR)
                    continue;
                if (r <= 0) {
                    s.Take(nullptr, 0, true);
                    close(s.from);
                    s.from = -1;
                } else {
                    s.Take(buf, r, false);
                }
            }
        }
        if (inSlot >= 0 && fds[inSlot].revents) {
            if (pending.empty()) {
                ssize_t r = read(inFile, buf, sizeof(buf));
                if (r > 0)
                    pending.assign(buf, r);
                else if (r == 0 || errno != EINTR)
                    inputDone = true;
            }
            if (!pending.empty()) {
                ssize_t w = write(inPipe[1], pending.data(), pending.size());
                if (w > 0)
                    pending.erase(0, w);
                else if (w < 0 && errno != EAGAIN && errno != EINTR)
                    inputDone = true;  // the command stopped reading
            }
            if (inputDone) {
                close(inPipe[1]);
                close(inFile);
            }
        }
    }
    for (Stream &s : streams) {
        if (s.from >= 0)
            s.Take(nullptr, 0, true);
    }
    if (!exited) {
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }
    return ExitCode(status);
}

}  // namespace

int Enter(int argc, char **argv)
{
    Options o;
    int i = 0;
    auto value = [&](std::string *to) {
        if (i + 1 >= argc)
            return false;
        *to = argv[++i];
        return true;
    };
    for (; i < argc; ++i) {
        std::string a = argv[i], v;
        if (a == "--") {
            ++i;
            break;
        }
        if (a == "--env" && value(&v))
            o.env.push_back(v);
        else if (a == "--in" && value(&v))
            o.in = v;
        else if (a == "--log" && value(&v))
            o.log = v;
        else if (a == "--wine-lines" && value(&v))
            o.wineLines = v;
        else if ((a == "--out" || a == "--err") && value(&v) && (v == "raw" || v == "text" || v == "tty"))
            (a == "--out" ? o.out : o.err) = v;
        else if (a == "--keep-fd" && value(&v) && atoi(v.c_str()) > 2)
            o.keep.push_back(atoi(v.c_str()));
        else if (a == "--args-fd")
            o.argsFd = true;
        else
            return Usage();
    }
    for (; i < argc; ++i)
        o.command.push_back(argv[i]);
    if (o.command.empty() || (!o.log.empty() && !o.in.empty()))
        return Usage();
    return o.log.empty() ? Relay(o) : RunLogged(o);
}
