// cedev-hive: the part of the device tool that handles the saved registry on the host,
// while the device is stopped. No Wine process is involved, which is what makes a cold
// boot fast.
//
//   cedev-hive check FILE [NAME]
//       whether a saved registry reads back cleanly; NAME is how messages call it
//   cedev-hive boot FACTORY PREFIX FILE [NAME]
//       a cold boot: writes the Wine registry files of the device folder PREFIX from
//       the factory registry in FACTORY, and from the saved registry FILE when there is
//       one that reads back cleanly
//   cedev-hive platform
//       what a cold boot takes from the platform rather than from the saved registry
//
// Exit codes: 0 done, 1 could not do it, 2 bad usage, 3 the saved registry is damaged
// (it is kept; a cold boot then gives the factory registry).
#include "savedfile.h"
#include "winereg.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

enum { kOk = 0, kFail = 1, kUsage = 2, kDamaged = 3 };

// What a cold boot takes from the platform rather than from the saved registry. The
// reset itself writes the saved registry whole, with one exception: the symbolic links,
// which the persistence leaves out. The others are Wine's own at its start: it rewrites
// some keys every time, and writes its defaults into others where they are missing.
// Measured by deleting and changing keys at random, saving, cold-booting and comparing.
enum class Taken {
    Start,    // rewritten by Wine at every start: may differ from what was saved
    Missing,  // what was saved comes back; Wine adds its defaults where they are missing
};
const char kLinks[] = "left out of the saved registry, as the device makes them itself: each comes from the "
                      "factory registry where its parent key was saved";

struct PlatformKey {
    Taken taken;
    Root root;
    const char *path;
    const char *why;
};

const char kVolatile[] = "volatile: never saved, Wine makes it anew at every start";
const char kPlugAndPlay[] = "plug and play registers the devices again at every start";
const char kHost[] = "taken from the host at every start";
const char kFonts[] = "the fonts found at every start are registered again";
const char kRunOnce[] = "Wine's start runs what is listed and removes it";
const char kDefaults[] = "Wine writes its defaults where they are missing";

const PlatformKey kPlatformKeys[] = {
    // Volatile keys.
    {Taken::Start, Root::Machine, "Hardware", kVolatile},
    {Taken::Start, Root::Machine, "System\\CurrentControlSet\\Control\\ServiceCurrent", kVolatile},
    {Taken::Start, Root::Machine, "System\\CurrentControlSet\\Control\\Video", kVolatile},
    {Taken::Start, Root::Machine, "System\\MountedDevices", kVolatile},
    {Taken::Start, Root::Machine, "Software\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards", kVolatile},
    {Taken::Start, Root::User, "Volatile Environment", kVolatile},
    {Taken::Start, Root::User, "Software\\Wine\\Temporary System Parameters", kVolatile},
    // Devices and the host.
    {Taken::Start, Root::Machine, "System\\CurrentControlSet\\Control\\Class\\{4D36E968-E325-11CE-BFC1-08002BE10318}",
     "plug and play stamps the display adapter's driver date at every start"},
    {Taken::Start, Root::Machine, "System\\CurrentControlSet\\Control\\DeviceClasses", kPlugAndPlay},
    {Taken::Missing, Root::Machine, "System\\CurrentControlSet\\Control\\Class", kPlugAndPlay},
    {Taken::Missing, Root::Machine, "System\\CurrentControlSet\\Enum", kPlugAndPlay},
    {Taken::Start, Root::Machine, "System\\CurrentControlSet\\Hardware Profiles\\Current", kHost},
    {Taken::Start, Root::Machine, "System\\CurrentControlSet\\Control\\ComputerName", kHost},
    {Taken::Start, Root::Machine, "System\\CurrentControlSet\\Control\\TimeZoneInformation", kHost},
    {Taken::Missing, Root::Machine, "System\\CurrentControlSet\\Control\\Nls", kHost},
    {Taken::Missing, Root::Machine, "System\\CurrentControlSet\\Services\\Tcpip\\Parameters", kHost},
    {Taken::Missing, Root::Machine, "Software\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones",
     "the time zone is looked up there at every start, which makes the key where it is missing"},
    // Fonts.
    {Taken::Start, Root::Machine, "Software\\Microsoft\\Windows NT\\CurrentVersion\\Fonts", kFonts},
    {Taken::Start, Root::Machine, "Software\\Microsoft\\Windows\\CurrentVersion\\Fonts", kFonts},
    {Taken::Start, Root::User, "Software\\Wine\\Fonts", kFonts},
    {Taken::Missing, Root::Machine, "Software\\Microsoft\\Windows NT\\CurrentVersion\\FontLink", kFonts},
    {Taken::Missing, Root::Machine, "Software\\Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes", kFonts},
    // Programs run once at start.
    {Taken::Start, Root::Machine, "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", kRunOnce},
    {Taken::Start, Root::Machine, "Software\\Microsoft\\Windows\\CurrentVersion\\RunServicesOnce", kRunOnce},
    {Taken::Start, Root::Machine, "Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\RunOnce", kRunOnce},
    {Taken::Start, Root::Machine, "Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\RunServicesOnce",
     kRunOnce},
    {Taken::Start, Root::User, "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", kRunOnce},
    // Defaults of Wine, the shell and the user interface.
    {Taken::Missing, Root::Machine, "Software\\Wine", kDefaults},
    {Taken::Missing, Root::User, "Software\\Wine", kDefaults},
    {Taken::Missing, Root::Machine, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer", kDefaults},
    {Taken::Missing, Root::User, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer", kDefaults},
    {Taken::Missing, Root::Machine, "Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", kDefaults},
    {Taken::Missing, Root::User, "Control Panel", kDefaults},
    {Taken::Missing, Root::User, "Environment", kDefaults},
    {Taken::Missing, Root::User, "Keyboard Layout", kDefaults},
};

const char *RootName(Root root)
{
    return root == Root::Machine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

int Fail(const std::string &message)
{
    fflush(stdout);
    fprintf(stderr, "cedev: %s\n", message.c_str());
    return kFail;
}

int Usage()
{
    fprintf(stderr, "cedev: usage: cedev-hive check FILE [NAME] | boot FACTORY PREFIX FILE [NAME] | platform\n");
    return kUsage;
}

// A file's bytes, read whole. The saved registry is the device's file: it is opened
// without following a link and without waiting (a FIFO in its place cannot hang a cold
// boot), taken only when it is a regular file, and read rather than mapped, so that
// the device cutting it short meanwhile cannot crash the reader.
const int kNotRegular = -1;

class FileBytes {
public:
    // Returns 0, ENOENT, ELOOP for a link, kNotRegular, or the errno of the failure.
    int Open(const std::string &path)
    {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
        if (fd < 0)
            return errno;
        struct stat st;
        int err = fstat(fd, &st) ? errno : S_ISREG(st.st_mode) ? 0 : kNotRegular;
        if (!err) {
            mtime_ = st.st_mtime;
            bytes_.resize(st.st_size);
            size_t done = 0;
            for (ssize_t n; done < bytes_.size(); done += n) {
                n = read(fd, &bytes_[done], bytes_.size() - done);
                if (n < 0 && errno == EINTR)
                    n = 0;
                else if (n <= 0) {
                    err = n < 0 ? errno : 0;
                    break;
                }
            }
            bytes_.resize(done);
        }
        close(fd);
        return err;
    }

    std::string_view Bytes() const { return bytes_; }
    unsigned long long ModifiedTime() const { return mtime_; }

private:
    std::string bytes_;
    unsigned long long mtime_ = 0;
};

// Why a file could not be read, for a message.
std::string OpenError(int err)
{
    if (err == ELOOP)
        return "it is a link, which cedev does not follow";
    if (err == kNotRegular)
        return "it is not a regular file";
    return strerror(err);
}

// Writes the Wine registry files of a device, all or none: each into a fresh file
// beside it, and only when all are written, each exchanged with the one in place; a
// failure then exchanges back what was done. What is in place must be a regular file
// (or nothing): a folder or a link there is reported before anything changes.
bool WriteRegistry(const std::string &prefix, const std::string_view texts[3], std::string *error)
{
    static const char *const kNames[3] = {"system.reg", "user.reg", "userdef.reg"};
    std::string targets[3], temps[3];
    bool exists[3];
    for (int i = 0; i < 3; ++i) {
        targets[i] = prefix + "/" + kNames[i];
        temps[i] = prefix + "/." + kNames[i] + ".new";
        struct stat st;
        exists[i] = !lstat(targets[i].c_str(), &st);
        if (exists[i] && !S_ISREG(st.st_mode)) {
            *error = "cannot replace " + targets[i] + ": it is not a regular file; nothing was changed";
            return false;
        }
    }
    bool ok = true;
    for (int i = 0; i < 3 && ok; ++i) {
        unlink(temps[i].c_str());
        int fd = open(temps[i].c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        size_t done = 0;
        for (ssize_t n = 0; fd >= 0 && done < texts[i].size(); done += n) {
            n = write(fd, texts[i].data() + done, texts[i].size() - done);
            if (n < 0 && errno == EINTR)
                n = 0;
            else if (n <= 0)
                break;
        }
        ok = fd >= 0 && done == texts[i].size();
        if (fd >= 0 && close(fd))
            ok = false;
        if (!ok)
            *error = "cannot write " + temps[i] + " (" + strerror(errno ? errno : EIO) + "); nothing was changed";
    }
    int done = 0;
    for (; ok && done < 3; ++done) {
        int rc = exists[done] ? renameat2(AT_FDCWD, temps[done].c_str(), AT_FDCWD, targets[done].c_str(),
                                          RENAME_EXCHANGE)
                              : rename(temps[done].c_str(), targets[done].c_str());
        if (rc) {
            *error = "cannot replace " + targets[done] + " (" + strerror(errno) + "); nothing was changed";
            ok = false;
            break;
        }
    }
    if (!ok) {
        while (done-- > 0) {
            if (exists[done])
                renameat2(AT_FDCWD, temps[done].c_str(), AT_FDCWD, targets[done].c_str(), RENAME_EXCHANGE);
            else
                rename(targets[done].c_str(), temps[done].c_str());
        }
    }
    for (const std::string &t : temps)
        unlink(t.c_str());
    return ok;
}

// Folds a key path as the registry compares names: without regard to case.
void Fold(std::u16string_view s, std::u16string *out)
{
    out->resize(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char16_t c = s[i];
        (*out)[i] = c >= u'A' && c <= u'Z' ? c + 32 : c;
    }
}

// Writes the saved keys of both roots in Wine's format, as the reader hands them over:
// each root's file is its factory header, the saved keys, then the factory's links
// whose parent key was saved. A saved key where the factory has a link gives way to it
// (the saved registry holds no links, so such a key is one the link hid).
class BootWriter : public SavedSink {
public:
    BootWriter(const WineLinks &machine, const WineLinks &user, size_t savedSize, unsigned long long time)
        : time_(time)
    {
        const WineLinks *files[2] = {&machine, &user};
        for (int i = 0; i < 2; ++i) {
            PerRoot &r = roots_[i];
            r.factory = files[i];
            r.lengths.resize(1);
            r.out.reserve(files[i]->header.size() + savedSize / (i ? 8 : 2));
            r.out = files[i]->header;
            for (const WineLink &b : files[i]->links) {
                Fold(b.path, &folded_);
                r.paths.push_back(folded_);
                r.links.insert(r.paths.back());
                r.Note(folded_.size());
                size_t slash = folded_.rfind(u'\\');
                if (slash != std::u16string::npos) {
                    r.parents.emplace(std::u16string_view(r.paths.back()).substr(0, slash), false);
                    r.Note(slash);
                }
            }
        }
    }

    void Key(Root root, std::u16string_view path) override
    {
        PerRoot &r = roots_[static_cast<int>(root)];
        Fold(path, &folded_);
        std::u16string_view folded = folded_;
        current_ = nullptr;
        size_t longest = std::min(folded.size(), r.lengths.size() - 1);
        for (size_t i = 0; i <= longest; ++i) {
            if (!r.lengths[i] || (i < folded.size() && folded[i] != u'\\'))
                continue;
            std::u16string_view prefix = folded.substr(0, i);
            auto parent = r.parents.find(prefix);
            if (parent != r.parents.end())
                parent->second = true;
            if (r.links.count(prefix))
                return;
        }
        AppendWineKey(&r.out, path, time_);
        current_ = &r.out;
    }

    void Value(std::u16string_view name, uint32_t type, std::string_view data) override
    {
        if (current_)
            AppendWineValue(current_, name, type, data);
    }

    // The finished text of one root's file.
    std::string &Finish(Root root)
    {
        PerRoot &r = roots_[static_cast<int>(root)];
        for (size_t i = 0; i < r.factory->links.size(); ++i) {
            std::u16string_view folded = r.paths[i];
            size_t slash = folded.rfind(u'\\');
            if (slash == std::u16string_view::npos || r.parents.find(folded.substr(0, slash))->second) {
                r.out += '\n';
                r.out += r.factory->links[i].text;
            }
        }
        return r.out;
    }

private:
    struct PerRoot {
        const WineLinks *factory = nullptr;
        std::string out;
        std::deque<std::u16string> paths;  // the folded paths of the factory's links, in order
        std::unordered_set<std::u16string_view> links;
        std::unordered_map<std::u16string_view, bool> parents;  // of the links: saved or not
        std::vector<bool> lengths;  // the lengths of those paths, to look up only what may match

        void Note(size_t length)
        {
            if (lengths.size() <= length)
                lengths.resize(length + 1);
            lengths[length] = true;
        }
    } roots_[2];
    std::u16string folded_;
    std::string *current_ = nullptr;
    unsigned long long time_;
};

// Only counts: what a check needs.
class CountingSink : public SavedSink {
    void Key(Root, std::u16string_view) override {}
    void Value(std::u16string_view, uint32_t, std::string_view) override {}
};

// A damaged file's report: "NAME line 12: what", or "NAME is damaged: what".
std::string Damage(const std::string &name, const std::string &error)
{
    return name + (error.compare(0, 5, "line ") ? " is damaged: " : " ") + error;
}

int Check(const std::string &path, const std::string &name)
{
    FileBytes file;
    std::string error;
    int err = file.Open(path);
    if (err == ENOENT)
        return Fail(name + ": no such file");
    if (err)
        return Fail(name + " cannot be read: " + OpenError(err));
    CountingSink sink;
    SavedCounts counts;
    if (!ReadSavedRegistry(file.Bytes(), &sink, &counts, &error)) {
        Fail(Damage(name, error));
        return kDamaged;
    }
    printf("%s: reads back cleanly, %zu keys, %zu values\n", name.c_str(), counts.keys, counts.values);
    return kOk;
}

int Boot(const std::string &factoryDir, const std::string &prefix, const std::string &path, const std::string &name)
{
    FileBytes factory[3];
    std::string error;
    static const char *const kNames[3] = {"system.reg", "user.reg", "userdef.reg"};
    for (int i = 0; i < 3; ++i) {
        int err = factory[i].Open(factoryDir + "/" + kNames[i]);
        if (err)
            return Fail("cannot read the factory registry " + factoryDir + "/" + kNames[i] + ": " + OpenError(err));
    }
    const std::string_view factoryTexts[3] = {factory[0].Bytes(), factory[1].Bytes(), factory[2].Bytes()};

    FileBytes saved;
    int err = saved.Open(path);
    if (err == ENOENT) {
        if (!WriteRegistry(prefix, factoryTexts, &error))
            return Fail(error);
        printf("cold boot: the factory registry (no saved registry in %s)\n", name.c_str());
        return kOk;
    }
    WineLinks machine, user;
    if (!ReadWineLinks(factoryTexts[0], &machine) || !ReadWineLinks(factoryTexts[1], &user))
        return Fail("the factory registry in " + factoryDir + " is not in Wine's registry format");
    BootWriter writer(machine, user, saved.Bytes().size(), saved.ModifiedTime());
    SavedCounts counts;
    if (err)
        error = "it cannot be read: " + OpenError(err);
    if (err || !ReadSavedRegistry(saved.Bytes(), &writer, &counts, &error)) {
        std::string written;
        if (!WriteRegistry(prefix, factoryTexts, &written))
            return Fail(Damage(name, error) + "; and the factory registry could not be restored: " + written);
        Fail(Damage(name, error) + "; kept it, the device runs on its factory registry");
        return kDamaged;
    }
    const std::string_view texts[3] = {writer.Finish(Root::Machine), writer.Finish(Root::User), factoryTexts[2]};
    if (!WriteRegistry(prefix, texts, &error))
        return Fail(error);
    printf("cold boot: the registry saved in %s (%zu keys, %zu values)\n", name.c_str(), counts.keys, counts.values);
    return kOk;
}

// The list above, one line each: how it is taken, the key, and why.
int Platform()
{
    printf("link\tevery symbolic link\t%s\n", kLinks);
    for (const PlatformKey &p : kPlatformKeys) {
        printf("%s\t%s\\%s\t%s\n", p.taken == Taken::Start ? "start" : "missing", RootName(p.root),
               p.path, p.why);
    }
    return kOk;
}

}  // namespace

int main(int argc, char **argv)
{
    std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "check" && (argc == 3 || argc == 4))
        return Check(argv[2], argc == 4 ? argv[3] : argv[2]);
    if (cmd == "boot" && (argc == 5 || argc == 6))
        return Boot(argv[2], argv[3], argv[4], argc == 6 ? argv[5] : argv[4]);
    if (cmd == "platform" && argc == 2)
        return Platform();
    return Usage();
}
