// The sandboxes a device's processes live in (Debian's bubblewrap), and how a process
// enters a running one.
//
// A device's session is one sandbox: its own user, process, mount, network, IPC and
// host-name namespaces; the device folder the only host place it can write; the host's
// /usr read-only and a few files of /etc; no network; no further user namespaces. Its
// processes run as an unprivileged host uid (the caller's, or a uid of the device's
// own when the caller is root), as uid 1000 inside, with no capabilities. What serves
// cedev inside, and the programs cedev relies on (Wine's loader and server, the
// display), are copies made for the sandbox with execute-only permissions: no process
// inside can read them, so each process they become is one the others cannot trace or
// reach through /proc. None of the sandbox's mounts shows a host path but the device
// folder's own.
#ifndef CEDEV_SANDBOX_H
#define CEDEV_SANDBOX_H

#include "device.h"

#include <string>
#include <vector>

// A bubblewrap command line with the descriptors it reads from (folders to bind, data
// to copy in), which stay open until the child that runs it has started.
class Bwrap {
public:
    Bwrap() = default;
    Bwrap(const Bwrap &) = delete;
    Bwrap &operator=(const Bwrap &) = delete;
    ~Bwrap();
    void Add(std::initializer_list<std::string> words);
    // Binds an open folder (read-only unless writable); the descriptor is taken.
    void BindFd(int fd, const std::string &dest, bool writable);
    // Copies a host file (or memory) into the sandbox as a read-only file of its own.
    void Data(int fd, const std::string &dest, const char *perms);
    void Text(const std::string &text, const std::string &dest);
    // The descriptors the command line names; kept open across exec.
    const std::vector<int> &Fds() const { return fds_; }
    const std::vector<std::string> &Words() const { return words_; }

private:
    std::vector<std::string> words_;
    std::vector<int> fds_;
};

// The host's system files, read-only, /proc, a minimal /dev, /etc's account files with
// the device's one user, and no network: what every sandbox of a device has.
void SystemBase(Bwrap *b, bool network);

// The environment every Wine process of a device starts with (its prefix, its user,
// the libraries left out), before what each adds: its display, Wine's messages.
std::vector<std::string> WineEnv();

// The device's session sandbox. hostDisplay: the number of the user's X display the
// device's screen goes to, or -1 for a private display. xauthority: a host file to
// show as the sandbox's /tmp/.Xauthority (empty for none).
void DeviceSandbox(Bwrap *b, const Device &device, const Build &build, const Limits &limits, int hostDisplay,
                   const std::string &xauthority);

// A sandbox of the device that ends with its command, for work on its files while it is
// off (a cold boot, the saved registry's check): the device folder (read-only unless
// writable) and the given host programs, each copied in at /NAME.
void OneOffSandbox(Bwrap *b, const Device &device, bool writable, const std::vector<std::string> &programs);

// Opens a folder below root (names joined by '/') one name at a time, following no
// link: what a device could have replaced with one is never taken for what it points
// to. -1 with errno on failure.
int OpenBelow(int root, const std::string &path, int flags);

// Runs bwrap with the command after its options, as the device's owner (dropping from
// root), in the given cgroup procs files, with the device's rlimits when asked.
struct SandboxChild {
    std::vector<int> keep;         // descriptors the command gets as they are
    int in = -1, out = -1, err = -1;
    std::vector<int> cgroupProcs;  // cgroup.procs files to join first
    const Limits *rlimits = nullptr;
    bool fixedLayout = false;      // no address-space randomisation (Wine)
};
pid_t StartBwrap(const Bwrap &b, const std::vector<std::string> &command, const Owner &owner,
                 const SandboxChild &child);

// The namespaces of a running session, held open: entering them is how every later
// process of the device gets in.
struct SessionNamespaces {
    int outerUser = -1, user = -1, pid = -1, mnt = -1, net = -1, ipc = -1, uts = -1, cgroup = -1;
    bool Open(pid_t init);
    void Close();
};

struct SpawnRequest {
    std::string path;  // the program; argv[0] when empty
    std::vector<std::string> argv;
    std::vector<std::string> env;
    std::string cwd = "/device/drive_c";
    int in = -1, out = -1, err = -1;  // -1: /dev/null
    bool fixedLayout = false;         // no address-space randomisation (Wine)
    // How readily the kernel ends it when the device runs out of memory: programs
    // before the device's own processes (its display, Wine server, cedev's helper).
    int oomScore = 0;
};

// Starts a process inside the session as the device's user, with no capability, in a
// session of its own, holding only descriptors 0-2. The caller becomes its parent.
// Returns its host pid, or -1 with *error saying why.
pid_t SpawnInside(const SessionNamespaces &ns, const Owner &owner, const std::vector<int> &cgroupProcs,
                  const Limits &limits, const SpawnRequest &request, std::string *error);

#endif
