// cedev-seal: see seal.h.
//
//   cedev-seal rm ROOT PATH [-r]               remove a device file (inside the sandbox)
//   cedev-seal put ROOT PATH NAME              write standard input into the device
//   cedev-seal bitmap FILE                     whether FILE is the screenshot the helper
//                                              is to give: a plain 24-bit bitmap
//   cedev-seal program FILE                    what kind of program a host file is:
//                                              "ce" or "native" (see programkind.h)
#include "seal.h"
#include "../programkind.h"
#include "text.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int Say(const std::string &message, int code)
{
    std::string line, carry;
    EscapeText(message, TextMode::Text, true, &carry, &line);
    std::string oneLine;
    for (char c : line)
        oneLine += c == '\n' ? std::string("\\n") : std::string(1, c);
    fflush(stdout);
    fprintf(stderr, "cedev: %s\n", oneLine.c_str());
    return code;
}

uint32_t U32(const unsigned char *p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The helper's screenshot is a file of the device's making: before anything parses it
// further, it must be exactly the plain bitmap the helper writes, its size that of its
// pixels.
int CheckBitmap(const char *path)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    unsigned char h[54];
    bool ok = fd >= 0 && !fstat(fd, &st) && S_ISREG(st.st_mode) && read(fd, h, sizeof(h)) == sizeof(h);
    if (fd >= 0)
        close(fd);
    if (ok) {
        int32_t w = static_cast<int32_t>(U32(h + 18)), ht = static_cast<int32_t>(U32(h + 22));
        uint64_t stride = (static_cast<uint64_t>(w) * 3 + 3) & ~3ULL;
        ok = h[0] == 'B' && h[1] == 'M' && U32(h + 10) == 54 && U32(h + 14) == 40 && w > 0 && w <= 4096 &&
             ht > 0 && ht <= 4096 && (h[26] | h[27] << 8) == 1 && (h[28] | h[29] << 8) == 24 && U32(h + 30) == 0 &&
             static_cast<uint64_t>(st.st_size) == 54 + stride * ht && U32(h + 2) == st.st_size;
    }
    return ok ? kOk : Fail("the device's screen came back in a form cedev does not take");
}

// A program cedev is asked to run from the host: the handheld's own or Wine's.
int CheckProgram(const char *path)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) || !S_ISREG(st.st_mode)) {
        if (fd >= 0)
            close(fd);
        return Fail(std::string("no such program: ") + path);
    }
    unsigned char dos[kDosHeaderSize] = {}, pe[kPeHeaderSize] = {};
    ssize_t n = read(fd, dos, sizeof(dos)), m = 0;
    if (n == static_cast<ssize_t>(sizeof(dos)))
        m = pread(fd, pe, sizeof(pe), PeHeaderOffset(dos));
    close(fd);
    ProgramKind kind = ClassifyProgram(dos, n < 0 ? 0 : n, pe, m < 0 ? 0 : m);
    if (kind == ProgramKind::NotProgram)
        return Fail(std::string(path) + " is not a Windows program");
    printf("%s\n", kind == ProgramKind::Ce ? "ce" : "native");
    return kOk;
}

}  // namespace

int Fail(const std::string &message)
{
    return Say(message, kFail);
}

int Refuse(const std::string &message)
{
    return Say(message, kUsage);
}

int Usage()
{
    fprintf(stderr, "cedev: usage: cedev-seal rm ROOT PATH [-r] | put ROOT PATH NAME [--size N] | bitmap FILE | "
                    "program FILE\n");
    return kUsage;
}

int main(int argc, char **argv)
{
    std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "rm")
        return RemoveCommand(argc - 2, argv + 2);
    if (cmd == "put")
        return PutCommand(argc - 2, argv + 2);
    if (cmd == "bitmap" && argc == 3)
        return CheckBitmap(argv[2]);
    if (cmd == "program" && argc == 3)
        return CheckProgram(argv[2]);
    return Usage();
}
