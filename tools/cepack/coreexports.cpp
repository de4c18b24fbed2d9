// coreexports: the core library's one list of functions (platform/ce-arm/coredll.exports)
// put to use where the build needs it, so that no other list of them is kept by hand.
//
//   coreexports table LIST -o FILE
//       The ARM runner's table of answers: ENTRY(name) for each name, in the list's
//       order. The runner defines ENTRY; a name without an answer fails to compile.
//   coreexports check-def LIST DEF
//       Whether the desktop stand-in's .def file exports exactly the names on the list,
//       besides those its comments mark "desktop only"; each difference on a line.
//   coreexports names LIST
//       The names, one a line.
//
// Exit codes: 0 done, 1 the files disagree or cannot be read or written, 2 bad usage.
#include "exportlist.h"

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>

namespace {

int Usage()
{
    fprintf(stderr, "usage: coreexports table LIST -o FILE | check-def LIST DEF | names LIST\n");
    return 2;
}

int Table(const std::string &listPath, const std::string &outPath)
{
    std::string text = "// Made by coreexports from " + listPath + "; change that list, not this file.\n";
    for (const std::string &name : ReadExportList(listPath))
        text += "ENTRY(" + name + ")\n";
    std::ofstream out(outPath, std::ios::binary | std::ios::trunc);
    if (!(out << text) || !out.flush())
        throw std::runtime_error(outPath + " cannot be written");
    return 0;
}

int CheckDef(const std::string &listPath, const std::string &defPath)
{
    std::vector<std::string> problems =
        CompareDefWithList(ReadExportList(listPath), listPath, ReadDefExports(defPath), defPath);
    for (const std::string &p : problems)
        fprintf(stderr, "coreexports: %s\n", p.c_str());
    return problems.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    std::string mode = argc > 1 ? argv[1] : "";
    try {
        if (mode == "table" && argc == 5 && std::string(argv[3]) == "-o")
            return Table(argv[2], argv[4]);
        if (mode == "check-def" && argc == 4)
            return CheckDef(argv[2], argv[3]);
        if (mode == "names" && argc == 3) {
            for (const std::string &name : ReadExportList(argv[2]))
                printf("%s\n", name.c_str());
            return 0;
        }
    } catch (const std::exception &e) {
        fprintf(stderr, "coreexports: %s\n", e.what());
        return 1;
    }
    return Usage();
}
