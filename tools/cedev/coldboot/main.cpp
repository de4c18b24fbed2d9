// cedev-coldboot: the part of the device tool that handles the saved registry on the host,
// while the device is stopped. No Wine process is involved, which is what makes a cold
// boot fast.
//
//   cedev-coldboot check FILE [NAME]
//       whether a saved registry reads back cleanly; NAME is how messages call it
//   cedev-coldboot boot FACTORY PREFIX FILE [NAME [SHOWN]]
//       a cold boot: writes the Wine registry files of the device folder PREFIX from
//       the factory registry in FACTORY, and from the saved registry FILE when there is
//       one that reads back cleanly; SHOWN is how messages call PREFIX (the device
//       folder's path on the host, when PREFIX is where a sandbox shows it)
//
// FILE is a device's file: no link is followed anywhere on its path, nothing but a
// regular file is read, and none larger than kMaxSavedSize (savedreg.h).
//   cedev-coldboot platform
//       what a cold boot takes from the platform rather than from the saved registry
//
// Exit codes (exitcodes.h): kExitDamaged when the saved registry is damaged, too large
// or not a file that can be read (it is kept; a cold boot then gives the factory
// registry).
#include "boot.h"
#include "devicefile.h"
#include "../report.h"
#include "savedfile.h"
#include "winereg.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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

const char kUsage[] = "cedev-coldboot check FILE [NAME] | boot FACTORY PREFIX FILE [NAME [SHOWN]] | platform";

// The Wine registry files of a device, written all or none: each into a fresh file
// beside it, and only when all are written, each exchanged with the one in place; a
// failure then exchanges back what was done. What is in place must be a regular file
// (or nothing): a folder or a link there is reported before anything changes.
class RegistryFiles {
public:
    static constexpr int kCount = 3;
    static constexpr const char *kNames[kCount] = {"system.reg", "user.reg", "userdef.reg"};

    // PREFIX is the device folder as this process sees it, SHOWN as the user knows it.
    RegistryFiles(const std::string &prefix, const std::string &shown) : prefix_(prefix), shown_(shown) {}
    RegistryFiles(const RegistryFiles &) = delete;
    RegistryFiles &operator=(const RegistryFiles &) = delete;
    ~RegistryFiles() { Abandon(); }

    // Checks what is in place and makes the fresh files.
    bool Prepare(std::string *error)
    {
        for (int i = 0; i < kCount; ++i) {
            struct stat st;
            exists_[i] = !lstat(Target(i).c_str(), &st);
            if (exists_[i] && !S_ISREG(st.st_mode)) {
                *error = "cannot replace the device's registry file " + Shown(i) +
                         ": it is not a regular file; nothing was changed (move it away, or make the device anew "
                         "with 'cedev init --force')";
                return false;
            }
        }
        for (int i = 0; i < kCount; ++i) {
            unlink(Temp(i).c_str());
            fds_[i] = open(Temp(i).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (fds_[i] < 0)
                return WriteError(i, errno, error);
        }
        return true;
    }

    // Appends to file I's fresh copy.
    bool Write(int i, std::string_view text)
    {
        for (size_t done = 0; done < text.size();) {
            ssize_t n = write(fds_[i], text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                errs_[i] = n < 0 ? errno : EIO;
                return false;
            }
            done += n;
        }
        return true;
    }

    // Puts the fresh files in place, all or none.
    bool Commit(std::string *error)
    {
        for (int i = 0; i < kCount; ++i) {
            int fd = fds_[i];
            fds_[i] = -1;
            if (close(fd) && !errs_[i])
                errs_[i] = errno;
            if (errs_[i])
                return WriteError(i, errs_[i], error);
        }
        int done = 0;
        bool ok = true;
        for (; done < kCount; ++done) {
            int rc = exists_[done] ? renameat2(AT_FDCWD, Temp(done).c_str(), AT_FDCWD, Target(done).c_str(),
                                               RENAME_EXCHANGE)
                                   : rename(Temp(done).c_str(), Target(done).c_str());
            if (rc) {
                *error = "cannot replace the device's registry file " + Shown(done) + " (" + strerror(errno) +
                         "); nothing was changed";
                ok = false;
                break;
            }
        }
        if (!ok) {
            while (done-- > 0) {
                if (exists_[done])
                    renameat2(AT_FDCWD, Temp(done).c_str(), AT_FDCWD, Target(done).c_str(), RENAME_EXCHANGE);
                else
                    rename(Target(done).c_str(), Temp(done).c_str());
            }
        }
        Abandon();
        return ok;
    }

    // Removes the fresh files (after a commit, the old ones).
    void Abandon()
    {
        for (int i = 0; i < kCount; ++i) {
            if (fds_[i] >= 0)
                close(fds_[i]);
            fds_[i] = -1;
            unlink(Temp(i).c_str());
        }
    }

private:
    std::string Target(int i) const { return prefix_ + "/" + kNames[i]; }
    std::string Temp(int i) const { return prefix_ + "/." + kNames[i] + ".new"; }
    std::string Shown(int i) const { return shown_ + "/" + kNames[i]; }

    bool WriteError(int i, int err, std::string *error)
    {
        *error = "cannot write the device's registry file " + Shown(i) + " (" +
                 (err == ENOSPC || err == EDQUOT ? std::string("the disk is full") : strerror(err)) +
                 "); nothing was changed";
        return false;
    }

    std::string prefix_, shown_;
    bool exists_[kCount] = {};
    int fds_[kCount] = {-1, -1, -1};
    int errs_[kCount] = {};
};

// A damaged file's report: "NAME line 12: what", "NAME is too large: ..." or "NAME is
// damaged: what".
std::string Damage(const std::string &name, const std::string &error)
{
    if (!error.compare(0, 5, "line ") || !error.compare(0, 3, "is "))
        return name + " " + error;
    return name + " is damaged: " + error;
}

// Only counts: what a check needs.
class CountingSink : public SavedSink {
    void Key(Root, std::u16string_view) override {}
    void Value(std::u16string_view, uint32_t, std::string_view) override {}
};

enum class Saved { Read, Missing, Unreadable, Damaged };

// Opens a saved registry and reads it whole once its head and size pass. *error says
// why it is Unreadable ("cannot be read: ...") or Damaged.
Saved ReadSaved(DeviceFile *file, const std::string &path, std::string *bytes, std::string *error)
{
    int err = file->Open(path);
    if (err == ENOENT)
        return Saved::Missing;
    if (err) {
        *error = "cannot be read: " + file->Why(err);
        return Saved::Unreadable;
    }
    std::string head;
    err = file->ReadHead(kSavedHeadSize, &head);
    if (!err && !CheckSavedHead(head, file->Size(), error))
        return Saved::Damaged;
    if (!err)
        err = file->ReadAll(kMaxSavedSize, bytes);
    if (err) {
        *error = std::string("cannot be read: ") + strerror(err);
        return Saved::Unreadable;
    }
    return Saved::Read;
}

int Check(const std::string &path, const std::string &name)
{
    DeviceFile file;
    std::string bytes, error;
    Saved read = ReadSaved(&file, path, &bytes, &error);
    if (read == Saved::Missing)
        return Fail(name + ": no such file");
    if (read == Saved::Unreadable)
        return Fail(name + " " + error);
    CountingSink sink;
    SavedCounts counts;
    if (read == Saved::Damaged || !ReadSavedRegistry(bytes, &sink, &counts, &error)) {
        return Report(kExitDamaged, Damage(name, error));
    }
    printf("%s: reads back cleanly, %zu keys, %zu values\n", name.c_str(), counts.keys, counts.values);
    return kExitOk;
}

// Each root's text goes to its fresh file as it is made.
struct Drain {
    RegistryFiles *files;
    int index;

    static bool Take(void *context, std::string_view piece)
    {
        Drain *d = static_cast<Drain *>(context);
        return d->files->Write(d->index, piece);
    }
};

// The factory registry in place of the device's, when there is no saved one to apply.
bool WriteFactory(RegistryFiles *files, const std::string_view texts[3], std::string *error)
{
    files->Abandon();
    if (!files->Prepare(error))
        return false;
    for (int i = 0; i < 3; ++i)
        files->Write(i, texts[i]);
    return files->Commit(error);
}

int Boot(const std::string &factoryDir, const std::string &prefix, const std::string &path, const std::string &name,
         const std::string &shownPrefix)
{
    // The factory files are the device's own records, out of its programs' sight;
    // bounded all the same.
    const uint64_t kMaxFactorySize = 1ull << 30;
    DeviceFile factory[3];
    std::string factoryBytes[3], error;
    for (int i = 0; i < 3; ++i) {
        std::string file = factoryDir + "/" + RegistryFiles::kNames[i];
        int err = factory[i].Open(file);
        if (err)
            return Fail("cannot read the device's factory registry " + std::string(RegistryFiles::kNames[i]) + ": " +
                        factory[i].Why(err) + " (make the device anew with 'cedev init --force')");
        err = factory[i].ReadAll(kMaxFactorySize, &factoryBytes[i]);
        if (err)
            return Fail("cannot read the device's factory registry " + std::string(RegistryFiles::kNames[i]) + ": " +
                        strerror(err) + " (make the device anew with 'cedev init --force')");
    }
    const std::string_view factoryTexts[3] = {factoryBytes[0], factoryBytes[1], factoryBytes[2]};
    RegistryFiles files(prefix, shownPrefix);

    DeviceFile saved;
    std::string bytes;
    Saved read = ReadSaved(&saved, path, &bytes, &error);
    if (read == Saved::Missing) {
        if (!WriteFactory(&files, factoryTexts, &error))
            return Fail(error);
        printf("cold boot: the factory registry (no saved registry in %s)\n", name.c_str());
        return kExitOk;
    }
    WineLinks machine, user;
    if (!ReadWineLinks(factoryTexts[0], &machine) || !ReadWineLinks(factoryTexts[1], &user))
        return Fail("the device's factory registry is not in Wine's registry format (make the device anew with "
                    "'cedev init --force')");
    bool applied = false;
    SavedCounts counts;
    if (read == Saved::Read && files.Prepare(&error)) {
        Drain drains[2] = {{&files, 0}, {&files, 1}};
        WineText machineText(Drain::Take, &drains[0]), userText(Drain::Take, &drains[1]);
        BootWriter writer(machine, &machineText, user, &userText, saved.ModifiedTime());
        if (!ReadSavedRegistry(bytes, &writer, &counts, &error)) {
            read = Saved::Damaged;
        } else {
            writer.Finish(Root::Machine);
            writer.Finish(Root::User);
            machineText.Finish();
            userText.Finish();
            files.Write(2, factoryTexts[2]);
            if (!files.Commit(&error))
                return Fail(error);
            applied = true;
        }
    } else if (read == Saved::Read) {
        return Fail(error);
    }
    if (!applied) {
        std::string written;
        std::string report = Damage(name, read == Saved::Unreadable ? "it " + error : error);
        if (!WriteFactory(&files, factoryTexts, &written))
            return Fail(report + "; and the factory registry could not be restored: " + written);
        return Report(kExitDamaged, report + "; kept it, the device runs on its factory registry");
    }
    printf("cold boot: the registry saved in %s (%zu keys, %zu values)\n", name.c_str(), counts.keys, counts.values);
    return kExitOk;
}

// The list above, one line each: how it is taken, the key, and why.
int Platform()
{
    printf("link\tevery symbolic link\t%s\n", kLinks);
    for (const PlatformKey &p : kPlatformKeys) {
        printf("%s\t%s\\%s\t%s\n", p.taken == Taken::Start ? "start" : "missing", RootName(p.root),
               p.path, p.why);
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char **argv)
{
    std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "check" && (argc == 3 || argc == 4))
        return Check(argv[2], argc == 4 ? argv[3] : argv[2]);
    if (cmd == "boot" && argc >= 5 && argc <= 7)
        return Boot(argv[2], argv[3], argv[4], argc >= 6 ? argv[5] : argv[4], argc == 7 ? argv[6] : argv[3]);
    if (cmd == "platform" && argc == 2)
        return Platform();
    return Usage(kUsage);
}
