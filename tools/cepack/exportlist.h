// The list of a library's exports a handheld program may import
// (platform/ce-arm/coredll.exports): one name a line, then why the library is known to
// export it; blank lines and lines that start with # are comments. It is the one list
// of the core library's functions: the build checks programs' imports against it, the
// ARM runner's table of answers is made from it, and the desktop stand-in's .def file
// is checked against it.
#ifndef CE_ARM_EXPORTLIST_H
#define CE_ARM_EXPORTLIST_H

#include <string>
#include <vector>

// The names on the list at PATH, in its order. Throws std::runtime_error, naming the
// file and line, when it cannot be read, a name has no reason given or is listed twice.
std::vector<std::string> ReadExportList(const std::string &path);

// An export of a module-definition (.def) file: its name, and whether it is there for
// the desktop build alone: it follows a comment line that says "desktop only", with no
// blank line between them.
struct DefExport {
    std::string name;
    bool desktopOnly;
    int line;
};

// The exports of the .def file at PATH (the names after EXPORTS, each before any "=",
// "@" or blank). Throws std::runtime_error when it cannot be read or has no EXPORTS.
std::vector<DefExport> ReadDefExports(const std::string &path);

// What differs between the list and the .def file's exports that are not desktop only,
// one line for each name, naming the file it is missing from; empty when they agree.
// A desktop-only name may not be on the list.
std::vector<std::string> CompareDefWithList(const std::vector<std::string> &list, const std::string &listPath,
                                            const std::vector<DefExport> &def, const std::string &defPath);

#endif
