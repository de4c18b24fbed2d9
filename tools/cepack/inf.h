// An install cabinet's description in the CAB Wizard's .inf style, read into the setup
// file it describes and the files it puts in the cabinet. Every fault is reported with
// the description's file name and line.
//
// The sections understood: [Version] (Signature, CESignature, Provider), [CEStrings]
// (AppName, InstallDir, and strings of one's own), [Strings], [CEDevice] (ProcessorType,
// VersionMin, VersionMax, BuildMin, BuildMax, UnsupportedPlatforms), [DefaultInstall]
// (CopyFiles, AddReg, CEShortcuts), [SourceDisksNames], [SourceDisksFiles],
// [DestinationDirs], and the file list, registry and shortcut sections these name.
// Anything else, including a section nothing names, is refused.
#ifndef CE_INF_H
#define CE_INF_H

#include "cesetup.h"

#include <string>
#include <vector>

namespace inf {

struct Source {
    std::string member;  // its name in the cabinet ("0RegSave.001")
    std::string path;    // where the file is: a source disk's folder and its name
    int line;            // where the description names it
};

struct Package {
    cesetup::Setup setup;
    std::string setupMember;     // the setup file's name in the cabinet ("0RegSave.000")
    std::vector<Source> sources;  // the installed files, in the order of their numbers
};

// Reads the description TEXT, named FILE in messages. A source disk's relative folder is
// taken from FILES. False with "FILE:LINE: what is wrong" in *why.
bool Parse(const std::string &text, const std::string &file, const std::string &files, Package *out,
           std::string *why);

}  // namespace inf

#endif
