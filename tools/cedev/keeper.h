// The keeper of a running device: the one host process that owns its session, started
// by the command that starts the device and ended by 'cedev stop' or 'cedev reset' (or
// by the device's own end). It is the parent of the device's sandbox and of every
// process cedev starts in it, so it knows at once when the display, the Wine server or
// the sandbox ends; it holds the resident helper's channel, which nothing inside can
// reach; and it serves cedev's commands over a socket in the device's records. It
// holds DIR/.cedev/keeper.lock for as long as it runs: that lock, not a process id, is
// what tells a running device from a stopped one. If the keeper is killed, the sandbox
// ends with it (bubblewrap's --die-with-parent), and the next command starts afresh.
#ifndef CEDEV_KEEPER_H
#define CEDEV_KEEPER_H

#include <string>

// How the starting command hands the keeper its task.
struct KeeperTask {
    std::string device;
    int readyFd = -1;         // the keeper writes "ok" or one line of why not, then closes it
    int hostDisplay = -1;     // the user's X display number, or -1 for a private one
    std::string xauthority;   // the user's X authority file, for their display
    std::string wineDebug;    // WINEDEBUG for the device's programs
};

int RunKeeper(const KeeperTask &task);

// The reasons a process of the device ended other than by itself, as the keeper
// reports them with its exit code.
#define CEDEV_END_STOPPED "stopped"
#define CEDEV_END_RESET "reset"
#define CEDEV_END_BROKEN "broken"
#define CEDEV_END_MEMORY "memory"
#define CEDEV_END_FILE_SIZE "file-size"
#define CEDEV_END_DISK "disk"

#endif
