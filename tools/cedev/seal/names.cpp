#include "names.h"
#include "../text.h"

#include <strings.h>

namespace {

bool Same(const std::string &a, const char *b)
{
    return !strcasecmp(a.c_str(), b);
}

bool HasControl(const std::string &name)
{
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f)
            return true;
    }
    return false;
}

}  // namespace

std::string NameProblem(const std::string &name)
{
    if (name.empty() || HasControl(name) || name.find_first_of("\\/:*?\"<>|") != std::string::npos ||
        name.find_first_not_of(". ") == std::string::npos)
        return "a device file name cannot hold \\ / : * ? \" < > | or a control character, or be only dots";
    if (!IsUtf8(name))
        return "the name is not UTF-8 text, and a device file name is Unicode: rename the file first";
    if (name.back() == '.' || name.back() == ' ')
        return "a device file name cannot end with a dot or a space, which the device drops";
    if (name.size() > 255)
        return "the name is longer than 255 bytes";
    // What comes before the first dot names a device of the system when it is one of
    // these, whatever follows ("con.txt" is the console too).
    std::string base = name.substr(0, name.find('.'));
    base.erase(base.find_last_not_of(' ') + 1);
    static const char *const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    bool device = false;
    for (const char *dev : kDevices)
        device = device || Same(base, dev);
    if (base.size() == 4 && (!strncasecmp(base.c_str(), "COM", 3) || !strncasecmp(base.c_str(), "LPT", 3)) &&
        base[3] >= '1' && base[3] <= '9')
        device = true;
    if (device)
        return "CON, PRN, AUX, NUL, COM1-9 and LPT1-9 name the system's devices, not files";
    return std::string();
}

std::string SplitDevicePath(const std::string &path, std::vector<std::string> *names)
{
    size_t start = 0;
    while (!path.empty() && start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos)
            end = path.size();
        std::string name = path.substr(start, end - start);
        if (name.size() > 255)
            return "a name in the path is longer than 255 bytes";
        if (name.empty() || name == "." || name == ".." || HasControl(name) || name.find('/') != std::string::npos ||
            !IsUtf8(name))
            return "the device gave cedev a path it does not take";
        names->push_back(name);
        start = end + 1;
    }
    return std::string();
}
