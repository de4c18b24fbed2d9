#include "devicefile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

int ReadAt(int fd, uint64_t offset, size_t n, std::string *out)
{
    out->resize(n);
    size_t done = 0;
    while (done < n) {
        ssize_t got = pread(fd, &(*out)[done], n - done, offset + done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            int err = errno;
            out->clear();
            return err;
        }
        if (got == 0)
            break;
        done += got;
    }
    out->resize(done);
    return 0;
}

}  // namespace

DeviceFile::~DeviceFile()
{
    if (fd_ >= 0)
        close(fd_);
}

int DeviceFile::Open(const std::string &path)
{
    std::vector<std::string> names;
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        std::string name = path.substr(start, end - start);
        if (!name.empty() && name != ".")
            names.push_back(name);
        start = end + 1;
    }
    if (names.empty())
        return kNotRegular;
    int dir = open(path[0] == '/' ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return errno;
    int err = 0;
    for (size_t i = 0; i + 1 < names.size() && !err; ++i) {
        int next = openat(dir, names[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            // A link shows as no folder (ENOTDIR) or as a link (ELOOP): which, it says.
            struct stat st;
            err = errno;
            if (err == ELOOP || err == ENOTDIR)
                err = !fstatat(dir, names[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) && S_ISLNK(st.st_mode) ? kLink
                                                                                                      : kNotFolder;
            where_ = names[i];
        } else {
            close(dir);
            dir = next;
        }
    }
    const char *last = names.back().c_str();
    struct stat st;
    // What it is, before it is opened: a socket cannot be opened at all, and a FIFO
    // is not to be.
    if (!err && fstatat(dir, last, &st, AT_SYMLINK_NOFOLLOW))
        err = errno;
    if (!err && S_ISLNK(st.st_mode))
        err = kLink;
    else if (!err && !S_ISREG(st.st_mode))
        err = kNotRegular;
    if (!err) {
        fd_ = openat(dir, last, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        // It may have been exchanged for something else meanwhile.
        if (fd_ < 0)
            err = errno == ELOOP ? kLink : errno == ENXIO ? kNotRegular : errno;
        else if (fstat(fd_, &st))
            err = errno;
        else if (!S_ISREG(st.st_mode))
            err = kNotRegular;
    }
    close(dir);
    if (err) {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
        return err;
    }
    size_ = st.st_size;
    mtime_ = st.st_mtime;
    return 0;
}

std::string DeviceFile::Why(int err) const
{
    switch (err) {
    case kLink:
        return where_.empty() ? "it is a link, which cedev does not follow"
                              : "'" + where_ + "' on its path is a link, which cedev does not follow";
    case kNotRegular: return "it is not a regular file";
    case kNotFolder: return "'" + where_ + "' on its path is not a folder";
    }
    return strerror(err);
}

int DeviceFile::ReadHead(size_t n, std::string *out)
{
    return ReadAt(fd_, 0, n < size_ ? n : size_, out);
}

int DeviceFile::ReadAll(uint64_t limit, std::string *out)
{
    if (size_ > limit)
        return EFBIG;
    return ReadAt(fd_, 0, size_, out);
}
