// cecab: the handheld's install cabinet, on the host.
//
//   cecab stage --files DIR -o OUTDIR DESCRIPTION.inf
//       Reads the description (the CAB Wizard's .inf style), writes the setup file it
//       describes and a copy of every file it installs into OUTDIR under their names in
//       the cabinet, and prints those names in the cabinet's order: the setup file
//       first, then the others by descending number. A source disk's relative folder is
//       taken from DIR. A damaged description is reported with its file and line.
//
//   cecab show FILE
//       Prints the fields of a setup file (NAME.000), or of the install cabinet that
//       holds one, after the checks the simulated handheld's installer makes.
#include "bytes.h"
#include "inf.h"
#include "installcab.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace {

bool WriteAll(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    out.close();
    return bool(out);
}

int Stage(const std::string &files, const std::string &outDir, const std::string &description)
{
    std::vector<uint8_t> text;
    if (!ReadFileBytes(description, &text)) {
        fprintf(stderr, "cecab: %s cannot be read\n", description.c_str());
        return 1;
    }
    inf::Package package;
    std::string why;
    if (!inf::Parse(std::string(text.begin(), text.end()), description, files, &package, &why)) {
        fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
    if (!WriteAll(outDir + "/" + package.setupMember, cesetup::Write(package.setup))) {
        fprintf(stderr, "cecab: cannot write %s/%s\n", outDir.c_str(), package.setupMember.c_str());
        return 1;
    }
    for (const inf::Source &s : package.sources) {
        std::vector<uint8_t> bytes;
        if (!ReadFileBytes(s.path, &bytes)) {
            fprintf(stderr, "%s:%d: %s cannot be read\n", description.c_str(), s.line, s.path.c_str());
            return 1;
        }
        if (!WriteAll(outDir + "/" + s.member, bytes)) {
            fprintf(stderr, "cecab: cannot write %s/%s\n", outDir.c_str(), s.member.c_str());
            return 1;
        }
    }
    printf("%s\n", package.setupMember.c_str());
    for (auto s = package.sources.rbegin(); s != package.sources.rend(); ++s)
        printf("%s\n", s->member.c_str());
    return 0;
}

int Show(const std::string &path)
{
    std::vector<uint8_t> bytes;
    if (!ReadFileBytes(path, &bytes)) {
        fprintf(stderr, "cecab: %s cannot be read\n", path.c_str());
        return 1;
    }
    std::string why;
    if (bytes.size() >= 4 && std::equal(bytes.begin(), bytes.begin() + 4, "MSCF")) {
        installcab::InstallCabinet cab;
        if (!installcab::Open(bytes.data(), bytes.size(), &cab, &why)) {
            fprintf(stderr, "cecab: %s: %s\n", path.c_str(), why.c_str());
            return 1;
        }
        for (const cabinet::Member &m : cab.members) {
            std::string what = m.name == cab.setupName ? "setup file" : "file " + std::to_string(std::stoi(m.name.substr(m.name.size() - 3)));
            printf("member %s: %s\n", m.name.c_str(), what.c_str());
        }
        fputs(cesetup::Describe(cab.setup).c_str(), stdout);
        return 0;
    }
    cesetup::Setup setup;
    if (!cesetup::Read(bytes.data(), bytes.size(), &setup, &why)) {
        fprintf(stderr, "cecab: %s: %s\n", path.c_str(), why.c_str());
        return 1;
    }
    fputs(cesetup::Describe(setup).c_str(), stdout);
    return 0;
}

int Usage()
{
    fprintf(stderr,
            "usage: cecab stage --files DIR -o OUTDIR DESCRIPTION.inf\n"
            "       cecab show FILE\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "show")
        return Show(args[1]);
    if (args.size() == 6 && args[0] == "stage") {
        std::string files, out, description;
        for (size_t i = 1; i < args.size(); ++i) {
            if ((args[i] == "--files" || args[i] == "-o") && i + 1 < args.size()) {
                std::string &value = args[i] == "-o" ? out : files;
                value = args[++i];
            }
            else if (!args[i].empty() && args[i][0] != '-')
                description = args[i];
            else
                return Usage();
        }
        if (!files.empty() && !out.empty() && !description.empty())
            return Stage(files, out, description);
    }
    return Usage();
}
