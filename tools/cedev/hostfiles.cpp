#include "hostfiles.h"
#include "sandbox.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// Copies what is left of in to out.
static bool CopyFd(int in, int out)
{
    char buf[65536];
    ssize_t n;
    while ((n = read(in, buf, sizeof(buf))) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || write(out, buf, n) != n)
            return false;
    }
    return true;
}

bool RemoveTree(int dir, const std::string &name)
{
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW))
        return errno == ENOENT;
    if (!S_ISDIR(st.st_mode))
        return unlinkat(dir, name.c_str(), 0) == 0 || errno == ENOENT;
    int fd = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    DIR *d = fdopendir(fd);
    if (!d) {
        close(fd);
        return false;
    }
    bool ok = true;
    std::vector<std::string> names;
    while (dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
            names.push_back(e->d_name);
    }
    for (const std::string &n : names)
        ok = RemoveTree(dirfd(d), n) && ok;
    closedir(d);
    return unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0 && ok;
}

bool RemoveTree(const std::string &path)
{
    size_t slash = path.rfind('/');
    std::string parent = slash == 0 ? "/" : path.substr(0, slash);
    int dir = open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return errno == ENOENT;
    bool ok = RemoveTree(dir, path.substr(slash + 1));
    close(dir);
    return ok;
}

static bool ChownBelow(int dir, const std::string &at, uid_t uid, gid_t gid,
                       const std::initializer_list<const char *> &skip)
{
    DIR *d = fdopendir(dir);
    if (!d) {
        close(dir);
        return false;
    }
    bool ok = true;
    while (dirent *e = readdir(d)) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, ".."))
            continue;
        std::string sub = at.empty() ? e->d_name : at + "/" + e->d_name;
        bool skipped = false;
        for (const char *s : skip)
            skipped = skipped || sub == s;
        if (skipped)
            continue;
        ok = fchownat(dirfd(d), e->d_name, uid, gid, AT_SYMLINK_NOFOLLOW) == 0 && ok;
        struct stat st;
        if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
            int fd = openat(dirfd(d), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            ok = fd >= 0 && ChownBelow(fd, sub, uid, gid, skip) && ok;
        }
    }
    closedir(d);
    return ok;
}

bool ChownTree(const std::string &path, uid_t uid, gid_t gid, const std::initializer_list<const char *> &skip)
{
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = fchown(fd, uid, gid) == 0;
    return ChownBelow(fd, "", uid, gid, skip) && ok;
}

bool CopyFile(const std::string &from, const std::string &to, mode_t mode)
{
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    std::string tmp = to + ".cedev-new";
    unlink(tmp.c_str());
    int out = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    bool ok = out >= 0 && CopyFd(in, out);
    close(in);
    if (out >= 0)
        ok = close(out) == 0 && ok;
    ok = ok && rename(tmp.c_str(), to.c_str()) == 0;
    if (!ok)
        unlink(tmp.c_str());
    return ok;
}

bool AppendFile(const std::string &path, const std::string &text)
{
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return close(fd) == 0 && ok;
}

static bool SameFds(int fa, int fb)
{
    struct stat sa, sb;
    bool same = fa >= 0 && fb >= 0 && !fstat(fa, &sa) && !fstat(fb, &sb) && S_ISREG(sa.st_mode) &&
                S_ISREG(sb.st_mode) && sa.st_size == sb.st_size;
    char x[65536], y[65536];
    while (same) {
        ssize_t n = read(fa, x, sizeof(x)), m = n > 0 ? read(fb, y, n) : 0;
        if (n <= 0) {
            same = n == 0;
            break;
        }
        same = m == n && !memcmp(x, y, n);
    }
    return same;
}

bool SameAsBelow(int root, const std::string &path, const std::string &source)
{
    int fd = OpenBelow(root, path, O_RDONLY | O_NONBLOCK);
    int src = open(source.c_str(), O_RDONLY | O_CLOEXEC);
    bool same = SameFds(fd, src);
    if (fd >= 0)
        close(fd);
    if (src >= 0)
        close(src);
    return same;
}

bool ReplaceBelow(int root, const std::string &path, const std::string &source, uid_t uid, gid_t gid)
{
    size_t slash = path.rfind('/');
    int dir = slash == std::string::npos ? dup(root) : OpenBelow(root, path.substr(0, slash), O_PATH | O_DIRECTORY);
    if (dir < 0)
        return false;
    std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1), tmp = ".cedev-restore-" + name;
    int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
    unlinkat(dir, tmp.c_str(), 0);
    int out = openat(dir, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    bool ok = in >= 0 && out >= 0 && CopyFd(in, out);
    if (out >= 0) {
        ok = fchown(out, uid, gid) == 0 && ok;
        ok = close(out) == 0 && ok;
    }
    if (in >= 0)
        close(in);
    ok = ok && renameat(dir, tmp.c_str(), dir, name.c_str()) == 0;
    if (!ok)
        unlinkat(dir, tmp.c_str(), 0);
    close(dir);
    return ok;
}
