// Holding a device to its limits (see Limits in device.h) with what the machine
// offers: cgroups when cedev may make them (memory and processes, for the whole
// device), else rlimits (processes, counted per host user); an rlimit on the size of
// one file always; and for the device's disk use and its log, cedev itself.
#ifndef CEDEV_DEVLIMITS_H
#define CEDEV_DEVLIMITS_H

#include "device.h"

#include <string>
#include <sys/types.h>
#include <vector>

// A device's cgroups: the memory limit holds for all its processes together; the
// process limit for the programs run in it (and what they start), so that however many
// they start, the device's own processes (its display, its Wine server and desktop,
// cedev's helper) can still run and end them.
class Cgroup {
public:
    // Makes the session's cgroups with the limits; false (and nothing made) when the
    // machine does not let cedev. *how says which held.
    bool Make(const std::string &name, const Limits &limits, std::string *how);
    // The name of the cgroups of a session whose keeper is KEEPER: its id and start
    // time, so that a cgroup a killed keeper left is told from a live keeper's, and
    // removed by the next.
    static std::string NameFor(pid_t keeper);
    // The cgroup.procs files a process writes "0" to, to join: as one of the device's
    // own processes, or as a program.
    const std::vector<int> &System() const { return system_; }
    const std::vector<int> &Programs() const { return programs_; }
    bool Active() const { return !system_.empty(); }
    // How often the kernel ended a process for the memory limit, and refused one for
    // the process limit, so far.
    uint64_t OomKills() const;
    uint64_t ProcessesRefused() const;
    void Remove();

private:
    std::string memory_, pids_;
    bool v2_ = false;
    std::vector<int> system_, programs_;
    std::vector<std::string> made_;  // folders to remove, innermost first
};

// The device folder's own files (what it shares with the template excepted, its /tmp
// included): their bytes on disk and their number. Stops counting past the limits.
void DiskUse(const Device &device, const Limits &limits, uint64_t *bytes, uint64_t *files);

// "memory 1 GiB, processes 512, ...": the limits as 'cedev limits' and the log show them.
std::string LimitsText(const Limits &limits);

#endif
