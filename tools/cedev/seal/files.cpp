// rm and put: the device's files changed from inside its sandbox, where nothing but the
// device can be reached. The path comes normalised by the helper ("Flash Disk\x", names
// joined by '\', empty for the root) and is walked one folder at a time from the root:
// no link or mount point on the way is followed, a link named is removed itself and
// never what it points to, and only regular files are replaced, so that nothing a
// program inside plants (a link, a FIFO) can turn cedev to another file or hang it.
#include "files.h"
#include "names.h"
#include "../report.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// A descriptor that closes itself.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    Fd(Fd &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Fd &operator=(Fd &&o) noexcept
    {
        std::swap(fd_, o.fd_);
        return *this;
    }
    ~Fd()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    int get() const { return fd_; }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

std::string Reason(int err)
{
    switch (err) {
    case ENOENT: return "no such file or folder";
    case EROFS: return "it is read-only, like the handheld's ROM";
    case EACCES:
    case EPERM: return "access denied";
    case ENOTEMPTY:
    case EEXIST: return "the folder is not empty (use -r)";
    case ENOSPC:
    case EDQUOT: return "the disk is full";
    case ENAMETOOLONG: return "the name is too long";
    case EBUSY: return "it is a mount point";
    }
    return strerror(err);
}

const char kLinkRule[] = "is a link or a mount point, and cedev does not follow them";

// The folders of a device's root that it was made with; none of them is ever removed.
const char *const kDeviceFolders[] = {"Windows", "Program Files", "Program Files (x86)", "ProgramData", "users",
                                      "Flash Disk"};

bool Same(const std::string &a, const char *b)
{
    return !strcasecmp(a.c_str(), b);
}

// Where a path leads: the folder that holds its last name, with the names on the way as
// they are on disk.
struct Place {
    Fd dir;                          // the folder holding the last name (the root for the root)
    std::vector<std::string> names;  // every name, as on disk where it exists
    bool exists = false;             // whether the last name is there
    struct stat st = {};             // and what it is, links not followed

    std::string Shown() const
    {
        std::string s;
        for (const std::string &n : names)
            s += "\\" + n;
        return s.empty() ? "\\" : s;
    }
};

// Finds NAME in a folder: as it is, or else without regard to ASCII case, as the device
// matches names.
bool Find(int dir, const std::string &name, std::string *found, struct stat *st)
{
    if (!fstatat(dir, name.c_str(), st, AT_SYMLINK_NOFOLLOW)) {
        *found = name;
        return true;
    }
    if (errno != ENOENT)
        return false;
    int copy = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *d = copy >= 0 ? fdopendir(copy) : nullptr;
    if (!d) {
        if (copy >= 0)
            close(copy);
        errno = ENOENT;
        return false;
    }
    bool ok = false;
    while (dirent *e = readdir(d)) {
        if (!strcasecmp(e->d_name, name.c_str()) && !fstatat(dir, e->d_name, st, AT_SYMLINK_NOFOLLOW)) {
            *found = e->d_name;
            ok = true;
            break;
        }
    }
    closedir(d);
    errno = ENOENT;
    return ok;
}

// Walks to a path from the root. Fails, with its message printed, when a folder on the
// way is missing, a link, or not a folder.
// make: folders missing on the way are made (the last name's too).
bool Walk(const char *root, const std::string &path, Place *place, int *rc, bool make = false)
{
    std::vector<std::string> names;
    std::string problem = SplitDevicePath(path, &names);
    if (!problem.empty()) {
        *rc = Fail(problem);
        return false;
    }
    place->dir = Fd(open(root, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (place->dir.get() < 0) {
        *rc = Fail(std::string("the device's root cannot be opened (") + strerror(errno) + ")");
        return false;
    }
    for (size_t i = 0; i < names.size(); ++i) {
        std::string found;
        bool there = Find(place->dir.get(), names[i], &found, &place->st);
        if (!there && make && errno == ENOENT && mkdirat(place->dir.get(), names[i].c_str(), 0755) == 0) {
            found = names[i];
            there = fstatat(place->dir.get(), found.c_str(), &place->st, AT_SYMLINK_NOFOLLOW) == 0;
        }
        place->names.push_back(there ? found : names[i]);
        if (i + 1 == names.size()) {
            place->exists = there;
            break;
        }
        if (!there) {
            *rc = Fail(place->Shown() + ": " + Reason(errno));
            return false;
        }
        if (S_ISLNK(place->st.st_mode)) {
            *rc = Fail(place->Shown() + " " + kLinkRule);
            return false;
        }
        Fd next(openat(place->dir.get(), found.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (next.get() < 0) {
            *rc = Fail(place->Shown() + ": " + (errno == ELOOP ? kLinkRule : errno == ENOTDIR ? "not a folder"
                                                                                              : Reason(errno)));
            return false;
        }
        place->dir = std::move(next);
    }
    return true;
}

bool IsDeviceFolder(const Place &p)
{
    const std::vector<std::string> &n = p.names;
    if (n.empty())
        return true;
    if (n.size() == 1) {
        for (const char *top : kDeviceFolders) {
            if (Same(n[0], top))
                return true;
        }
    }
    // Each user's folder, and every folder of \Windows.
    return (n.size() == 2 && Same(n[0], "users")) || (Same(n[0], "Windows") && S_ISDIR(p.st.st_mode));
}

bool IsMountRoot(int dir, const char *name)
{
    struct statx sx;
    return !statx(dir, name, AT_SYMLINK_NOFOLLOW, 0, &sx) && (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) &&
           (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT);
}

// Everything in a folder that a removal would meet, checked before anything goes: no
// link or mount point in it, and every folder in it writable. Returns what stops it.
std::string CheckTree(int dir, const std::string &shown)
{
    if (faccessat(dir, ".", W_OK | X_OK, 0))
        return shown + ": " + Reason(errno);
    int copy = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *d = copy >= 0 ? fdopendir(copy) : nullptr;
    if (!d)
        return shown + ": " + Reason(errno);
    std::string problem;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name, child = shown + "\\" + name;
        struct stat st;
        if (name == "." || name == "..")
            continue;
        if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW)) {
            problem = child + ": " + Reason(errno);
        } else if (S_ISLNK(st.st_mode) || (S_ISDIR(st.st_mode) && IsMountRoot(dir, name.c_str()))) {
            problem = child + " " + kLinkRule;
        } else if (S_ISDIR(st.st_mode)) {
            Fd sub(openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            problem = sub.get() < 0 ? child + ": " + Reason(errno) : CheckTree(sub.get(), child);
        }
        if (!problem.empty())
            break;
    }
    closedir(d);
    return problem;
}

// What stops a removal of a folder that was checked whole and then changed: something
// was put in it meanwhile (by a program of the device).
std::string Changed(const std::string &folder)
{
    return folder + " changed while it was being removed: something new was put in it";
}

// Removes what a folder holds, depth first. Returns what failed. What is gone already
// (a program of the device removed it meanwhile) is no failure.
std::string EmptyTree(int dir, const std::string &shown)
{
    std::vector<std::pair<std::string, bool>> entries;
    int copy = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *d = copy >= 0 ? fdopendir(copy) : nullptr;
    if (!d)
        return shown + ": " + Reason(errno);
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        struct stat st;
        if (name != "." && name != "..")
            entries.emplace_back(name, e->d_type == DT_DIR || (e->d_type == DT_UNKNOWN &&
                                                                !fstatat(dir, e->d_name, &st, AT_SYMLINK_NOFOLLOW) &&
                                                                S_ISDIR(st.st_mode)));
    }
    closedir(d);
    for (const auto &[name, folder] : entries) {
        std::string child = shown + "\\" + name;
        if (folder) {
            Fd sub(openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (sub.get() < 0 && errno == ENOENT)
                continue;
            if (sub.get() < 0)
                return errno == ELOOP || errno == ENOTDIR ? Changed(shown) : child + ": " + Reason(errno);
            std::string failed = EmptyTree(sub.get(), child);
            if (!failed.empty())
                return failed;
        }
        if (!unlinkat(dir, name.c_str(), folder ? AT_REMOVEDIR : 0) || errno == ENOENT)
            continue;
        if (folder && (errno == ENOTEMPTY || errno == EEXIST))
            return Changed(child);
        if (errno == EISDIR)
            return Changed(shown);
        return child + ": " + Reason(errno);
    }
    return std::string();
}

int Remove(const char *root, const std::string &path, bool recursive)
{
    Place p;
    int rc = kExitOk;
    if (!Walk(root, path, &p, &rc))
        return rc;
    std::string shown = p.Shown();
    if (p.names.empty())
        return Refuse("refusing to remove the device's root");
    if (!p.exists)
        return Fail(shown + ": no such file or folder");
    if (IsDeviceFolder(p))
        return Refuse("refusing to remove " + shown + ": it is one of the device's own folders");
    const char *name = p.names.back().c_str();
    // A link goes itself; what it points to stays.
    if (!S_ISDIR(p.st.st_mode)) {
        if (unlinkat(p.dir.get(), name, 0))
            return Fail("cannot remove " + shown + ": " + Reason(errno));
        return kExitOk;
    }
    if (recursive) {
        Fd dir(openat(p.dir.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        std::string problem = dir.get() < 0 ? shown + ": " + Reason(errno)
                              : IsMountRoot(p.dir.get(), name) ? shown + " " + kLinkRule
                                                               : CheckTree(dir.get(), shown);
        if (problem.empty() && faccessat(p.dir.get(), ".", W_OK | X_OK, 0))
            problem = shown + ": " + Reason(errno);
        if (!problem.empty())
            return Fail("refusing to remove " + shown + ", nothing removed: " + problem);
        std::string failed = EmptyTree(dir.get(), shown);
        if (failed.empty() && unlinkat(p.dir.get(), name, AT_REMOVEDIR) && errno != ENOENT)
            failed = errno == ENOTEMPTY || errno == EEXIST ? Changed(shown) : shown + ": " + Reason(errno);
        if (!failed.empty())
            return Fail("stopped removing " + shown + ": " + failed + "; nothing more was removed (what is left is "
                        "still there: run rm -r again)");
        return kExitOk;
    }
    if (unlinkat(p.dir.get(), name, AT_REMOVEDIR))
        return Fail("cannot remove " + shown + ": " + Reason(errno));
    return kExitOk;
}

// A fresh file beside the target, with a short name whatever the target's length.
Fd TempFile(int dir, std::string *name)
{
    for (int tries = 0; tries < 16; ++tries) {
        unsigned char r[6];
        if (getrandom(r, sizeof(r), 0) != sizeof(r))
            break;
        char buf[32];
        snprintf(buf, sizeof(buf), ".cedev-put-%02x%02x%02x%02x%02x%02x", r[0], r[1], r[2], r[3], r[4], r[5]);
        Fd fd(openat(dir, buf, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (fd.get() >= 0 || errno != EEXIST) {
            *name = buf;
            return fd;
        }
    }
    return Fd();
}

// Copies standard input into to; *copied counts the bytes.
bool CopyInput(int to, long long *copied)
{
    char buf[65536];
    *copied = 0;
    for (;;) {
        ssize_t n = read(0, buf, sizeof(buf));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0;
        *copied += n;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(to, buf + done, n - done);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return false;
            done += w;
        }
    }
}

// The temporary file a copy is being written to, removed if the copy is interrupted.
int s_tempDir = -1;
char s_tempName[64];

void RemoveTemp(int)
{
    if (s_tempDir >= 0 && s_tempName[0])
        unlinkat(s_tempDir, s_tempName, 0);
    _exit(130);
}

int Put(const char *root, const std::string &path, const std::string &hostName, long long size, bool folders)
{
    std::string problem = NameProblem(hostName);
    if (!problem.empty())
        return Fail("cannot put '" + hostName + "': " + problem);
    Place p;
    int rc = kExitOk;
    if (!Walk(root, path, &p, &rc, folders))
        return rc;
    // Into a folder under the host file's name, or onto the file named.
    Fd dir;
    std::string name;
    if (p.names.empty() || (p.exists && S_ISDIR(p.st.st_mode))) {
        if (!p.names.empty())
            dir = Fd(openat(p.dir.get(), p.names.back().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        else
            dir = std::move(p.dir);
        if (dir.get() < 0)
            return Fail("cannot write " + p.Shown() + ": " + Reason(errno));
        p.names.push_back(hostName);
        p.exists = Find(dir.get(), hostName, &p.names.back(), &p.st);
    } else {
        problem = NameProblem(p.names.back());
        if (!problem.empty())
            return Fail("cannot write " + p.Shown() + ": " + problem);
        dir = std::move(p.dir);
    }
    name = p.names.back();
    std::string shown = p.Shown();
    if (p.exists && S_ISLNK(p.st.st_mode))
        return Fail(shown + " " + kLinkRule);
    if (p.exists && S_ISDIR(p.st.st_mode))
        return Fail("cannot write " + shown + ": it is a folder");
    if (p.exists && !S_ISREG(p.st.st_mode))
        return Fail("cannot write " + shown + ": it is not a regular file (cedev replaces only files)");
    std::string temp;
    // An interrupted copy leaves nothing behind.
    sigset_t stop, old;
    sigemptyset(&stop);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        sigaddset(&stop, sig);
    sigprocmask(SIG_BLOCK, &stop, &old);
    Fd out = TempFile(dir.get(), &temp);
    if (out.get() < 0)
        return Fail("cannot write " + shown + ": " + Reason(errno));
    s_tempDir = dir.get();
    snprintf(s_tempName, sizeof(s_tempName), "%s", temp.c_str());
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        signal(sig, RemoveTemp);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    int err = 0, fd = out.release();
    long long copied = 0;
    errno = 0;
    if (!CopyInput(fd, &copied) || fsync(fd))
        err = errno ? errno : EIO;
    if (!err && size >= 0 && copied != size) {
        close(fd);
        unlinkat(dir.get(), temp.c_str(), 0);
        return Fail("the copy of " + shown + " was cut short (" + std::to_string(copied) + " of " +
                    std::to_string(size) + " bytes); nothing was changed");
    }
    if (close(fd) && !err)
        err = errno;
    // Moved into place in one step: the name given is replaced, never followed.
    if (!err && renameat(dir.get(), temp.c_str(), dir.get(), name.c_str()))
        err = errno;
    if (err) {
        unlinkat(dir.get(), temp.c_str(), 0);
        return Fail("cannot write " + shown + ": " + Reason(err));
    }
    return kExitOk;
}

}  // namespace

int RemoveCommand(int argc, char **argv)
{
    if (argc == 2)
        return Remove(argv[0], argv[1], false);
    if (argc == 3 && !strcmp(argv[2], "-r"))
        return Remove(argv[0], argv[1], true);
    return Usage(kSealUsage);
}

int PutCommand(int argc, char **argv)
{
    // put ROOT PATH NAME [--size N] [--folders]
    long long size = -1;
    bool folders = false;
    for (int i = 3; i < argc; ++i) {
        if (!strcmp(argv[i], "--size") && i + 1 < argc && argv[i + 1][0] >= '0' && argv[i + 1][0] <= '9')
            size = atoll(argv[++i]);
        else if (!strcmp(argv[i], "--folders"))
            folders = true;
        else
            return Usage(kSealUsage);
    }
    return argc >= 3 ? Put(argv[0], argv[1], argv[2], size, folders) : Usage(kSealUsage);
}
