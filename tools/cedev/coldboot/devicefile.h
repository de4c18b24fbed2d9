// A file of a device's, read on the host by cedev-coldboot. The device's programs can put
// anything in its place, so it is opened the way nothing there can turn: walked to one
// folder at a time from the root, no link followed anywhere on its path, only a
// regular file opened and never waited on (a FIFO or socket in its place is refused),
// and read rather than mapped, so that the device cutting it short meanwhile cannot
// crash the reader. Its size is known before anything is read, and it is read whole
// only when asked, never more than that size.
#ifndef CEDEV_HOST_DEVICEFILE_H
#define CEDEV_HOST_DEVICEFILE_H

#include <cstdint>
#include <string>

class DeviceFile {
public:
    // What Open returns besides 0 and an errno (ENOENT when it or a folder on its way
    // is missing).
    static constexpr int kLink = -1;        // the file or a folder on its way is a link
    static constexpr int kNotRegular = -2;  // a folder, FIFO, socket or device
    static constexpr int kNotFolder = -3;   // a name on its way is not a folder

    DeviceFile() = default;
    DeviceFile(const DeviceFile &) = delete;
    DeviceFile &operator=(const DeviceFile &) = delete;
    ~DeviceFile();

    // Opens PATH (absolute, or from the current folder), names separated by '/'.
    int Open(const std::string &path);
    // Why Open failed, for a message: "it is a link, which cedev does not follow".
    std::string Why(int err) const;

    uint64_t Size() const { return size_; }
    unsigned long long ModifiedTime() const { return mtime_; }
    // Up to N bytes from the start (fewer in a shorter file); 0 or an errno.
    int ReadHead(size_t n, std::string *out);
    // The whole file as it was when opened: at most Size() bytes, fewer when it was cut
    // short since; 0 or an errno (EFBIG, reading nothing, when Size() is over LIMIT).
    int ReadAll(uint64_t limit, std::string *out);

private:
    int fd_ = -1;
    uint64_t size_ = 0;
    unsigned long long mtime_ = 0;
    std::string where_;  // the name on the way that stopped Open
};

#endif
