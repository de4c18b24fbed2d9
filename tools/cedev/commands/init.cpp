// init [--force] [--not-target] [LIMITS]: makes the device: a clone of a pristine Wine
// prefix (made once per Wine version, in a sandbox, and kept in the template cache),
// with the handheld's core library, its keys and, for the target handheld, its driver
// libraries and control-panel key; then keeps a copy of its registry as its factory
// registry, what a cold boot goes back to.
#include "commands.h"
#include "../hostfiles.h"
#include "../sandbox.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Bumped whenever the recipe of the device template changes, so caches are remade.
const int kTemplateFormat = 4;

const char kMachineKeys[] = "\n[Comm]\n\"BootCount\"=dword:00000001\n\n[SYSTEM\\\\ORV\\\\REGLock]\n"
                            "\"EnableSave\"=dword:00000000\n";
const char kTargetKeys[] = "\n[ControlPanel\\\\QM410Key]\n\"KBD/SCAN\"=dword:00000001\n";
// The 240 x 320 screen, for every program of the device.
const char kScreenKeys[] = "\n[Software\\\\Wine\\\\Explorer]\n\"Desktop\"=\"Default\"\n\n"
                           "[Software\\\\Wine\\\\Explorer\\\\Desktops]\n\"Default\"=\"240x320\"\n";

bool Exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string TemplateDir(const Build &build)
{
    std::string version;
    RunHost({"/usr/lib/wine/wine64", "--version"}, &version);
    std::string clean;
    for (char c : version) {
        if (c == '\n')
            break;
        clean += isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' ? c : '_';
    }
    const char *cache = getenv("CEDEV_CACHE");
    return std::string(cache && *cache ? cache : build.bin + "/../cache") + "/prefix-" +
           std::to_string(kTemplateFormat) + "-" + (clean.empty() ? "unknown" : clean);
}

// A pristine Wine prefix with the device's rules, made once per Wine version in a
// sandbox of its own, as the device's owner.
void MakeTemplate(const std::string &t, const Owner &owner)
{
    std::string cache = t.substr(0, t.rfind('/'));
    if (RunHost({"mkdir", "-p", cache}) != 0)
        Fail("cannot create the template cache " + cache);
    FileLock lock;
    if (!lock.Take(cache + "/.lock", LOCK_EX, 600000))
        Fail("timed out waiting for another cedev creating the template in " + cache);
    if (Exists(t + "/.ready"))
        return;
    fprintf(stderr, "cedev: creating the device template (once per Wine version)...\n");
    std::string tmp = t + ".tmp";
    RemoveTree(tmp);
    if (mkdir(tmp.c_str(), 0755) || (owner.fromRoot && chown(tmp.c_str(), owner.uid, owner.gid)))
        Fail("cannot create " + tmp);
    Bwrap b;
    SystemBase(&b, false);
    int dir = open(tmp.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    b.BindFd(dir, "/device", true);
    b.Add({"--tmpfs", "/tmp", "--chdir", "/device", "--die-with-parent", "--clearenv"});
    std::vector<std::string> env = WineEnv();
    env.insert(env.end(), {"WINEDEBUG=-all", "DISPLAY="});
    for (const std::string &kv : env)
        b.Add({"--setenv", kv.substr(0, kv.find('=')), kv.substr(kv.find('=') + 1)});
    std::string logPath = cache + "/wineboot.log";
    int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    SandboxChild child;
    child.out = child.err = log;
    child.fixedLayout = true;
    pid_t pid = StartBwrap(
        b, {"/bin/sh", "-c", "mkdir -p \"$HOME\" && /usr/lib/wine/wine64 wineboot -i && exec /usr/lib/wine/wineserver -w"},
        owner, child);
    if (log >= 0)
        close(log);
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        RemoveTree(tmp);
        Fail("wineboot could not create a prefix (see " + logPath + ")");
    }
    // No view of the host: only drive C:, and the user folders that Wine links to the
    // home folder become plain folders.
    if (DIR *d = opendir((tmp + "/dosdevices").c_str())) {
        while (dirent *e = readdir(d)) {
            if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..") && strcmp(e->d_name, "c:"))
                unlinkat(dirfd(d), e->d_name, 0);
        }
        closedir(d);
    }
    std::string links;
    RunHost({"find", tmp + "/drive_c", "-type", "l"}, &links);
    for (size_t at = 0; at < links.size();) {
        size_t nl = links.find('\n', at);
        std::string link = links.substr(at, nl - at);
        at = nl == std::string::npos ? links.size() : nl + 1;
        if (!link.empty() && unlink(link.c_str()) == 0)
            mkdir(link.c_str(), 0755);
    }
    // The handheld's interface fonts: Tahoma, and Marlett for the caption buttons'
    // glyphs. Without them Wine falls back to whatever the host has.
    for (const char *font : {"tahoma.ttf", "tahomabd.ttf", "marlett.ttf"}) {
        if (!CopyFile(std::string("/usr/share/wine/fonts/") + font, tmp + "/drive_c/windows/Fonts/" + font))
            fprintf(stderr, "cedev: warning: Wine's %s is missing (Debian's fonts-wine package)\n", font);
    }
    AppendFile(tmp + "/user.reg", kScreenKeys);
    // What devices share of it (by hard links) is root's when root made it: no device
    // could change it even where its sandbox let it.
    if (owner.fromRoot) {
        ChownTree(tmp + "/drive_c/windows/system32", 0, 0, {});
        ChownTree(tmp + "/drive_c/windows/winsxs", 0, 0, {});
    }
    if (rename(tmp.c_str(), t.c_str()))
        Fail("cannot create the device template " + t + " (" + strerror(errno) + ")");
    int ready = open((t + "/.ready").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (ready >= 0)
        close(ready);
}

// Clones the template: Wine's own system files are hard links (the sandbox shows them
// read-only, so no device writes them), everything a device may change is a copy.
bool CloneTemplate(const std::string &t, const std::string &d)
{
    if (RunHost({"sh", "-c",
                 "tar -C \"$1\" --exclude=./drive_c/windows/system32 --exclude=./drive_c/windows/winsxs "
                 "--exclude=./.ready -cf - . | tar -C \"$2\" -xf -",
                 "sh", t, d}) != 0)
        return false;
    for (const char *sub : {"system32", "winsxs"}) {
        std::string from = t + "/drive_c/windows/" + sub, to = d + "/drive_c/windows/";
        if (RunHost({"cp", "-al", from, to}) != 0 && RunHost({"cp", "-a", from, to}) != 0)
            return false;
    }
    return true;
}

// Whether the folder holds anything but cedev's records.
bool HoldsOtherThanRecords(const std::string &dir)
{
    DIR *d = opendir(dir.c_str());
    if (!d)
        return false;
    bool other = false;
    while (dirent *e = readdir(d))
        other = other || (strcmp(e->d_name, ".") && strcmp(e->d_name, "..") && strcmp(e->d_name, ".cedev"));
    closedir(d);
    return other;
}

void ClearFolder(const std::string &dir, const std::string &keep)
{
    DIR *d = opendir(dir.c_str());
    if (!d)
        return;
    std::vector<std::string> names;
    while (dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..") && e->d_name != keep)
            names.push_back(e->d_name);
    }
    int fd = dirfd(d);
    bool ok = true;
    for (const std::string &n : names)
        ok = RemoveTree(fd, n) && ok;
    closedir(d);
    if (!ok)
        Fail("cannot clear the device at " + dir);
}

}  // namespace

// --memory SIZE and the like: true when the option was one of them.
bool ParseLimitOption(const std::string &option, Args &args, Limits *limits)
{
    struct {
        const char *name;
        uint64_t *value;
        bool size;
    } options[] = {{"--memory", &limits->memory, true},     {"--processes", &limits->processes, false},
                   {"--file-size", &limits->fileSize, true}, {"--disk", &limits->disk, true},
                   {"--files", &limits->files, false},       {"--log-size", &limits->log, true},
                   {"--shared-memory", &limits->tmp, true}};
    for (auto &o : options) {
        if (option != o.name)
            continue;
        std::string v = args.Value(option);
        uint64_t n = 0;
        bool ok = o.size ? ParseSize(v, &n) : (v.find_first_not_of("0123456789") == std::string::npos && v.size() < 10 &&
                                                (n = strtoull(v.c_str(), nullptr, 10), true));
        if (!ok || n == 0)
            UsageError(option + std::string(o.size ? " takes a size such as 512M or 2G" : " takes a whole number") +
                       ", not '" + v + "'");
        *o.value = n;
        return true;
    }
    return false;
}

int CmdInit(Context &ctx, Args &args)
{
    bool force = false, target = true;
    Limits limits;
    while (!args.Empty()) {
        std::string o = args.Next();
        if (o == "--force")
            force = true;
        else if (o == "--not-target")
            target = false;
        else if (!ParseLimitOption(o, args, &limits))
            UsageError("init: unknown option '" + o + "'");
    }
    NeedSandboxTools(ctx.build);
    for (const char *f : {"COREDLL.dll", "cedev-driver.dll"}) {
        if (!Exists(ctx.build.bin + "/" + f))
            Fail(ctx.build.bin + "/" + f + " is missing; build the project first (make)");
    }
    Device &d = ctx.device;
    const std::string &dir = d.Dir();
    struct stat st;
    bool existed = lstat(dir.c_str(), &st) == 0;
    if (existed && !S_ISDIR(st.st_mode))
        Fail(dir + " exists and is not a folder");
    // A folder holding only our records is a device being made by another cedev.
    if (existed && !d.Exists() && HoldsOtherThanRecords(dir))
        Fail(dir + " exists and is not a device; not touching it");
    Owner owner = Owner::ForCaller();
    // A device that could not be made leaves nothing behind.
    struct Cleanup {
        const Device &d;
        bool armed;
        ~Cleanup()
        {
            if (armed && !d.Exists())
                RemoveTree(d.Dir());
        }
    } cleanup{d, !existed};
    if (!existed && mkdir(dir.c_str(), 0700))
        Fail("cannot create the device folder " + dir + " (is its parent writable?)");
    // The device folder is its owner's alone; cedev's records in it are the caller's,
    // which its sandbox (and nothing else of the owner's) passes through to the
    // device's /tmp: no other user gets past the device folder itself.
    if (chmod(dir.c_str(), 0700) || (owner.fromRoot && chown(dir.c_str(), owner.uid, owner.gid)) ||
        (mkdir(d.State().c_str(), 0700) && errno != EEXIST) || chmod(d.State().c_str(), 0711))
        Fail("cannot create the device folder " + dir + " (" + strerror(errno) + ")");
    FileLock lock;
    LockDevice(d, &lock, LOCK_EX);
    if (d.Exists()) {
        if (!force)
            Fail("a device already exists at " + dir + " (use 'cedev init --force' to replace it)");
        EndSession(ctx, false, true);
    }
    // Everything but the lock goes: the device is made afresh in the same folder.
    ClearFolder(dir, ".cedev");
    ClearFolder(d.State(), "lock");
    std::string t = TemplateDir(ctx.build);
    if (!Exists(t + "/.ready"))
        MakeTemplate(t, owner);
    // The copy takes the template's modes, its root's too: the device stays its own.
    if (!CloneTemplate(t, dir) || chmod(dir.c_str(), 0700))
        Fail("cannot create the device at " + dir);

    std::string win = dir + "/drive_c/windows";
    bool ok = CopyFile(ctx.build.bin + "/COREDLL.dll", win + "/COREDLL.dll") && mkdir((win + "/cedev").c_str(), 0755) == 0 &&
              mkdir((dir + "/drive_c/Flash Disk").c_str(), 0755) == 0 &&
              // Where the handheld's installer takes cabinets in ('cedev install').
              mkdir((win + "/AppMgr").c_str(), 0755) == 0 && mkdir((win + "/AppMgr/Install").c_str(), 0755) == 0 &&
              (mkdir((dir + "/drive_c/Program Files").c_str(), 0755) == 0 || errno == EEXIST) &&
              AppendFile(dir + "/system.reg", kMachineKeys);
    if (ok && target) {
        for (const char *f : kDriverLibraries)
            ok = ok && CopyFile(ctx.build.bin + "/cedev-driver.dll", win + "/" + f);
        ok = ok && AppendFile(dir + "/user.reg", kTargetKeys);
    }
    // The factory registry: what a cold boot goes back to.
    std::string factory = d.Record("factory");
    // Read by cedev-coldboot in the sandbox of a cold boot, as the device's owner.
    ok = ok && mkdir(factory.c_str(), 0755) == 0;
    for (const char *f : {"system.reg", "user.reg", "userdef.reg"})
        ok = ok && CopyFile(dir + "/" + f, factory + "/" + f);
    ok = ok && mkdir(d.Record("jobs").c_str(), 0700) == 0;
    if (ok && owner.fromRoot)
        ok = ChownTree(dir, owner.uid, owner.gid, kNotTheDevices);
    if (!ok)
        Fail("cannot create the device at " + dir + " (" + strerror(errno) + ")");
    d.WriteLimits(limits);
    if (!WriteRecord(d.Record("device"), target ? "target\n" : "other\n", 0644))
        Fail("cannot create the device at " + dir);
    printf("created %s at %s\n", target ? "the target handheld" : "a non-target device", dir.c_str());
    return kExitOk;
}
