// Reading the export list and a .def file's exports: see exportlist.h.
#include "exportlist.h"

#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

std::vector<std::string> ReadExportList(const std::string &path)
{
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error(path + " cannot be read");
    std::vector<std::string> names;
    std::set<std::string> seen;
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        std::istringstream words(line);
        std::string name, reason;
        if (!(words >> name) || name[0] == '#')
            continue;
        if (!(words >> reason))
            throw std::runtime_error(path + ":" + std::to_string(n) + ": " + name +
                                     " has no reason given for being an export");
        if (!seen.insert(name).second)
            throw std::runtime_error(path + ":" + std::to_string(n) + ": " + name + " is listed twice");
        names.push_back(name);
    }
    return names;
}

std::vector<DefExport> ReadDefExports(const std::string &path)
{
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error(path + " cannot be read");
    std::vector<DefExport> exports;
    bool inExports = false, desktopOnly = false, afterComment = false;
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        size_t semicolon = line.find(';');
        std::istringstream words(line.substr(0, semicolon));
        std::string word;
        bool comment = !(words >> word) && semicolon != std::string::npos;
        // A block of comment lines that says "desktop only" begins a run of desktop-only
        // names; the next block, a blank line or a keyword ends it.
        if (comment) {
            desktopOnly = (afterComment && desktopOnly) || line.find("desktop only", semicolon) != std::string::npos;
            afterComment = true;
            continue;
        }
        afterComment = false;
        if (word.empty()) {
            desktopOnly = false;
            continue;
        }
        if (word == "EXPORTS" || word == "LIBRARY" || word == "NAME" || word == "DESCRIPTION" || word == "VERSION") {
            inExports = word == "EXPORTS";
            desktopOnly = false;
            continue;
        }
        if (!inExports)
            continue;
        std::string name = word.substr(0, word.find_first_of("=@"));
        exports.push_back({name, desktopOnly, n});
    }
    if (exports.empty())
        throw std::runtime_error(path + " exports nothing");
    return exports;
}

std::vector<std::string> CompareDefWithList(const std::vector<std::string> &list, const std::string &listPath,
                                            const std::vector<DefExport> &def, const std::string &defPath)
{
    std::vector<std::string> problems;
    std::set<std::string> listed(list.begin(), list.end()), defined;
    for (const DefExport &e : def) {
        defined.insert(e.name);
        if (e.desktopOnly && listed.count(e.name))
            problems.push_back(defPath + ":" + std::to_string(e.line) + ": " + e.name + " is marked desktop only, but " +
                               listPath + " lists it for the handheld");
        else if (!e.desktopOnly && !listed.count(e.name))
            problems.push_back(defPath + ":" + std::to_string(e.line) + ": " + e.name + " is not on " + listPath +
                               " (names for the desktop build alone follow a comment saying \"desktop only\")");
    }
    for (const std::string &name : list) {
        if (!defined.count(name))
            problems.push_back(listPath + ": " + name + " is not exported by " + defPath);
    }
    return problems;
}
