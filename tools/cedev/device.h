// A device is a folder: a Wine prefix with the handheld's rules, and beside it, in
// DIR/.cedev, cedev's own records, which no program inside can see. This file knows
// the folder, its records, its locks, its limits and whose its files are.
#ifndef CEDEV_DEVICE_H
#define CEDEV_DEVICE_H

#include <cstdint>
#include <initializer_list>
#include <string>
#include <sys/types.h>

// Where the build put cedev and what serves it inside a device.
struct Build {
    std::string bin;    // build/bin: cedev, COREDLL.dll, cedev-coldboot, cedev-driver.dll
    std::string tools;  // build/bin/device-tools: seen read-only inside every device
    static Build Find();
};

// Whose a device's files are, and as whom its processes run on the host. A device
// started by root runs as an unprivileged uid of its own, never as root; anyone else's
// runs as them. Inside, its user is always uid 1000.
struct Owner {
    uid_t uid;
    gid_t gid;
    bool fromRoot;  // cedev runs as root and drops to uid before anything enters
    static Owner ForCaller();
};
constexpr uid_t kDefaultDeviceUid = 65533;  // unprivileged; no account on Debian uses it
constexpr uid_t kInsideUid = 1000;

// What lies in a device folder but is not the device's own, as paths below it: cedev's
// records, and what it shares read-only with the template cache (hard links to it).
// Neither is given to the device's owner nor counted in its disk use.
inline const std::initializer_list<const char *> kNotTheDevices = {".cedev", "drive_c/windows/system32",
                                                                    "drive_c/windows/winsxs"};
// The stand-in driver libraries in \Windows that make a device the target handheld, each
// a copy of the build's cedev-driver.dll.
inline const std::initializer_list<const char *> kDriverLibraries = {"QM410Key.dll", "KeyRelay.dll", "PadRelay.dll"};

// What one device may use of the host. Each has a default; 'cedev init' and 'cedev
// limits' set them; they take effect when the device starts.
struct Limits {
    uint64_t memory = 1ULL << 30;       // all its processes together
    uint64_t processes = 512;           // processes and threads together
    uint64_t fileSize = 512ULL << 20;   // one file
    uint64_t disk = 4ULL << 30;         // its folder's own files (what it shares with the
    uint64_t files = 200000;            //   template excepted), and their number
    uint64_t log = 16ULL << 20;         // its log and the part before it, together
    uint64_t tmp = 256ULL << 20;        // its /dev/shm
};

class Device {
public:
    explicit Device(const std::string &folder);
    const std::string &Dir() const { return dir_; }
    const std::string &State() const { return state_; }
    // A record in DIR/.cedev.
    std::string Record(const std::string &name) const { return state_ + "/" + name; }
    bool Exists() const;
    // Fails "no device at DIR" unless there is one.
    void Need() const;
    bool Target() const;

    Limits ReadLimits() const;
    void WriteLimits(const Limits &limits) const;

private:
    std::string dir_, state_;
};

// A file lock, held until Release() or the object's end (or the process's).
class FileLock {
public:
    FileLock() = default;
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;
    ~FileLock() { Release(); }
    // LOCK_SH or LOCK_EX; waits up to timeoutMs (0: not at all). False when it could
    // not be had in that time.
    bool Take(const std::string &path, int how, int timeoutMs);
    void Release();
    bool Held() const { return fd_ >= 0; }
    int How() const { return how_; }

private:
    int fd_ = -1, how_ = 0;
};

// The device's own lock: commands that change what the device is (init, reset, stop,
// a start) hold it alone; registry writes and copies in share it, so that none of them
// lands in the middle of a cold boot. Fails after a minute of waiting.
void LockDevice(const Device &device, FileLock *lock, int how);

// Writes a record whole or not at all: into a fresh file beside it, then moved over it.
bool WriteRecord(const std::string &path, const std::string &text, mode_t mode = 0600);
bool ReadRecord(const std::string &path, std::string *text);

long long NowMs();

#endif
