// The setup file of a Windows CE install cabinet: written and read whole, checked field
// by field (see cesetup.h). All integers are little-endian. The file is a 100-byte
// header, then the application's and provider's names, the unsupported platforms, and
// the six tables, each at the offset the header gives.
#include "cesetup.h"
#include "bytes.h"

#include <cstdio>
#include <cstring>
#include <set>

namespace cesetup {

namespace {

const size_t kHeaderSize = 100;
const size_t kMaxParts = 32;

void AddText(std::vector<uint8_t> &b, const std::string &s)
{
    b.insert(b.end(), s.begin(), s.end());
    b.push_back(0);
}

void AddPath(std::vector<uint8_t> &b, const Path &path)
{
    Append16(b, uint32_t(path.size() + 1) * 2);
    for (uint16_t id : path)
        Append16(b, id);
    Append16(b, 0);
}

char Upper(char c)
{
    return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c;
}

bool SameNoCase(const std::string &a, const char *b)
{
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
        if (Upper(a[i]) != Upper(b[i]))
            return false;
    return i == a.size() && !b[i];
}

std::string Num(unsigned long v)
{
    return std::to_string(v);
}

std::string Hex8(uint32_t v)
{
    char buf[16];
    snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}

// Reads one table after another: every read is checked against the file's end, and
// every failure is said once.
class Reader : public ByteReader
{
public:
    using ByteReader::ByteReader;

    // A string of LEN bytes at AT that ends with its terminator and holds no other.
    bool Text(size_t at, size_t len, const std::string &what, std::string *out)
    {
        const uint8_t *p = At(at, len);
        if (!p)
            return Fail(what + " runs past the end of the file");
        if (len == 0 || p[len - 1] != 0)
            return Fail(what + " is not terminated");
        for (size_t i = 0; i + 1 < len; ++i)
            if (p[i] == 0)
                return Fail(what + " holds a NUL before its end");
        out->assign(reinterpret_cast<const char *>(p), len - 1);
        return true;
    }

    // A path of LEN bytes: string ids ending with 0.
    bool PathAt(size_t at, size_t len, const std::string &what, Path *out)
    {
        const uint8_t *p = At(at, len);
        if (!p)
            return Fail(what + " runs past the end of the file");
        if (len < 4 || len % 2 || Get16(p + len - 2) != 0)
            return Fail(what + " is not a list of names ending with 0");
        if (len / 2 - 1 > kMaxParts)
            return Fail(what + " has more than " + Num(kMaxParts) + " names");
        out->clear();
        for (size_t i = 0; i + 2 < len; i += 2) {
            uint16_t id = uint16_t(Get16(p + i));
            if (id == 0)
                return Fail(what + " holds a 0 before its end");
            out->push_back(id);
        }
        return true;
    }
};

struct Table {
    const char *name;
    uint32_t count, offset;
};

// Each table's count and offset from the header, checked against the limits.
bool Tables(Reader &r, const uint8_t *h, Table *tables)
{
    static const char *names[6] = {"STRINGS", "DIRS", "FILES", "REGHIVES", "REGKEYS", "LINKS"};
    for (int i = 0; i < 6; ++i) {
        tables[i] = {names[i], Get16(h + 48 + 2 * i), Get32(h + 60 + 4 * i)};
        if (tables[i].count > kMaxEntries)
            return r.Fail("its " + std::string(names[i]) + " table has " + Num(tables[i].count) + " entries; at most " +
                          Num(kMaxEntries) + " are accepted");
        if (tables[i].count && (tables[i].offset < kHeaderSize || !r.At(tables[i].offset, 1)))
            return r.Fail("its " + std::string(names[i]) + " table is at offset " + Num(tables[i].offset) +
                          ", outside the file");
    }
    return true;
}

template <class T> bool UniqueIds(Reader &r, const std::vector<T> &entries, const char *table)
{
    std::set<uint16_t> seen;
    for (const T &e : entries) {
        if (e.id == 0)
            return r.Fail("its " + std::string(table) + " table has an entry with id 0");
        if (!seen.insert(e.id).second)
            return r.Fail("its " + std::string(table) + " table has two entries with id " + Num(e.id));
    }
    return true;
}

// A path's names: each string exists and is a name; a folder's first may be a macro.
bool CheckPath(Reader &r, const Setup &s, const Path &path, bool folder, bool key, const std::string &what)
{
    for (size_t i = 0; i < path.size(); ++i) {
        const std::string *name = s.FindString(path[i]);
        if (!name)
            return r.Fail(what + " names string " + Num(path[i]) + ", which is not in the STRINGS table");
        int macro = MacroNumber(*name);
        if (macro < 0)
            return r.Fail(what + " names the folder macro " + *name + ", which does not exist");
        if (macro > 0 && !(folder && i == 0))
            return r.Fail(what + " has the folder macro " + *name + " where only a name may stand");
        if (macro == 0 && !(key ? IsKeyName(*name) : IsFileName(*name)))
            return r.Fail(what + " has the name \"" + *name + "\", which " + (key ? "no key" : "no file or folder") +
                          " may have");
    }
    size_t length = key ? s.Join(path).size() : s.Resolve(path).size();
    if (length > (key ? kMaxName : kMaxPath))
        return r.Fail(what + " is " + Num(length) + " characters long; at most " + Num(key ? kMaxName : kMaxPath) +
                      " are accepted");
    return true;
}

bool ReadStrings(Reader &r, const Table &t, Setup *s)
{
    size_t at = t.offset;
    for (uint32_t i = 0; i < t.count; ++i) {
        const uint8_t *p = r.At(at, 4);
        if (!p)
            return r.Fail("its STRINGS table runs past the end of the file");
        String e{uint16_t(Get16(p)), std::string()};
        if (!r.Text(at + 4, Get16(p + 2), "string " + Num(e.id), &e.text))
            return false;
        s->strings.push_back(e);
        at += 4 + Get16(p + 2);
    }
    return UniqueIds(r, s->strings, "STRINGS");
}

bool ReadDirs(Reader &r, const Table &t, Setup *s)
{
    size_t at = t.offset;
    for (uint32_t i = 0; i < t.count; ++i) {
        const uint8_t *p = r.At(at, 4);
        if (!p)
            return r.Fail("its DIRS table runs past the end of the file");
        Dir e{uint16_t(Get16(p)), Path()};
        if (!r.PathAt(at + 4, Get16(p + 2), "folder " + Num(e.id), &e.path))
            return false;
        s->dirs.push_back(e);
        at += 4 + Get16(p + 2);
    }
    if (!UniqueIds(r, s->dirs, "DIRS"))
        return false;
    for (const Dir &d : s->dirs)
        if (!CheckPath(r, *s, d.path, true, false, "folder " + Num(d.id)))
            return false;
    return true;
}

bool ReadFiles(Reader &r, const Table &t, Setup *s)
{
    size_t at = t.offset;
    for (uint32_t i = 0; i < t.count; ++i) {
        const uint8_t *p = r.At(at, 12);
        if (!p)
            return r.Fail("its FILES table runs past the end of the file");
        File e{uint16_t(Get16(p)), uint16_t(Get16(p + 2)), uint16_t(Get16(p + 4)), Get32(p + 6), std::string()};
        if (!r.Text(at + 12, Get16(p + 10), "the name of file " + Num(e.id), &e.name))
            return false;
        s->files.push_back(e);
        at += 12 + Get16(p + 10);
    }
    if (!UniqueIds(r, s->files, "FILES"))
        return false;
    for (const File &f : s->files) {
        std::string what = "file " + Num(f.id);
        if (f.id > kMaxFileId)
            return r.Fail(what + " has no cabinet member: files are numbered 1 to " + Num(kMaxFileId));
        const Dir *d = s->FindDir(f.dir);
        if (!d)
            return r.Fail(what + " goes to folder " + Num(f.dir) + ", which is not in the DIRS table");
        if (f.flags & ~kFileKnownFlags)
            return r.Fail(what + " has the unknown flags " + Hex8(f.flags & ~kFileKnownFlags));
        if (!IsFileName(f.name))
            return r.Fail(what + " is named \"" + f.name + "\", which no file may be");
        size_t length = s->Resolve(d->path).size() + 1 + f.name.size();
        if (length > kMaxPath)
            return r.Fail(what + "'s path is " + Num(length) + " characters long; at most " + Num(kMaxPath) +
                          " are accepted");
    }
    return true;
}

bool ReadHives(Reader &r, const Table &t, Setup *s)
{
    size_t at = t.offset;
    for (uint32_t i = 0; i < t.count; ++i) {
        const uint8_t *p = r.At(at, 8);
        if (!p)
            return r.Fail("its REGHIVES table runs past the end of the file");
        Hive e{uint16_t(Get16(p)), uint16_t(Get16(p + 2)), uint16_t(Get16(p + 4)), Path()};
        if (!r.PathAt(at + 8, Get16(p + 6), "registry key " + Num(e.id), &e.path))
            return false;
        s->hives.push_back(e);
        at += 8 + Get16(p + 6);
    }
    if (!UniqueIds(r, s->hives, "REGHIVES"))
        return false;
    for (const Hive &h : s->hives) {
        if (h.root < kHkcr || h.root > kHku)
            return r.Fail("registry key " + Num(h.id) + " has the root " + Num(h.root) + "; roots are 1 to 4");
        if (!CheckPath(r, *s, h.path, false, true, "registry key " + Num(h.id)))
            return false;
    }
    return true;
}

// A registry value's data, by its type: four bytes; a string and its terminator;
// strings ending with an empty one; or any bytes.
bool CheckData(Reader &r, const RegValue &v)
{
    std::string what = "registry value " + Num(v.id);
    const std::vector<uint8_t> &d = v.data;
    switch (v.flags & kRegTypeMask) {
    case kRegDword:
        return d.size() == 4 || r.Fail(what + " is a DWORD of " + Num(d.size()) + " bytes");
    case kRegBinary:
        return true;
    case kRegSz:
        if (d.empty() || d.back() != 0)
            return r.Fail(what + "'s string is not terminated");
        break;
    case kRegMultiSz:
        if (d.empty() || d.back() != 0 || (d.size() > 1 && d[d.size() - 2] != 0))
            return r.Fail(what + "'s strings do not end with an empty one");
        break;
    }
    // The strings themselves: text, and for a single string no second one inside.
    size_t start = 0;
    for (size_t i = 0; i < d.size(); ++i) {
        if (d[i] != 0)
            continue;
        std::string text(d.begin() + start, d.begin() + i);
        if (!IsText(text))
            return r.Fail(what + " holds a string that is not printable ASCII");
        if ((v.flags & kRegTypeMask) == kRegSz && i + 1 != d.size())
            return r.Fail(what + "'s string holds a NUL before its end");
        if ((v.flags & kRegTypeMask) == kRegMultiSz && text.empty() && i + 1 != d.size())
            return r.Fail(what + "'s strings go on after their empty last one");
        start = i + 1;
    }
    return true;
}

bool ReadValues(Reader &r, const Table &t, Setup *s)
{
    size_t at = t.offset;
    for (uint32_t i = 0; i < t.count; ++i) {
        const uint8_t *p = r.At(at, 12);
        if (!p)
            return r.Fail("its REGKEYS table runs past the end of the file");
        RegValue e{uint16_t(Get16(p)), uint16_t(Get16(p + 2)), uint16_t(Get16(p + 4)), Get32(p + 6), std::string(),
                   std::vector<uint8_t>()};
        size_t len = Get16(p + 10);
        const uint8_t *d = r.At(at + 12, len);
        if (!d)
            return r.Fail("registry value " + Num(e.id) + " runs past the end of the file");
        size_t name = 0;
        while (name < len && d[name])
            ++name;
        if (name == len)
            return r.Fail("registry value " + Num(e.id) + "'s name is not terminated");
        e.name.assign(reinterpret_cast<const char *>(d), name);
        e.data.assign(d + name + 1, d + len);
        s->values.push_back(e);
        at += 12 + len;
    }
    if (!UniqueIds(r, s->values, "REGKEYS"))
        return false;
    for (const RegValue &v : s->values) {
        std::string what = "registry value " + Num(v.id);
        if (!s->FindHive(v.hive))
            return r.Fail(what + " is in registry key " + Num(v.hive) + ", which is not in the REGHIVES table");
        if (v.substitute > 1)
            return r.Fail(what + " has the substitution flag " + Num(v.substitute) + "; it is 0 or 1");
        if (v.flags & ~(kRegTypeMask | kRegNoClobber))
            return r.Fail(what + " has the unknown flags " + Hex8(v.flags & ~(kRegTypeMask | kRegNoClobber)));
        if (!IsText(v.name) || v.name.size() > kMaxName)
            return r.Fail(what + "'s name is not printable ASCII of at most " + Num(kMaxName) + " characters");
        if (!CheckData(r, v))
            return false;
    }
    return true;
}

bool ReadLinks(Reader &r, const Table &t, Setup *s)
{
    size_t at = t.offset;
    for (uint32_t i = 0; i < t.count; ++i) {
        const uint8_t *p = r.At(at, 12);
        if (!p)
            return r.Fail("its LINKS table runs past the end of the file");
        Link e{uint16_t(Get16(p)), uint16_t(Get16(p + 2)), uint16_t(Get16(p + 4)), uint16_t(Get16(p + 6)),
               uint16_t(Get16(p + 8)), Path()};
        if (!r.PathAt(at + 12, Get16(p + 10), "shortcut " + Num(e.id), &e.path))
            return false;
        s->links.push_back(e);
        at += 12 + Get16(p + 10);
    }
    if (!UniqueIds(r, s->links, "LINKS"))
        return false;
    for (const Link &l : s->links) {
        std::string what = "shortcut " + Num(l.id);
        if (l.base > kMacros)
            return r.Fail(what + " is made in folder macro %CE" + Num(l.base) + "%, which does not exist");
        if (l.type == kLinkFile && !s->FindFile(l.target))
            return r.Fail(what + " points to file " + Num(l.target) + ", which is not in the FILES table");
        if (l.type == kLinkFolder && l.target != 0 && !s->FindDir(l.target))
            return r.Fail(what + " points to folder " + Num(l.target) + ", which is not in the DIRS table");
        if (l.type > kLinkFile)
            return r.Fail(what + " has the type " + Num(l.type) + "; it is 0 (a folder) or 1 (a file)");
        if (!CheckPath(r, *s, l.path, false, false, what))
            return false;
        if (s->FindString(l.path.back())->size() + 4 > kMaxName)
            return r.Fail(what + "'s name is too long for a file name");
    }
    return true;
}

bool ReadNames(Reader &r, const uint8_t *h, Setup *s)
{
    if (!r.Text(Get16(h + 84), Get16(h + 86), "the application's name", &s->appName) ||
        !r.Text(Get16(h + 88), Get16(h + 90), "the provider's name", &s->provider))
        return false;
    if (s->appName.empty() || s->appName.size() > kMaxAppName || !IsKeyName(s->appName))
        return r.Fail("the application's name is not printable ASCII of 1 to " + Num(kMaxAppName) +
                      " characters without a backslash");
    if (s->provider.empty() || s->provider.size() > kMaxProvider || !IsKeyName(s->provider))
        return r.Fail("the provider's name is not printable ASCII of 1 to " + Num(kMaxProvider) +
                      " characters without a backslash");
    size_t at = Get16(h + 92), len = Get16(h + 94);
    if (len == 0)
        return true;
    const uint8_t *p = r.At(at, len);
    if (!p)
        return r.Fail("the unsupported platforms run past the end of the file");
    if (p[len - 1] != 0)
        return r.Fail("the unsupported platforms are not terminated");
    size_t start = 0;
    for (size_t i = 0; i < len; ++i) {
        if (p[i] != 0)
            continue;
        std::string name(reinterpret_cast<const char *>(p + start), i - start);
        if (name.empty())
            return i + 1 == len || r.Fail("the unsupported platforms go on after their empty last name");
        if (!IsText(name))
            return r.Fail("an unsupported platform's name is not printable ASCII");
        s->unsupported.push_back(name);
        start = i + 1;
    }
    return r.Fail("the unsupported platforms do not end with an empty name");
}

}  // namespace

const std::string *Setup::FindString(uint16_t id) const
{
    for (const String &s : strings)
        if (s.id == id)
            return &s.text;
    return nullptr;
}

const Dir *Setup::FindDir(uint16_t id) const
{
    for (const Dir &d : dirs)
        if (d.id == id)
            return &d;
    return nullptr;
}

const File *Setup::FindFile(uint16_t id) const
{
    for (const File &f : files)
        if (f.id == id)
            return &f;
    return nullptr;
}

const Hive *Setup::FindHive(uint16_t id) const
{
    for (const Hive &h : hives)
        if (h.id == id)
            return &h;
    return nullptr;
}

std::string Setup::Join(const Path &path) const
{
    std::string out;
    for (size_t i = 0; i < path.size(); ++i) {
        const std::string *name = FindString(path[i]);
        out += (i ? "\\" : "") + (name ? *name : "?");
    }
    return out;
}

std::string Setup::Resolve(const Path &path) const
{
    std::string out;
    for (size_t i = 0; i < path.size(); ++i) {
        const std::string &name = *FindString(path[i]);
        int macro = i == 0 ? MacroNumber(name) : 0;
        out += macro > 0 ? std::string(MacroFolder(macro)) : "\\" + name;
    }
    return out;
}

uint16_t Setup::Intern(const std::string &text)
{
    for (const String &s : strings)
        if (s.text == text)
            return s.id;
    uint16_t id = uint16_t(strings.size() + 1);
    strings.push_back({id, text});
    return id;
}

Path Setup::Split(const std::string &path)
{
    Path out;
    size_t start = 0;
    for (;;) {
        size_t end = path.find('\\', start);
        std::string name = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!name.empty())
            out.push_back(Intern(name));
        if (end == std::string::npos)
            return out;
        start = end + 1;
    }
}

std::vector<uint8_t> Write(const Setup &s)
{
    std::vector<uint8_t> b(kHeaderSize, 0);
    memcpy(b.data(), "MSCE", 4);
    Put32(b, 16, 1);
    Put32(b, 20, s.processor);
    Put32(b, 24, s.minMajor);
    Put32(b, 28, s.minMinor);
    Put32(b, 32, s.maxMajor);
    Put32(b, 36, s.maxMinor);
    Put32(b, 40, s.minBuild);
    Put32(b, 44, s.maxBuild);
    Put16(b, 48, uint32_t(s.strings.size()));
    Put16(b, 50, uint32_t(s.dirs.size()));
    Put16(b, 52, uint32_t(s.files.size()));
    Put16(b, 54, uint32_t(s.hives.size()));
    Put16(b, 56, uint32_t(s.values.size()));
    Put16(b, 58, uint32_t(s.links.size()));

    Put16(b, 84, uint32_t(b.size()));
    Put16(b, 86, uint32_t(s.appName.size() + 1));
    AddText(b, s.appName);
    Put16(b, 88, uint32_t(b.size()));
    Put16(b, 90, uint32_t(s.provider.size() + 1));
    AddText(b, s.provider);
    if (!s.unsupported.empty()) {
        size_t start = b.size();
        for (const std::string &name : s.unsupported)
            AddText(b, name);
        b.push_back(0);
        Put16(b, 92, uint32_t(start));
        Put16(b, 94, uint32_t(b.size() - start));
    }

    Put32(b, 60, uint32_t(b.size()));
    for (const String &e : s.strings) {
        Append16(b, e.id);
        Append16(b, uint32_t(e.text.size() + 1));
        AddText(b, e.text);
    }
    Put32(b, 64, uint32_t(b.size()));
    for (const Dir &e : s.dirs) {
        Append16(b, e.id);
        AddPath(b, e.path);
    }
    Put32(b, 68, uint32_t(b.size()));
    for (const File &e : s.files) {
        Append16(b, e.id);
        Append16(b, e.dir);
        Append16(b, e.unknown);
        Append32(b, e.flags);
        Append16(b, uint32_t(e.name.size() + 1));
        AddText(b, e.name);
    }
    Put32(b, 72, uint32_t(b.size()));
    for (const Hive &e : s.hives) {
        Append16(b, e.id);
        Append16(b, e.root);
        Append16(b, e.unknown);
        AddPath(b, e.path);
    }
    Put32(b, 76, uint32_t(b.size()));
    for (const RegValue &e : s.values) {
        Append16(b, e.id);
        Append16(b, e.hive);
        Append16(b, e.substitute);
        Append32(b, e.flags);
        Append16(b, uint32_t(e.name.size() + 1 + e.data.size()));
        AddText(b, e.name);
        b.insert(b.end(), e.data.begin(), e.data.end());
    }
    Put32(b, 80, uint32_t(b.size()));
    for (const Link &e : s.links) {
        Append16(b, e.id);
        Append16(b, e.unknown);
        Append16(b, e.base);
        Append16(b, e.target);
        Append16(b, e.type);
        AddPath(b, e.path);
    }
    Put32(b, 8, uint32_t(b.size()));
    return b;
}

bool Read(const uint8_t *data, size_t size, Setup *setup, std::string *why)
{
    Reader r(data, size, why);
    *setup = Setup();
    if (size < kHeaderSize || memcmp(data, "MSCE", 4))
        return r.Fail("it is not a Windows CE setup file (no MSCE header)");
    if (size > kMaxSize)
        return r.Fail("it is " + Num(size) + " bytes long; at most " + Num(kMaxSize) + " are accepted");
    if (Get32(data + 8) != size)
        return r.Fail("its header gives its length as " + Num(Get32(data + 8)) + " bytes, but it has " + Num(size));
    Setup &s = *setup;
    s.processor = Get32(data + 20);
    s.minMajor = Get32(data + 24);
    s.minMinor = Get32(data + 28);
    s.maxMajor = Get32(data + 32);
    s.maxMinor = Get32(data + 36);
    s.minBuild = Get32(data + 40);
    s.maxBuild = Get32(data + 44);
    Table t[6];
    return ReadNames(r, data, &s) && Tables(r, data, t) && ReadStrings(r, t[0], &s) && ReadDirs(r, t[1], &s) &&
           ReadFiles(r, t[2], &s) && ReadHives(r, t[3], &s) && ReadValues(r, t[4], &s) && ReadLinks(r, t[5], &s);
}

std::string Describe(const Setup &s)
{
    std::string out;
    out += "app: " + s.appName + "\n";
    out += "provider: " + s.provider + "\n";
    out += "package: " + PackageName(s) + "\n";
    out += "processor: " + Num(s.processor) + "\n";
    out += "versions: " + Num(s.minMajor) + "." + Num(s.minMinor) + " to " + Num(s.maxMajor) + "." +
           Num(s.maxMinor) + "\n";
    out += "builds: " + Num(s.minBuild) + " to " + Num(s.maxBuild) + "\n";
    out += "unsupported:";
    for (const std::string &name : s.unsupported)
        out += " \"" + name + "\"";
    out += "\n";
    for (const Dir &d : s.dirs)
        out += "folder " + Num(d.id) + ": " + s.Join(d.path) + "\n";
    for (const File &f : s.files)
        out += "file " + Num(f.id) + ": " + s.Join(s.FindDir(f.dir)->path) + "\\" + f.name + " flags " +
               Hex8(f.flags) + "\n";
    for (const Link &l : s.links) {
        out += "shortcut " + Num(l.id) + ": " + (l.base ? "%CE" + Num(l.base) + "%" : "%InstallDir%") + "\\" +
               s.Join(l.path) + ".lnk -> ";
        if (l.type == kLinkFile)
            out += "file " + Num(l.target) + "\n";
        else
            out += l.target ? "folder " + Num(l.target) + "\n" : "%InstallDir%\n";
    }
    for (const RegValue &v : s.values) {
        const Hive *h = s.FindHive(v.hive);
        out += "registry " + Num(v.id) + ": " + RootName(h->root) + "\\" + s.Join(h->path) + " \"" + v.name + "\" ";
        switch (v.flags & kRegTypeMask) {
        case kRegDword:
            out += "dword " + Hex8(v.data[0] | v.data[1] << 8 | v.data[2] << 16 | uint32_t(v.data[3]) << 24);
            break;
        case kRegSz:
            out += "sz \"" + std::string(v.data.begin(), v.data.end() - 1) + "\"";
            break;
        case kRegMultiSz: {
            out += "multi_sz";
            size_t start = 0;
            for (size_t i = 0; i < v.data.size() && v.data[start]; ++i)
                if (v.data[i] == 0) {
                    out += " \"" + std::string(v.data.begin() + start, v.data.begin() + i) + "\"";
                    start = i + 1;
                }
            break;
        }
        default:
            out += "binary";
            for (uint8_t byte : v.data) {
                char hex[4];
                snprintf(hex, sizeof hex, " %02x", byte);
                out += hex;
            }
        }
        if (v.flags & kRegNoClobber)
            out += " noclobber";
        if (v.substitute)
            out += " substituted";
        out += "\n";
    }
    return out;
}

int MacroNumber(const std::string &name)
{
    if (name.size() < 2 || name.front() != '%' || name.back() != '%')
        return 0;
    if (name.size() < 5 || name.size() > 6 || Upper(name[1]) != 'C' || Upper(name[2]) != 'E' || name[3] == '0')
        return -1;
    int n = 0;
    for (size_t i = 3; i + 1 < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9')
            return -1;
        n = n * 10 + (name[i] - '0');
    }
    return n >= 1 && n <= kMacros ? n : -1;
}

const char *MacroFolder(int number)
{
    static const char *folders[kMacros + 1] = {
        "",
        "\\Program Files",
        "\\Windows",
        "\\Windows\\Desktop",
        "\\Windows\\StartUp",
        "\\My Documents",
        "\\Program Files\\Accessories",
        "\\Program Files\\Communications",
        "\\Program Files\\Games",
        "\\Program Files\\Pocket Outlook",
        "\\Program Files\\Office",
        "\\Windows\\Programs",
        "\\Windows\\Programs\\Accessories",
        "\\Windows\\Programs\\Communications",
        "\\Windows\\Programs\\Games",
        "\\Windows\\Fonts",
        "\\Windows\\Recent",
        "\\Windows\\Favorites",
    };
    return number >= 1 && number <= kMacros ? folders[number] : "";
}

bool IsText(const std::string &text)
{
    for (char c : text)
        if (c < 0x20 || c > 0x7e)
            return false;
    return true;
}

bool IsKeyName(const std::string &name)
{
    return !name.empty() && name.size() <= kMaxName && IsText(name) && name.find('\\') == std::string::npos;
}

bool IsFileName(const std::string &name)
{
    if (name.empty() || name.size() > kMaxName || !IsText(name) || name == "." || name == ".." ||
        name.back() == '.' || name.back() == ' ' || name.find_first_of("\\/:*?\"<>|") != std::string::npos)
        return false;
    // The system's device names, with or without an extension.
    std::string stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ')
        stem.pop_back();
    static const char *devices[] = {"CON", "PRN", "AUX", "NUL"};
    for (const char *d : devices)
        if (SameNoCase(stem, d))
            return false;
    if (stem.size() == 4 && stem[3] >= '1' && stem[3] <= '9' &&
        (SameNoCase(stem.substr(0, 3), "COM") || SameNoCase(stem.substr(0, 3), "LPT")))
        return false;
    return true;
}

std::string PackageName(const Setup &setup)
{
    return setup.provider + " " + setup.appName;
}

const char *RootName(uint16_t root)
{
    switch (root) {
    case kHkcr: return "HKCR";
    case kHkcu: return "HKCU";
    case kHklm: return "HKLM";
    case kHku: return "HKU";
    }
    return "?";
}

}  // namespace cesetup
