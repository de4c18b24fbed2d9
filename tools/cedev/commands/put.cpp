// put FILE PATH: copies a host file into the device. cedev-seal writes it inside the
// device's sandbox, beside its place, and moves it over the one there: it takes the host
// file's name as one device name or refuses it, and replaces only a regular file.
#include "commands.h"
#include "../devpath.h"
#include "../session.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// The host file to copy: a regular file, opened without waiting (a FIFO in its place
// cannot hang us).
static int OpenHostFile(const std::string &file, uint64_t limit)
{
    int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd < 0 && errno == ENOENT)
        Fail("no such file: " + file);
    if (fd < 0)
        Fail("cannot read " + file + " (" + strerror(errno) + ")");
    if (fstat(fd, &st)) {
        close(fd);
        Fail("cannot read " + file + " (" + strerror(errno) + ")");
    }
    if (S_ISDIR(st.st_mode)) {
        close(fd);
        Fail(file + " is a folder; put copies one file (give each file, or make an archive)");
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        Fail(file + " is not a regular file (a device, a FIFO or a socket); put copies only regular files");
    }
    if (static_cast<uint64_t>(st.st_size) > limit) {
        close(fd);
        Fail(file + " is " + SizeText(st.st_size) + ", more than the device's limit on one file (" + SizeText(limit) +
             "; 'cedev limits --file-size' raises it)");
    }
    fcntl(fd, F_SETFL, 0);
    return fd;
}

int CmdPut(Context &ctx, Args &args)
{
    if (args.Left() != 2)
        UsageError("usage: cedev put FILE PATH");
    std::string file = args.Next(), path = args.Next();
    ctx.device.Need();
    int fd = OpenHostFile(file, ctx.device.ReadLimits().fileSize);
    DeviceNames(path);
    std::string name = file.substr(file.rfind('/') == std::string::npos ? 0 : file.rfind('/') + 1);
    struct stat st;
    fstat(fd, &st);
    Session session(ctx.device, ctx.build);
    FileLock lock;
    session.EnsureShared(&lock);
    std::string place = ResolveDevicePath(ctx.device, path, &session);
    int code = RunSeal(ctx, session, {"put", "/device/drive_c", place, name, "--size", std::to_string(st.st_size)}, fd);
    close(fd);
    return code;
}
