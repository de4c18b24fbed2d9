#include "devlimits.h"
#include "cli.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string ReadSmall(const std::string &path)
{
    std::string text;
    return ReadRecord(path, &text) ? text : std::string();
}

bool WriteSmall(const std::string &path, const std::string &text)
{
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

// "name N" lines of a cgroup's events file.
uint64_t EventCount(const std::string &path, const std::string &name)
{
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof(buf));
    close(fd);
    if (n <= 0)
        return 0;
    text.assign(buf, n);
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        std::string line = text.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
        if (line.compare(0, name.size() + 1, name + " ") == 0)
            return strtoull(line.c_str() + name.size() + 1, nullptr, 10);
        at = nl == std::string::npos ? text.size() : nl + 1;
    }
    return 0;
}

struct Hierarchy {
    std::string mount, root;
};

// Where this process's cgroups are: the v2 hierarchy, or the v1 ones of the memory and
// pids controllers, from /proc/self/mountinfo and /proc/self/cgroup.
bool FindHierarchy(const std::string &controller, Hierarchy *h, std::string *path)
{
    std::string info = ReadSmall("/proc/self/mountinfo"), own = ReadSmall("/proc/self/cgroup");
    size_t at = 0;
    bool found = false;
    while (!found && at < info.size()) {
        size_t nl = info.find('\n', at);
        std::string line = info.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
        at = nl == std::string::npos ? info.size() : nl + 1;
        std::vector<std::string> f;
        size_t p = 0;
        while (p < line.size()) {
            size_t sp = line.find(' ', p);
            f.push_back(line.substr(p, sp == std::string::npos ? std::string::npos : sp - p));
            p = sp == std::string::npos ? line.size() : sp + 1;
        }
        size_t dash = 0;
        while (dash < f.size() && f[dash] != "-")
            ++dash;
        if (dash + 3 >= f.size() || f.size() < 5)
            continue;
        const std::string &type = f[dash + 1], &opts = f[dash + 3];
        bool v2 = controller.empty() && type == "cgroup2";
        bool v1 = !controller.empty() && type == "cgroup" &&
                  ("," + opts + ",").find("," + controller + ",") != std::string::npos;
        if (v1 || v2) {
            h->root = f[3];
            h->mount = f[4];
            found = true;
        }
    }
    if (!found)
        return false;
    at = 0;
    while (at < own.size()) {
        size_t nl = own.find('\n', at);
        std::string line = own.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
        at = nl == std::string::npos ? own.size() : nl + 1;
        size_t c1 = line.find(':'), c2 = c1 == std::string::npos ? c1 : line.find(':', c1 + 1);
        if (c2 == std::string::npos)
            continue;
        std::string controllers = "," + line.substr(c1 + 1, c2 - c1 - 1) + ",";
        if (controller.empty() ? controllers == ",," : controllers.find("," + controller + ",") != std::string::npos) {
            std::string p = line.substr(c2 + 1);
            if (h->root != "/" && p.compare(0, h->root.size(), h->root) == 0)
                p = p.substr(h->root.size());
            *path = h->mount + (p == "/" ? "" : p);
            return true;
        }
    }
    return false;
}

// When process PID started, in clock ticks after boot; 0 when there is no such process.
unsigned long long ProcessStart(pid_t pid)
{
    std::string stat = ReadSmall("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos)
        return 0;
    // The fields after the name: the state is the 3rd of the line, the start time the 22nd.
    size_t at = paren + 2;
    for (int field = 3; field < 22 && at < stat.size(); ++at) {
        if (stat[at] == ' ')
            ++field;
    }
    return strtoull(stat.c_str() + at, nullptr, 10);
}

// The cgroups that keepers now gone left in PARENT (a keeper killed from outside
// removes none): "cedev-PID-START" whose keeper no longer runs, and "cedev-PID" of
// earlier cedevs whose process is gone; each only when no process is in it, so that a
// device's cgroup is never taken from under it (rmdir would refuse a cgroup with a
// process in it, but not an empty leaf of a device that still runs).
void RemoveStale(const std::string &parent)
{
    DIR *d = opendir(parent.c_str());
    if (!d)
        return;
    std::vector<std::string> stale;
    while (dirent *e = readdir(d)) {
        unsigned long pid = 0;
        unsigned long long start = 0;
        int used = 0;
        std::string name = e->d_name;
        bool named = sscanf(name.c_str(), "cedev-%lu-%llu%n", &pid, &start, &used) == 2 ||
                     sscanf(name.c_str(), "cedev-%lu%n", &pid, &used) == 1;
        if (!named || used != static_cast<int>(name.size()) || pid == 0 || pid > 4194304)
            continue;
        unsigned long long now = ProcessStart(static_cast<pid_t>(pid));
        if (now == 0 || (start != 0 && now != start))
            stale.push_back(parent + "/" + name);
    }
    closedir(d);
    for (const std::string &dir : stale) {
        bool held = false;
        for (const char *part : {"", "/system", "/programs"})
            held = held || !ReadSmall(dir + part + "/cgroup.procs").empty();
        if (held)
            continue;
        for (const char *leaf : {"/programs", "/system"})
            rmdir((dir + leaf).c_str());
        rmdir(dir.c_str());
    }
}

}  // namespace

std::string Cgroup::NameFor(pid_t keeper)
{
    return "cedev-" + std::to_string(keeper) + "-" + std::to_string(ProcessStart(keeper));
}

static int OpenProcs(const std::string &dir)
{
    return open((dir + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC);
}

bool Cgroup::Make(const std::string &name, const Limits &l, std::string *how)
{
    auto made = [&](const std::string &dir) {
        if (mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) {
            made_.insert(made_.begin(), dir);
            return true;
        }
        return false;
    };
    auto undo = [&] { Remove(); };
    Hierarchy h;
    std::string own;
    struct stat st;
    if (FindHierarchy("", &h, &own) && stat((h.mount + "/cgroup.controllers").c_str(), &st) == 0 &&
        ReadSmall(own + "/cgroup.controllers").find("memory") != std::string::npos) {
        // cgroup v2: the device's cgroup below this process's own, which takes it only
        // where its controllers can be handed down (the root, or a delegated cgroup);
        // its processes in two leaves below it.
        std::string dir = own + "/" + name;
        RemoveStale(own);
        WriteSmall(own + "/cgroup.subtree_control", "+memory +pids");
        if (made(dir) && WriteSmall(dir + "/memory.max", std::to_string(l.memory)) &&
            WriteSmall(dir + "/cgroup.subtree_control", "+pids") && made(dir + "/system") &&
            made(dir + "/programs") && WriteSmall(dir + "/programs/pids.max", std::to_string(l.processes))) {
            WriteSmall(dir + "/memory.swap.max", "0");
            int s = OpenProcs(dir + "/system"), p = OpenProcs(dir + "/programs");
            if (s >= 0 && p >= 0) {
                memory_ = dir;
                pids_ = dir + "/programs";
                v2_ = true;
                system_ = {s};
                programs_ = {p};
                *how = "cgroup v2";
                return true;
            }
            if (s >= 0)
                close(s);
            if (p >= 0)
                close(p);
        }
        undo();
    }
    // cgroup v1: one cgroup in the memory hierarchy, and one in the pids hierarchy with
    // the programs' own below it.
    Hierarchy hm, hp;
    std::string ownMemory, ownPids;
    if (!FindHierarchy("memory", &hm, &ownMemory) || !FindHierarchy("pids", &hp, &ownPids))
        return false;
    std::string m = ownMemory + "/" + name, p = ownPids + "/" + name;
    RemoveStale(ownMemory);
    RemoveStale(ownPids);
    if (made(m) && made(p) && made(p + "/programs") && WriteSmall(m + "/memory.limit_in_bytes", std::to_string(l.memory)) &&
        WriteSmall(p + "/programs/pids.max", std::to_string(l.processes))) {
        WriteSmall(m + "/memory.memsw.limit_in_bytes", std::to_string(l.memory));
        int fm = OpenProcs(m), fs = OpenProcs(p), fp = OpenProcs(p + "/programs"), fm2 = OpenProcs(m);
        if (fm >= 0 && fs >= 0 && fp >= 0 && fm2 >= 0) {
            memory_ = m;
            pids_ = p + "/programs";
            system_ = {fm, fs};
            programs_ = {fm2, fp};
            *how = "cgroup v1";
            return true;
        }
        for (int fd : {fm, fs, fp, fm2})
            if (fd >= 0)
                close(fd);
    }
    undo();
    return false;
}

uint64_t Cgroup::OomKills() const
{
    if (memory_.empty())
        return 0;
    return EventCount(memory_ + (v2_ ? "/memory.events" : "/memory.oom_control"), "oom_kill");
}

uint64_t Cgroup::ProcessesRefused() const
{
    return pids_.empty() ? 0 : EventCount(pids_ + "/pids.events", "max");
}

void Cgroup::Remove()
{
    for (int fd : system_)
        close(fd);
    for (int fd : programs_)
        close(fd);
    system_.clear();
    programs_.clear();
    for (const std::string &d : made_)
        rmdir(d.c_str());
    made_.clear();
    memory_.clear();
    pids_.clear();
}

void DiskUse(const Device &device, const Limits &limits, uint64_t *bytes, uint64_t *files)
{
    *bytes = *files = 0;
    // Folders still to walk, each open; what the device shares with the template is
    // left out, and no link is followed.
    std::vector<std::pair<int, std::string>> todo;
    int root = open(device.Dir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0)
        return;
    todo.push_back({root, ""});
    int tmp = open(device.Record("tmp").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (tmp >= 0)
        todo.push_back({tmp, ".cedev/tmp"});
    while (!todo.empty()) {
        auto [fd, path] = todo.back();
        todo.pop_back();
        DIR *d = fdopendir(fd);
        if (!d) {
            close(fd);
            continue;
        }
        while (dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name == "." || name == "..")
                continue;
            std::string sub = path.empty() ? name : path + "/" + name;
            bool theirs = false;
            for (const char *s : kNotTheDevices)
                theirs = theirs || sub == s;
            if (theirs)
                continue;
            struct stat st;
            if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW))
                continue;
            *bytes += static_cast<uint64_t>(st.st_blocks) * 512;
            ++*files;
            if (S_ISDIR(st.st_mode) && *files <= limits.files && *bytes <= limits.disk) {
                int next = openat(dirfd(d), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (next >= 0)
                    todo.push_back({next, sub});
            }
        }
        closedir(d);
    }
    for (auto &t : todo)
        close(t.first);
}

std::string LimitsText(const Limits &l)
{
    return "memory " + SizeText(l.memory) + ", processes " + std::to_string(l.processes) + ", one file " +
           SizeText(l.fileSize) + ", disk " + SizeText(l.disk) + " in " + std::to_string(l.files) + " files, log " +
           SizeText(l.log) + ", shared memory " + SizeText(l.tmp);
}
