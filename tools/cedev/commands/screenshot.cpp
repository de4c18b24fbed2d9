// screenshot FILE.png: the device's screen. The helper gives a plain bitmap, which is
// checked to be exactly that before anything reads it further; ImageMagick writes the
// PNG.
#include "commands.h"
#include "../session.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

uint32_t U32(const unsigned char *p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The bitmap the helper writes: 24 bits a pixel, no compression, its size that of its
// pixels.
bool PlainBitmap(const std::string &b)
{
    if (b.size() < 54)
        return false;
    const unsigned char *h = reinterpret_cast<const unsigned char *>(b.data());
    int32_t w = static_cast<int32_t>(U32(h + 18)), ht = static_cast<int32_t>(U32(h + 22));
    uint64_t stride = (static_cast<uint64_t>(w) * 3 + 3) & ~3ULL;
    return h[0] == 'B' && h[1] == 'M' && U32(h + 10) == 54 && U32(h + 14) == 40 && w > 0 && w <= 4096 && ht > 0 &&
           ht <= 4096 && (h[26] | h[27] << 8) == 1 && (h[28] | h[29] << 8) == 24 && U32(h + 30) == 0 &&
           b.size() == 54 + stride * ht && U32(h + 2) == b.size();
}

}  // namespace

int CmdScreenshot(Context &ctx, Args &args)
{
    if (args.Left() != 1)
        UsageError("usage: cedev screenshot FILE.png");
    std::string out = args.Next();
    ctx.device.Need();
    NeedTool("/usr/bin/convert", "imagemagick");
    Session session(ctx.device, ctx.build);
    session.Ensure(true, nullptr);
    HelperAnswer a = session.Helper({"screenshot"});
    if (a.code != 0) {
        Say(HelperReason(a, "cannot read the screen"));
        return a.code;
    }
    if (!PlainBitmap(a.out))
        Fail("the device's screen came back in a form cedev does not take");
    const char *dir = getenv("TMPDIR");
    std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/cedev-shot.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back(0);
    int fd = mkstemp(name.data());
    if (fd < 0)
        Fail("cannot create a temporary file (" + std::string(strerror(errno)) + ")");
    bool ok = write(fd, a.out.data(), a.out.size()) == static_cast<ssize_t>(a.out.size());
    close(fd);
    std::string path(name.data());
    std::string ignored;
    ok = ok && RunHost({"convert", "bmp:" + path, "-strip", "-define", "png:exclude-chunks=date,time", "png:" + out},
                       &ignored) == 0;
    unlink(path.c_str());
    if (!ok)
        Fail("cannot write " + out);
    return kExitOk;
}
