#include "session.h"
#include "cli.h"
#include "keeper.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <regex>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const int kStartWaitMs = 90000;  // the keeper's own bounds, and a little more
const int kAnswerWaitMs = 90000;

}  // namespace

int HostDisplayNumber()
{
    const char *mode = getenv("CEDEV_DISPLAY");
    std::string m = mode ? mode : "";
    if (m == "private")
        return -1;
    if (!m.empty() && m != "host")
        UsageError("CEDEV_DISPLAY is 'private' or 'host', not '" + m + "'");
    const char *display = getenv("DISPLAY");
    if (!display || !*display)
        return -1;
    std::smatch match;
    std::string d = display;
    if (!std::regex_match(d, match, std::regex("^(unix)?:([0-9]+)(\\.[0-9]+)?$")))
        Fail("the display '" + d + "' is not a local one, and a sealed device has no network; set CEDEV_DISPLAY=private "
             "to use a private screen");
    std::string socket = "/tmp/.X11-unix/X" + match[2].str();
    struct stat st;
    if (stat(socket.c_str(), &st) || !S_ISSOCK(st.st_mode))
        Fail("the display '" + d + "' has no socket " + socket);
    return atoi(match[2].str().c_str());
}

bool TakeBrokenNote(const Device &device, std::string *note)
{
    std::string taken = device.Record("broken.taken." + std::to_string(getpid()));
    if (rename(device.Record("broken").c_str(), taken.c_str()))
        return false;
    bool ok = ReadRecord(taken, note);
    unlink(taken.c_str());
    while (ok && !note->empty() && note->back() == '\n')
        note->pop_back();
    // The keeper writes it as the device begins to end: the command that says so
    // returns once the device has ended.
    FileLock keeper;
    keeper.Take(device.Record("keeper.lock"), LOCK_SH, 30000);
    return ok && !note->empty();
}

Session::~Session()
{
    if (fd_ >= 0)
        close(fd_);
}

bool Session::Connect()
{
    if (fd_ >= 0)
        return true;
    std::string note;
    if (TakeBrokenNote(device_, &note))
        Fail(note);
    int state = open(device_.State().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (state < 0)
        return false;
    sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof(a.sun_path), "/proc/self/fd/%d/keeper.sock", state);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0;
    close(state);
    if (!ok) {
        if (fd >= 0)
            close(fd);
        return false;
    }
    fd_ = fd;
    reader_ = MessageReader();
    Message m;
    if (!Send({"hello"}) || !Next(&m, 60000) || m[0] != "ok") {
        close(fd_);
        fd_ = -1;
        // A device that was ending as this came in has said why by now.
        if (TakeBrokenNote(device_, &note))
            Fail(note);
        return false;
    }
    display_ = m[2];
    return true;
}

void Session::Ensure(bool noStart, FileLock *held)
{
    if (Connect())
        return;
    if (noStart)
        Fail("the device is off; nothing is on its screen (start a program with 'cedev run')");
    FileLock own;
    FileLock *lock = held ? held : &own;
    bool hadAlone = lock->Held() && lock->How() == LOCK_EX;
    if (lock->Held() && !hadAlone)
        Fail("internal error: a device start under a shared lock");
    LockDevice(device_, lock, LOCK_EX);
    if (!Connect())
        Start();
    if (!hadAlone && lock == &own)
        own.Release();
}

void Session::EnsureShared(FileLock *lock)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        Ensure(false, lock);
        LockDevice(device_, lock, LOCK_SH);
        Message m;
        if (Send({"hello"}) && Next(&m, 20000) && m[0] == "ok")
            return;
        close(fd_);
        fd_ = -1;
        reader_ = MessageReader();
        lock->Release();
    }
    Fail("the device keeps stopping while this command waits for it");
}

void Session::Start()
{
    // A keeper that is still ending holds its lock until it is gone.
    FileLock keeper;
    if (!keeper.Take(device_.Record("keeper.lock"), LOCK_EX, 30000))
        Fail("the device's previous session did not end within 30 s (see " + device_.Record("log") + ")");
    keeper.Release();
    int hostDisplay = HostDisplayNumber();
    std::string xauth;
    if (hostDisplay >= 0) {
        xauth = UserXauthority();
        struct stat st;
        if (stat(xauth.c_str(), &st) || !S_ISREG(st.st_mode))
            xauth.clear();
    }
    const char *debug = getenv("CEDEV_WINEDEBUG");
    int ready[2];
    if (pipe2(ready, O_CLOEXEC))
        Fail(std::string("cannot make a pipe (") + strerror(errno) + ")");
    pid_t pid = fork();
    if (pid < 0)
        Fail(std::string("cannot start the device's keeper (") + strerror(errno) + ")");
    if (pid == 0) {
        // The keeper holds nothing of the caller's: not its terminal, not its output.
        setsid();
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
        fcntl(ready[1], F_SETFD, 0);
        std::string exe = build_.bin + "/cedev";
        std::string fd = std::to_string(ready[1]), display = std::to_string(hostDisplay);
        const char *argv[] = {"cedev",       "__keeper",    device_.Dir().c_str(), fd.c_str(), display.c_str(),
                              xauth.c_str(), debug ? debug : "", nullptr};
        std::string uid = getenv("CEDEV_UID") ? std::string("CEDEV_UID=") + getenv("CEDEV_UID") : "";
        const char *env[] = {"PATH=/usr/bin:/bin", uid.empty() ? nullptr : uid.c_str(), nullptr};
        execve("/proc/self/exe", const_cast<char **>(argv), const_cast<char **>(env));
        _exit(127);
    }
    close(ready[1]);
    std::string word;
    pollfd p = {ready[0], POLLIN, 0};
    long long deadline = NowMs() + kStartWaitMs;
    while (word.find('\n') == std::string::npos) {
        long long left = deadline - NowMs();
        if (left <= 0)
            break;
        if (poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        char buf[512];
        ssize_t n = read(ready[0], buf, sizeof(buf));
        if (n <= 0)
            break;
        word.append(buf, n);
    }
    close(ready[0]);
    if (word.find('\n') != std::string::npos)
        word.resize(word.find('\n'));
    if (word == "ok") {
        if (!Connect())
            Fail("the device started but its keeper does not answer (see " + device_.Record("log") + ")");
        return;
    }
    if (word.empty())
        Fail("the device did not start within " + std::to_string(kStartWaitMs / 1000) + "s (see " +
             device_.Record("log") + ")");
    Fail(word);
}

bool Session::Send(const std::vector<std::string> &fields, std::vector<int> fds)
{
    Message m;
    m.fields = fields;
    m.fds = std::move(fds);
    return fd_ >= 0 && SendMessage(fd_, m);
}

bool Session::Next(Message *m, int timeoutMs, bool *timedOut)
{
    return fd_ >= 0 && ReceiveMessage(fd_, &reader_, m, timeoutMs, timedOut);
}

std::string UserXauthority()
{
    const char *x = getenv("XAUTHORITY");
    const char *home = getenv("HOME");
    return x && *x ? x : std::string(home ? home : "/nonexistent") + "/.Xauthority";
}

std::string HelperReason(const HelperAnswer &a, const std::string &otherwise)
{
    return a.err.size() > 7 ? a.err.substr(7, a.err.find('\n') - 7) : otherwise;
}

std::string Session::LostWhy(const std::string &what)
{
    std::string note;
    // The keeper writes a bad end down before it goes.
    for (int i = 0; i < 50 && !TakeBrokenNote(device_, &note); ++i) {
        FileLock keeper;
        if (keeper.Take(device_.Record("keeper.lock"), LOCK_SH, 0))
            break;
        usleep(20000);
    }
    // A keeper that has let go of its lock wrote its note before it did.
    if (note.empty())
        TakeBrokenNote(device_, &note);
    return note.empty() ? "the device was stopped while '" + what + "' ran" : note;
}

Message Session::Ask(const std::vector<std::string> &fields, int timeoutMs, std::vector<int> fds)
{
    Message m;
    bool timedOut = false;
    if (!Send(fields, std::move(fds)) || !Next(&m, timeoutMs, &timedOut)) {
        if (timedOut)
            Fail("the device did not answer within " + std::to_string(timeoutMs / 1000) + "s");
        Fail(LostWhy(fields.size() > 1 ? fields[1] : fields[0]));
    }
    return m;
}

HelperAnswer Session::Helper(const std::vector<std::string> &args)
{
    std::vector<std::string> fields = {"helper"};
    fields.insert(fields.end(), args.begin(), args.end());
    Message m = Ask(fields, kAnswerWaitMs);
    if (m[0] == "error")
        Fail(m[1]);
    if (m[0] != "answer" || m.size() != 4)
        Fail("the device's keeper answered in a form cedev does not take");
    return {atoi(m[1].c_str()), m[2], m[3]};
}
