#include "devpath.h"
#include "cli.h"
#include "sandbox.h"
#include "session.h"

#include <cerrno>
#include <clocale>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string Shortened(const std::string &path)
{
    return path.size() <= 60 ? path : path.substr(0, 40) + "...";
}

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9, with or without an extension or trailing
// spaces, name the system's devices wherever they stand last in a path.
bool DosDeviceName(const std::string &name)
{
    std::string base = name.substr(0, name.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    std::string up;
    for (char c : base)
        up += static_cast<char>(toupper(static_cast<unsigned char>(c)));
    if (up == "CON" || up == "PRN" || up == "AUX" || up == "NUL")
        return true;
    return up.size() == 4 && (up.compare(0, 3, "COM") == 0 || up.compare(0, 3, "LPT") == 0) && up[3] >= '1' &&
           up[3] <= '9';
}

std::u32string Decode(const std::string &s)
{
    std::u32string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char b = s[i];
        size_t n = b < 0x80 ? 1 : b >= 0xf0 ? 4 : b >= 0xe0 ? 3 : b >= 0xc0 ? 2 : 1;
        if (i + n > s.size())
            n = 1;
        char32_t c = n == 1 ? b : n == 2 ? b & 0x1f : n == 3 ? b & 0x0f : b & 0x07;
        for (size_t k = 1; k < n; ++k)
            c = c << 6 | (s[i + k] & 0x3f);
        out += c;
        i += n;
    }
    return out;
}

}  // namespace

bool SameName(const std::string &a, const std::string &b)
{
    if (a == b)
        return true;
    static bool locale = setlocale(LC_CTYPE, "C.UTF-8") != nullptr;
    (void)locale;
    std::u32string x = Decode(a), y = Decode(b);
    if (x.size() != y.size())
        return false;
    for (size_t i = 0; i < x.size(); ++i) {
        if (x[i] != y[i] && towupper(static_cast<wint_t>(x[i])) != towupper(static_cast<wint_t>(y[i])))
            return false;
    }
    return true;
}

std::vector<std::string> DeviceNames(const std::string &path)
{
    if (path.size() > kMaxDeviceArgs)
        UsageError("'" + Shortened(path) + "' is " + std::to_string(path.size()) +
                   " characters long; a device path takes at most " + std::to_string(kMaxDeviceArgs));
    auto separator = [](char c) { return c == '\\' || c == '/'; };
    if (path.empty() || path[0] != '\\' || (path.size() > 1 && separator(path[1])) ||
        path.find(':') != std::string::npos)
        UsageError("'" + Shortened(path) + "' is not a device path; they start with \\ (e.g. \\Flash Disk\\registry.dat)");
    std::vector<std::string> names;
    size_t at = 1;
    while (at <= path.size()) {
        size_t end = at;
        while (end < path.size() && !separator(path[end]))
            ++end;
        std::string name = path.substr(at, end - at);
        at = end + 1;
        if (name == "..") {
            if (names.empty())
                UsageError("'" + Shortened(path) + "' leaves the device ('..')");
            names.pop_back();
            continue;
        }
        while (!name.empty() && (name.back() == '.' || name.back() == ' '))
            name.pop_back();
        if (!name.empty())
            names.push_back(name);
    }
    if (!names.empty() && DosDeviceName(names.back()))
        UsageError("'" + Shortened(path) + "': CON, PRN, AUX, NUL, COM1-9 and LPT1-9 name the system's devices, not files");
    return names;
}

std::string ResolveDevicePath(const Device &device, const std::string &path, Session *session)
{
    std::vector<std::string> names = DeviceNames(path);
    int at = open((device.Dir() + "/drive_c").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    std::string place;
    for (size_t i = 0; i < names.size(); ++i) {
        std::string name = names[i];
        bool found = false;
        if (at >= 0) {
            struct stat st;
            if (fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
                found = true;
            } else {
                int list = openat(at, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                if (DIR *d = list >= 0 ? fdopendir(list) : nullptr) {
                    while (dirent *e = readdir(d)) {
                        if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..") && SameName(e->d_name, name)) {
                            name = e->d_name;
                            found = true;
                            break;
                        }
                    }
                    closedir(d);
                } else if (list >= 0) {
                    close(list);
                }
            }
            // A short name the file system made ("FLASHD~1"): the device knows its long one.
            if (!found && session && name.find('~') != std::string::npos) {
                HelperAnswer a = session->Helper({"path", "\\" + place + (place.empty() ? "" : "\\") + name});
                std::string longer = a.code == 0 ? a.out : "";
                while (!longer.empty() && longer.back() == '\n')
                    longer.pop_back();
                std::string last = longer.substr(longer.rfind('\\') == std::string::npos ? 0 : longer.rfind('\\') + 1);
                struct stat st;
                if (!last.empty() && last.find('/') == std::string::npos && fstatat(at, last.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
                    name = last;
                    found = true;
                }
            }
        }
        place += (place.empty() ? "" : "\\") + name;
        if (at >= 0) {
            int next = found ? openat(at, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
            close(at);
            at = next;
        }
    }
    if (at >= 0)
        close(at);
    return place;
}
