// Holding a device to its limits (see Limits in device.h) with what the machine
// offers: cgroups when cedev may make them (memory and processes, for the whole
// device), else rlimits (processes, counted per host user); an rlimit on the size of
// one file always; and for the device's disk use and its log, cedev itself.
#ifndef CEDEV_DEVLIMITS_H
#define CEDEV_DEVLIMITS_H

#include "device.h"

#include <string>
#include <vector>

class Cgroup {
public:
    // Makes the session's cgroups with the limits; false (and nothing made) when the
    // machine does not let cedev. *how says which held.
    bool Make(const std::string &name, const Limits &limits, std::string *how);
    // The cgroup.procs files a process writes "0" to, to join.
    const std::vector<int> &Procs() const { return procs_; }
    bool Active() const { return !procs_.empty(); }
    // How often the kernel ended a process for the memory limit, and refused one for
    // the process limit, so far.
    uint64_t OomKills() const;
    uint64_t ProcessesRefused() const;
    void Remove();

private:
    std::string memory_, pids_;
    bool v2_ = false;
    std::vector<int> procs_;
};

// The device folder's own files (what it shares with the template excepted, its /tmp
// included): their bytes on disk and their number. Stops counting past the limits.
void DiskUse(const Device &device, const Limits &limits, uint64_t *bytes, uint64_t *files);

// "memory 1 GiB, processes 512, ...": the limits as 'cedev limits' and the log show them.
std::string LimitsText(const Limits &limits);

#endif
