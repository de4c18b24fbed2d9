// An install cabinet: its members by number, and the setup file that numbers them.
#include "installcab.h"

#include <cstdio>

namespace installcab {

namespace {

// The number of a member named NAME.NNN (1 to 8 characters before the dot), -1 for any
// other name.
int MemberNumber(const std::string &name)
{
    size_t dot = name.find('.');
    if (dot == std::string::npos || dot == 0 || dot > 8 || name.size() != dot + 4)
        return -1;
    int n = 0;
    for (size_t i = dot + 1; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9')
            return -1;
        n = n * 10 + (name[i] - '0');
    }
    return n;
}

bool Fail(std::string *why, const std::string &what)
{
    if (why)
        *why = what;
    return false;
}

}  // namespace

bool Open(const uint8_t *data, size_t size, InstallCabinet *out, std::string *why)
{
    out->files.clear();
    out->setupName.clear();
    if (!cabinet::Read(data, size, &out->members, why))
        return false;
    std::map<int, const cabinet::Member *> numbered;
    for (const cabinet::Member &m : out->members) {
        int n = MemberNumber(m.name);
        if (n < 0)
            return Fail(why, "it holds " + m.name + ", which is not named NAME.NNN as an install cabinet's files are");
        if (n == 999)
            return Fail(why, "it carries a setup library (" + m.name + "), which this installer cannot run");
        if (!numbered.emplace(n, &m).second)
            return Fail(why, "it holds two files numbered " + m.name.substr(m.name.size() - 3));
    }
    auto setup = numbered.find(0);
    if (setup == numbered.end())
        return Fail(why, "it holds no setup file (NAME.000): it is not an install cabinet");
    out->setupName = setup->second->name;
    std::string reason;
    const std::vector<uint8_t> &bytes = setup->second->data;
    if (!cesetup::Read(bytes.data(), bytes.size(), &out->setup, &reason))
        return Fail(why, "its setup file " + out->setupName + " is refused: " + reason);
    for (const cesetup::File &f : out->setup.files) {
        auto m = numbered.find(f.id);
        if (m == numbered.end())
            return Fail(why, "its setup file installs file " + std::to_string(f.id) + " (" + f.name +
                                 "), which the cabinet does not hold");
        out->files[f.id] = &m->second->data;
    }
    for (const auto &m : numbered)
        if (m.first != 0 && !out->files.count(uint16_t(m.first)))
            return Fail(why, "it holds " + m.second->name + ", which its setup file does not install");
    return true;
}

std::string MemberName(const std::string &name, unsigned number)
{
    std::string stem;
    for (char c : name.substr(0, name.rfind('.')))
        if (((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) && stem.size() < 8)
            stem += c;
    char ext[8];
    snprintf(ext, sizeof ext, ".%03u", number % 1000);
    return std::string(8 - stem.size(), '0') + stem + ext;
}

}  // namespace installcab
