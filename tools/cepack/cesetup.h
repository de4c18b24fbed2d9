// The setup file of a Windows CE install cabinet, the cabinet's "*.000" member: the
// application's name and provider, the processor and CE versions it is for, and the
// tables the device's installer follows (strings, folders, files, registry hives and
// values, shortcuts). Written by the host's cabinet writer and read by the simulated
// handheld's installer with this same code, so it makes no system calls: bytes in,
// bytes out. The reading is strict: anything out of place refuses the file whole.
#ifndef CE_SETUP_H
#define CE_SETUP_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cesetup {

// At most this many entries in any one table, and a setup file of at most kMaxSize bytes.
const size_t kMaxEntries = 1000;
const size_t kMaxSize = 1 << 20;
// The longest file, folder, link or key name, and the longest path or key path.
const size_t kMaxName = 255;
const size_t kMaxPath = 240;
// The application's and the provider's names: the package is named "PROVIDER APPNAME".
const size_t kMaxAppName = 40, kMaxProvider = 30;
// Files are numbered by the three digits of their cabinet names: 000 is the setup
// file itself and 999 a setup library, so installed files are 1 to 998.
const unsigned kMaxFileId = 998;
// The %CEn% folder macros run from 1 to 17.
const int kMacros = 17;

// A file's flags.
const uint32_t kFileWarnSkip = 0x00000001, kFileNoSkip = 0x00000002, kFileNoOverwrite = 0x00000010,
               kFileOnlyIfExists = 0x00000400, kFileSelfRegister = 0x10000000, kFileNewerOnly = 0x20000000,
               kFileIgnoreDate = 0x40000000, kFileShared = 0x80000000;
const uint32_t kFileKnownFlags = kFileWarnSkip | kFileNoSkip | kFileNoOverwrite | kFileOnlyIfExists |
                                 kFileSelfRegister | kFileNewerOnly | kFileIgnoreDate | kFileShared;
// A registry value's type and flags word.
const uint32_t kRegTypeMask = 0x00010001, kRegSz = 0x00000000, kRegMultiSz = 0x00010000,
               kRegDword = 0x00010001, kRegBinary = 0x00000001, kRegNoClobber = 0x00000002;
// Registry roots.
enum Root : uint16_t { kHkcr = 1, kHkcu = 2, kHklm = 3, kHku = 4 };
// A link's target is a folder or a file.
enum LinkType : uint16_t { kLinkFolder = 0, kLinkFile = 1 };

// A path is a list of string ids, joined by backslashes; a folder's may start with a
// %CEn% macro.
typedef std::vector<uint16_t> Path;

struct String { uint16_t id; std::string text; };
struct Dir { uint16_t id; Path path; };
struct File { uint16_t id, dir, unknown; uint32_t flags; std::string name; };
struct Hive { uint16_t id, root, unknown; Path path; };
// data holds the value's bytes as the file does: a string with its terminator, strings
// ending with an empty one, four bytes, or raw bytes.
struct RegValue { uint16_t id, hive, substitute; uint32_t flags; std::string name; std::vector<uint8_t> data; };
// base: the folder the link is made in, 0 for the install folder or a macro's number;
// target: a file id, or a folder id (0 for the install folder); path: the link's name.
struct Link { uint16_t id, unknown, base, target, type; Path path; };

struct Setup {
    uint32_t processor = 0;
    uint32_t minMajor = 0, minMinor = 0, maxMajor = 0, maxMinor = 0, minBuild = 0, maxBuild = 0;
    std::string appName, provider;
    std::vector<std::string> unsupported;
    std::vector<String> strings;
    std::vector<Dir> dirs;
    std::vector<File> files;
    std::vector<Hive> hives;
    std::vector<RegValue> values;
    std::vector<Link> links;

    // Lookups by id; null when there is none.
    const std::string *FindString(uint16_t id) const;
    const Dir *FindDir(uint16_t id) const;
    const File *FindFile(uint16_t id) const;
    const Hive *FindHive(uint16_t id) const;
    // The path's names joined by backslashes ("%CE1%\RegSave").
    std::string Join(const Path &path) const;
    // The folder the path names on the device, its first name's macro resolved
    // ("\Program Files\RegSave"); its names must exist.
    std::string Resolve(const Path &path) const;
    // For writing: the id of a string, added when new; a backslash-separated path as ids.
    uint16_t Intern(const std::string &text);
    Path Split(const std::string &path);
};

// The bytes of a setup file.
std::vector<uint8_t> Write(const Setup &setup);
// Reads a setup file and checks it whole: every offset, length, terminator, id and name.
// False with the reason in *why.
bool Read(const uint8_t *data, size_t size, Setup *setup, std::string *why);
// The fields, one a line, for people and tests: what the installer will do, with the
// folders as the file names them (macros unresolved).
std::string Describe(const Setup &setup);

// The number of a %CEn% macro (1 to 17), 0 for a name that is no macro at all, and -1 for
// one that looks like a macro but is none ("%CE99%", "%InstallDir%").
int MacroNumber(const std::string &name);
// The folder a macro stands for on a Windows CE 5.0 handheld ("\Program Files").
const char *MacroFolder(int number);
// A name a file, folder, link or key may have: printable ASCII, no separator or
// wildcard, not "." or "..", no trailing dot or space, no device name (CON, COM1...).
bool IsFileName(const std::string &name);
// A registry key's name: printable ASCII without a backslash.
bool IsKeyName(const std::string &name);
// Text for registry names and data: printable ASCII.
bool IsText(const std::string &text);
// "RegSave Project RegSave": the name the device records the package by.
std::string PackageName(const Setup &setup);
// The registry root's short name ("HKLM").
const char *RootName(uint16_t root);

}  // namespace cesetup

#endif
