#include "device.h"
#include "cli.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

long long NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

Build Build::Find()
{
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0)
        Fail("cannot tell where cedev is installed (/proc/self/exe)");
    path[n] = 0;
    std::string exe = path;
    Build b;
    b.bin = exe.substr(0, exe.rfind('/'));
    b.tools = b.bin + "/device-tools";
    return b;
}

Owner Owner::ForCaller()
{
    if (geteuid() != 0)
        return {getuid(), getgid(), false};
    uid_t uid = kDefaultDeviceUid;
    if (const char *text = getenv("CEDEV_UID")) {
        char *end;
        unsigned long v = strtoul(text, &end, 10);
        if (!*text || *end || v == 0 || v >= 0xffffffffUL || v == 65535)
            UsageError(std::string("CEDEV_UID is the unprivileged uid that devices made by root run as, not '") +
                       text + "'");
        uid = static_cast<uid_t>(v);
    }
    return {uid, static_cast<gid_t>(uid), true};
}

Device::Device(const std::string &folder)
{
    char *real = realpath(folder.c_str(), nullptr);
    if (real) {
        dir_ = real;
        free(real);
    } else {
        // A folder yet to be made: its parent must be there.
        std::string f = folder;
        while (f.size() > 1 && f.back() == '/')
            f.pop_back();
        size_t slash = f.rfind('/');
        std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : f.substr(0, slash);
        std::string name = slash == std::string::npos ? f : f.substr(slash + 1);
        char *p = realpath(parent.c_str(), nullptr);
        if (!p || name.empty() || name == "." || name == "..") {
            free(p);
            dir_ = f;
        } else {
            dir_ = std::string(p) + (strcmp(p, "/") ? "/" : "") + name;
            free(p);
        }
    }
    state_ = dir_ + "/.cedev";
}

bool Device::Exists() const
{
    struct stat st;
    return stat(Record("device").c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void Device::Need() const
{
    if (!Exists())
        Fail("no device at " + dir_ + " (create it with 'cedev init')");
}

bool Device::Target() const
{
    std::string kind;
    return ReadRecord(Record("device"), &kind) && kind.compare(0, 6, "target") == 0;
}

// The limits record: one "key=value" line each.
const struct {
    const char *key;
    uint64_t Limits::*value;
} kLimitKeys[] = {{"memory", &Limits::memory}, {"processes", &Limits::processes}, {"file-size", &Limits::fileSize},
                  {"disk", &Limits::disk},     {"files", &Limits::files},         {"log", &Limits::log},
                  {"shm", &Limits::tmp}};

Limits Device::ReadLimits() const
{
    Limits l;
    std::string text;
    if (!ReadRecord(Record("limits"), &text))
        return l;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        std::string line = text.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
        at = nl == std::string::npos ? text.size() : nl + 1;
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        uint64_t v = strtoull(line.c_str() + eq + 1, nullptr, 10);
        for (const auto &k : kLimitKeys) {
            if (v && line.compare(0, eq, k.key) == 0)
                l.*k.value = v;
        }
    }
    return l;
}

void Device::WriteLimits(const Limits &l) const
{
    std::string text;
    for (const auto &k : kLimitKeys)
        text += std::string(k.key) + "=" + std::to_string(l.*k.value) + "\n";
    if (!WriteRecord(Record("limits"), text))
        Fail("cannot write the device's limits in " + state_ + " (" + strerror(errno) + ")");
}

bool FileLock::Take(const std::string &path, int how, int timeoutMs)
{
    if (fd_ >= 0 && how_ == how)
        return true;
    if (fd_ < 0) {
        fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd_ < 0)
            return false;
    }
    long long deadline = NowMs() + timeoutMs;
    for (;;) {
        if (flock(fd_, how | LOCK_NB) == 0) {
            how_ = how;
            return true;
        }
        if (errno != EWOULDBLOCK && errno != EINTR)
            break;
        if (NowMs() >= deadline)
            break;
        usleep(10000);
    }
    if (!how_) {
        close(fd_);
        fd_ = -1;
    }
    return false;
}

void FileLock::Release()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
    how_ = 0;
}

void LockDevice(const Device &device, FileLock *lock, int how)
{
    if (lock->Held() && (lock->How() == LOCK_EX || how == LOCK_SH))
        return;
    if (!lock->Take(device.Record("lock"), how, 60000)) {
        if (errno == EWOULDBLOCK || errno == EINTR || errno == 0)
            Fail("timed out after 60s waiting for another cedev command on " + device.Dir());
        Fail("cannot lock the device at " + device.Dir() + " (" + strerror(errno) + ")");
    }
}

bool WriteRecord(const std::string &path, const std::string &text, mode_t mode)
{
    std::string tmp = path + ".new";
    unlink(tmp.c_str());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = close(fd) == 0 && ok;
    if (ok && rename(tmp.c_str(), path.c_str()) == 0)
        return true;
    unlink(tmp.c_str());
    return false;
}

bool ReadRecord(const std::string &path, std::string *text)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st;
    if (fstat(fd, &st) || !S_ISREG(st.st_mode) || st.st_size > (1 << 20)) {
        close(fd);
        return false;
    }
    text->clear();
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0)
        text->append(buf, n);
    close(fd);
    return n == 0;
}
