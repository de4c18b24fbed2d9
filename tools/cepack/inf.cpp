// Reading an install cabinet's .inf description (see inf.h). A line is a section
// header "[Name]", "key = fields" or bare fields, fields separated by commas, each
// plain or quoted ("" is a quote inside quotes); ';' starts a comment outside quotes.
// %name% stands for a string of [Strings] or [CEStrings], %% for a percent sign;
// %CEn% folder macros stay as they are for the device to resolve.
#include "inf.h"

#include "installcab.h"

#include <map>
#include <set>

namespace inf {

namespace {

using cesetup::Setup;

std::string Lower(std::string s)
{
    for (char &c : s)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return s;
}

std::string Trim(const std::string &s)
{
    size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

struct Line {
    int number;
    bool hasKey;
    std::string key;
    std::vector<std::string> fields;
    std::string Field(size_t i) const { return i < fields.size() ? fields[i] : std::string(); }
};

struct Section {
    std::string name;
    int line;
    std::vector<Line> lines;
    bool used;
};

struct Value {
    std::string text;
    int line;
};

class Parser
{
public:
    Parser(const std::string &file, const std::string &files, std::string *why)
        : m_file(file), m_files(files), m_why(why)
    {
    }

    bool Run(const std::string &text, Package *out);

private:
    bool Fail(int line, const std::string &what)
    {
        *m_why = m_file + ":" + (line ? std::to_string(line) + ":" : std::string()) + " " + what;
        return false;
    }

    bool Lex(const std::string &text);
    bool LexLine(int number, const std::string &raw);
    bool SplitFields(int number, const std::string &value, std::vector<std::string> *fields);
    Section *Find(const std::string &name, bool use = true);
    bool Expand(int line, const std::string &in, bool keepInstallDir, std::string *out, int depth = 0);
    bool Number(int line, const std::string &text, const char *what, uint32_t *out);
    bool Version(int line, const std::string &text, uint32_t *major, uint32_t *minor);
    bool Folder(int line, const std::string &text, std::string *out);
    bool Names(int line, const std::string &path, bool key, const char *what);
    uint16_t DirId(const std::string &folder);

    bool ReadVersion();
    bool ReadStrings();
    bool ReadDevice();
    bool ReadInstall();
    bool ReadDisks();
    bool DestinationOf(const Section &s, int line, std::string *folder);
    bool ReadFiles(Section &s);
    bool ReadRegistry(Section &s);
    bool ReadShortcuts(Section &s);

    std::string m_file, m_files;
    std::string *m_why;
    std::vector<Section> m_sections;
    int m_current = -1;  // the section being lexed, by index: the vector grows
    std::map<std::string, Value> m_strings;  // by lower-case name
    std::string m_installDir;
    std::map<std::string, std::string> m_disks;               // disk number -> folder
    std::map<std::string, std::pair<std::string, int>> m_sourceFiles;  // lower-case name -> path, line
    std::set<std::string> m_sourcesUsed;
    std::map<std::string, Value> m_destinations;  // lower-case section -> folder
    std::vector<std::string> m_copy, m_addReg, m_shortcuts;
    int m_copyLine = 0, m_addRegLine = 0, m_shortcutsLine = 0;
    Package *m_out = nullptr;
};

bool Parser::SplitFields(int number, const std::string &value, std::vector<std::string> *fields)
{
    fields->clear();
    size_t i = 0;
    for (;;) {
        while (i < value.size() && (value[i] == ' ' || value[i] == '\t'))
            ++i;
        std::string field;
        if (i < value.size() && value[i] == '"') {
            for (++i;; ++i) {
                if (i >= value.size())
                    return Fail(number, "a quote is not closed");
                if (value[i] == '"' && i + 1 < value.size() && value[i + 1] == '"') {
                    field += '"';
                    ++i;
                } else if (value[i] == '"') {
                    ++i;
                    break;
                } else {
                    field += value[i];
                }
            }
            while (i < value.size() && (value[i] == ' ' || value[i] == '\t'))
                ++i;
            if (i < value.size() && value[i] != ',')
                return Fail(number, "text follows a closing quote");
        } else {
            size_t end = value.find(',', i);
            field = Trim(value.substr(i, end == std::string::npos ? std::string::npos : end - i));
            if (field.find('"') != std::string::npos)
                return Fail(number, "a quote stands inside a field");
            i = end == std::string::npos ? value.size() : end;
        }
        fields->push_back(field);
        if (i >= value.size())
            return true;
        ++i;  // the comma
    }
}

bool Parser::LexLine(int number, const std::string &raw)
{
    // The comment, outside quotes.
    std::string line;
    bool quoted = false;
    for (char c : raw) {
        if (c == '"')
            quoted = !quoted;
        if (c == ';' && !quoted)
            break;
        line += c;
    }
    for (char c : line)
        if ((unsigned char)c < 0x20 && c != '\t')
            return Fail(number, "a control character stands in the line");
    line = Trim(line);
    if (line.empty())
        return true;
    if (line[0] == '[') {
        if (line.back() != ']' || Trim(line.substr(1, line.size() - 2)).empty())
            return Fail(number, "a section header is not of the form [Name]");
        std::string name = Trim(line.substr(1, line.size() - 2));
        if (Find(name, false))
            return Fail(number, "section [" + name + "] appears twice");
        m_sections.push_back({name, number, {}, false});
        m_current = int(m_sections.size()) - 1;
        return true;
    }
    if (m_current < 0)
        return Fail(number, "a line stands before the first section");
    Line l{number, false, std::string(), {}};
    // "key = value", the '=' outside quotes.
    quoted = false;
    size_t eq = std::string::npos;
    for (size_t i = 0; i < line.size() && eq == std::string::npos; ++i) {
        if (line[i] == '"')
            quoted = !quoted;
        else if (line[i] == '=' && !quoted)
            eq = i;
    }
    std::string value = line;
    if (eq != std::string::npos) {
        std::vector<std::string> key;
        if (!SplitFields(number, line.substr(0, eq), &key))
            return false;
        if (key.size() != 1 || key[0].empty())
            return Fail(number, "the key before '=' is missing or holds a comma");
        l.hasKey = true;
        l.key = key[0];
        value = line.substr(eq + 1);
    }
    if (!SplitFields(number, value, &l.fields))
        return false;
    m_sections[m_current].lines.push_back(l);
    return true;
}

bool Parser::Lex(const std::string &text)
{
    size_t start = 0;
    int number = 1;
    if (text.compare(0, 3, "\xef\xbb\xbf") == 0)
        start = 3;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string raw = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!raw.empty() && raw.back() == '\r')
            raw.pop_back();
        if (!LexLine(number, raw))
            return false;
        if (end == std::string::npos)
            break;
        start = end + 1;
        ++number;
    }
    return true;
}

Section *Parser::Find(const std::string &name, bool use)
{
    // Sections live in a vector that no longer grows once lexing is done.
    for (Section &s : m_sections)
        if (Lower(s.name) == Lower(name)) {
            if (use)
                s.used = true;
            return &s;
        }
    return nullptr;
}

bool Parser::Expand(int line, const std::string &in, bool keepInstallDir, std::string *out, int depth)
{
    if (depth > 8)
        return Fail(line, "the strings refer to each other in a loop");
    out->clear();
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            *out += in[i];
            continue;
        }
        size_t end = in.find('%', i + 1);
        if (end == std::string::npos)
            return Fail(line, "a '%' has no closing '%'");
        std::string name = in.substr(i + 1, end - i - 1), token = "%" + name + "%";
        i = end;
        if (name.empty()) {
            *out += '%';
        } else if (Lower(name) == "installdir" && keepInstallDir) {
            *out += token;
        } else if (Lower(name).compare(0, 2, "ce") == 0 && name.size() > 2 &&
                   name.find_first_not_of("0123456789", 2) == std::string::npos) {
            if (cesetup::MacroNumber(token) <= 0)
                return Fail(line, token + " is no folder macro; they are %CE1% to %CE" +
                                      std::to_string(cesetup::kMacros) + "%");
            *out += token;
        } else {
            auto s = m_strings.find(Lower(name));
            if (s == m_strings.end())
                return Fail(line, "no string is named " + token);
            std::string value;
            if (!Expand(line, s->second.text, keepInstallDir, &value, depth + 1))
                return false;
            *out += value;
        }
    }
    return true;
}

bool Parser::Number(int line, const std::string &text, const char *what, uint32_t *out)
{
    std::string t = Lower(text);
    bool hex = t.compare(0, 2, "0x") == 0;
    std::string digits = hex ? t.substr(2) : t;
    if (digits.empty() || digits.size() > (hex ? 8u : 10u) ||
        digits.find_first_not_of(hex ? "0123456789abcdef" : "0123456789") != std::string::npos)
        return Fail(line, std::string(what) + " \"" + text + "\" is not a number");
    unsigned long long v = std::stoull(digits, nullptr, hex ? 16 : 10);
    if (v > 0xffffffffull)
        return Fail(line, std::string(what) + " " + text + " does not fit in 32 bits");
    *out = uint32_t(v);
    return true;
}

bool Parser::Version(int line, const std::string &text, uint32_t *major, uint32_t *minor)
{
    *major = *minor = 0;
    if (text.empty())
        return true;
    size_t dot = text.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == text.size() ||
        text.find_first_not_of("0123456789.") != std::string::npos || text.find('.', dot + 1) != std::string::npos ||
        dot > 4 || text.size() - dot - 1 > 4)
        return Fail(line, "the version \"" + text + "\" is not of the form MAJOR.MINOR (5.0)");
    *major = uint32_t(std::stoul(text.substr(0, dot)));
    *minor = uint32_t(std::stoul(text.substr(dot + 1)));
    return true;
}

// Each name of a backslash-separated path (after its macro, for a folder).
bool Parser::Names(int line, const std::string &path, bool key, const char *what)
{
    size_t start = 0;
    for (bool first = true;; first = false) {
        size_t end = path.find('\\', start);
        std::string name = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        bool macro = first && !key && cesetup::MacroNumber(name) > 0;
        if (!macro && !(key ? cesetup::IsKeyName(name) : cesetup::IsFileName(name)))
            return Fail(line, std::string(what) + " \"" + path + "\" has the name \"" + name + "\", which " +
                                  (key ? "no key" : "no file or folder") + " may have");
        if (end == std::string::npos)
            return true;
        start = end + 1;
    }
}

// A destination folder, expanded: it starts with a folder macro or at the root.
bool Parser::Folder(int line, const std::string &text, std::string *out)
{
    if (!Expand(line, text, false, out))
        return false;
    std::string &f = *out;
    while (f.size() > 1 && f.back() == '\\')
        f.pop_back();
    if (f.empty() || (f[0] != '%' && f[0] != '\\'))
        return Fail(line, "the folder \"" + text + "\" starts with neither a folder macro (%CE1%) nor \\");
    if (f[0] == '\\' && (f.size() == 1 || !Names(line, f.substr(1), false, "the folder")))
        return f.size() == 1 ? Fail(line, "the root itself is no folder to install into") : false;
    if (f[0] == '%' && cesetup::MacroNumber(f.substr(0, f.find('\\'))) <= 0)
        return Fail(line, "the folder \"" + f + "\" starts with a '%' that is no folder macro");
    if (f[0] == '%' && !Names(line, f, false, "the folder"))
        return false;
    Setup probe;
    if (probe.Resolve(probe.Split(f)).size() > cesetup::kMaxPath)
        return Fail(line, "the folder \"" + f + "\" is longer than " + std::to_string(cesetup::kMaxPath) +
                              " characters on the device");
    return true;
}

uint16_t Parser::DirId(const std::string &folder)
{
    Setup &s = m_out->setup;
    cesetup::Path path = s.Split(folder);
    for (const cesetup::Dir &d : s.dirs)
        if (d.path == path)
            return d.id;
    uint16_t id = uint16_t(s.dirs.size() + 1);
    s.dirs.push_back({id, path});
    return id;
}

bool Parser::ReadVersion()
{
    Section *v = Find("Version");
    if (!v)
        return Fail(0, "there is no [Version] section");
    std::string signature, ceSignature;
    for (const Line &l : v->lines) {
        std::string key = Lower(l.key);
        if (!l.hasKey || l.fields.size() != 1)
            return Fail(l.number, "[Version] holds only key = value lines");
        if (key == "signature")
            signature = l.fields[0];
        else if (key == "cesignature")
            ceSignature = l.fields[0];
        else if (key == "provider")
            m_out->setup.provider = l.fields[0];
        else
            return Fail(l.number, "[Version] has no key " + l.key);
    }
    if (Lower(signature) != "$windows nt$" && Lower(signature) != "$chicago$")
        return Fail(v->line, "[Version] needs Signature = \"$Windows NT$\"");
    if (Lower(ceSignature) != "$windows ce$")
        return Fail(v->line, "[Version] needs CESignature = \"$Windows CE$\"");
    const std::string &p = m_out->setup.provider;
    if (p.empty() || p.size() > cesetup::kMaxProvider || !cesetup::IsKeyName(p))
        return Fail(v->line, "[Version] needs a Provider of 1 to " + std::to_string(cesetup::kMaxProvider) +
                                 " printable ASCII characters without a backslash");
    return true;
}

bool Parser::ReadStrings()
{
    Section *ce = Find("CEStrings");
    if (!ce)
        return Fail(0, "there is no [CEStrings] section");
    for (Section *s : {Find("Strings"), ce}) {
        for (const Line &l : s ? s->lines : std::vector<Line>()) {
            if (!l.hasKey || l.fields.size() != 1)
                return Fail(l.number, "[" + s->name + "] holds only name = value lines");
            if (!m_strings.emplace(Lower(l.key), Value{l.fields[0], l.number}).second)
                return Fail(l.number, "the string " + l.key + " is defined twice");
        }
    }
    auto app = m_strings.find("appname");
    auto dir = m_strings.find("installdir");
    if (app == m_strings.end() || dir == m_strings.end())
        return Fail(ce->line, "[CEStrings] needs AppName and InstallDir");
    std::string &name = m_out->setup.appName;
    if (!Expand(app->second.line, app->second.text, false, &name))
        return false;
    if (name.empty() || name.size() > cesetup::kMaxAppName || !cesetup::IsKeyName(name))
        return Fail(app->second.line, "AppName needs 1 to " + std::to_string(cesetup::kMaxAppName) +
                                          " printable ASCII characters without a backslash");
    return Folder(dir->second.line, dir->second.text, &m_installDir);
}

bool Parser::ReadDevice()
{
    Section *d = Find("CEDevice");
    Setup &s = m_out->setup;
    for (const Line &l : d ? d->lines : std::vector<Line>()) {
        std::string key = Lower(l.key), value = l.Field(0);
        if (!l.hasKey)
            return Fail(l.number, "[CEDevice] holds only key = value lines");
        if (key == "unsupportedplatforms") {
            for (const std::string &name : l.fields) {
                if (name.empty() || !cesetup::IsText(name))
                    return Fail(l.number, "an unsupported platform's name is empty or not printable ASCII");
                s.unsupported.push_back(name);
            }
            continue;
        }
        if (l.fields.size() != 1)
            return Fail(l.number, l.key + " takes one value");
        bool ok = key == "processortype"  ? value.empty() || Number(l.number, value, "ProcessorType", &s.processor)
                  : key == "versionmin"   ? Version(l.number, value, &s.minMajor, &s.minMinor)
                  : key == "versionmax"   ? Version(l.number, value, &s.maxMajor, &s.maxMinor)
                  : key == "buildmin"     ? value.empty() || Number(l.number, value, "BuildMin", &s.minBuild)
                  : key == "buildmax"     ? value.empty() || Number(l.number, value, "BuildMax", &s.maxBuild)
                                          : Fail(l.number, "[CEDevice] has no key " + l.key);
        if (!ok)
            return false;
    }
    if (d && (s.maxMajor || s.maxMinor) && (s.maxMajor < s.minMajor || (s.maxMajor == s.minMajor && s.maxMinor < s.minMinor)))
        return Fail(d->line, "VersionMax is below VersionMin");
    if (d && s.maxBuild && s.maxBuild < s.minBuild)
        return Fail(d->line, "BuildMax is below BuildMin");
    return true;
}

bool Parser::ReadInstall()
{
    Section *d = Find("DefaultInstall");
    if (!d)
        return Fail(0, "there is no [DefaultInstall] section");
    for (const Line &l : d->lines) {
        std::string key = Lower(l.key);
        std::vector<std::string> *list = key == "copyfiles" ? &m_copy : key == "addreg" ? &m_addReg
                                         : key == "ceshortcuts" ? &m_shortcuts : nullptr;
        if (!l.hasKey)
            return Fail(l.number, "[DefaultInstall] holds only key = value lines");
        if (key == "cesetupdll" || key == "ceselfregister")
            return Fail(l.number, l.key + " is not supported: the simulated handheld runs no setup code");
        if (!list)
            return Fail(l.number, "[DefaultInstall] has no key " + l.key);
        (key == "copyfiles" ? m_copyLine : key == "addreg" ? m_addRegLine : m_shortcutsLine) = l.number;
        for (const std::string &name : l.fields) {
            if (!Find(name))
                return Fail(l.number, l.key + " names [" + name + "], which is not in the description");
            list->push_back(name);
        }
    }
    return true;
}

bool Parser::ReadDisks()
{
    Section *names = Find("SourceDisksNames"), *files = Find("SourceDisksFiles");
    for (const Line &l : names ? names->lines : std::vector<Line>()) {
        uint32_t n;
        if (!l.hasKey || !Number(l.number, l.key, "the disk", &n))
            return !l.hasKey ? Fail(l.number, "[SourceDisksNames] holds only N = ,label,,folder lines") : false;
        std::string folder;
        if (!Expand(l.number, l.Field(3), false, &folder))
            return false;
        m_disks[std::to_string(n)] = folder.empty() ? "." : folder;
    }
    for (const Line &l : files ? files->lines : std::vector<Line>()) {
        if (!l.hasKey || l.fields.empty() || l.fields.size() > 2)
            return Fail(l.number, "[SourceDisksFiles] holds only file = disk[,folder] lines");
        uint32_t n;
        if (!Number(l.number, l.fields[0], "the disk", &n))
            return false;
        auto disk = m_disks.find(std::to_string(n));
        if (disk == m_disks.end())
            return Fail(l.number, l.key + " is on disk " + std::to_string(n) + ", which [SourceDisksNames] lacks");
        if (!cesetup::IsFileName(l.key))
            return Fail(l.number, "\"" + l.key + "\" is not a file name");
        std::string path = disk->second[0] == '/' ? disk->second : m_files + "/" + disk->second;
        if (!l.Field(1).empty())
            path += "/" + l.Field(1);
        if (!m_sourceFiles.emplace(Lower(l.key), std::make_pair(path + "/" + l.key, l.number)).second)
            return Fail(l.number, l.key + " is listed twice");
    }
    Section *dirs = Find("DestinationDirs");
    for (const Line &l : dirs ? dirs->lines : std::vector<Line>()) {
        if (!l.hasKey || l.fields.size() != 2 || l.fields[0] != "0")
            return Fail(l.number, "[DestinationDirs] holds only section = 0,folder lines");
        std::string folder;
        if (!Folder(l.number, l.fields[1], &folder))
            return false;
        if (!m_destinations.emplace(Lower(l.key), Value{folder, l.number}).second)
            return Fail(l.number, "the destination of " + l.key + " is given twice");
    }
    return true;
}

bool Parser::DestinationOf(const Section &s, int line, std::string *folder)
{
    auto d = m_destinations.find(Lower(s.name));
    if (d == m_destinations.end())
        d = m_destinations.find("defaultdestdir");
    if (d == m_destinations.end())
        return Fail(line, "[DestinationDirs] gives no folder for [" + s.name + "] and no DefaultDestDir");
    *folder = d->second.text;
    return true;
}

bool Parser::ReadFiles(Section &s)
{
    std::string folder;
    if (!DestinationOf(s, s.line, &folder))
        return false;
    Setup &setup = m_out->setup;
    for (const Line &l : s.lines) {
        if (l.hasKey || l.fields.size() > 4)
            return Fail(l.number, "a file list holds only name[,source[,,flags]] lines");
        std::string name, source;
        if (!Expand(l.number, l.Field(0), false, &name) || !Expand(l.number, l.Field(1), false, &source))
            return false;
        if (source.empty())
            source = name;
        if (!cesetup::IsFileName(name))
            return Fail(l.number, "\"" + name + "\" is not a file name");
        uint32_t flags = 0;
        if (!l.Field(3).empty() && !Number(l.number, l.Field(3), "the flags", &flags))
            return false;
        if (flags & ~cesetup::kFileKnownFlags)
            return Fail(l.number, "the file flags " + l.Field(3) + " hold bits no installer knows");
        auto src = m_sourceFiles.find(Lower(source));
        if (src == m_sourceFiles.end())
            return Fail(l.number, source + " is not listed in [SourceDisksFiles]");
        m_sourcesUsed.insert(Lower(source));
        uint16_t dir = DirId(folder);
        for (const cesetup::File &f : setup.files)
            if (f.dir == dir && Lower(f.name) == Lower(name))
                return Fail(l.number, name + " is installed twice into " + folder);
        if (setup.files.size() >= cesetup::kMaxFileId)
            return Fail(l.number, "more than " + std::to_string(cesetup::kMaxFileId) + " files");
        uint16_t id = uint16_t(setup.files.size() + 1);
        setup.files.push_back({id, dir, id, flags, name});
        m_out->sources.push_back({installcab::MemberName(name, id), src->second.first, l.number});
    }
    return true;
}

bool Parser::ReadRegistry(Section &s)
{
    Setup &setup = m_out->setup;
    static const std::pair<const char *, cesetup::Root> roots[] = {
        {"hkcr", cesetup::kHkcr}, {"hkcu", cesetup::kHkcu}, {"hklm", cesetup::kHklm}, {"hku", cesetup::kHku}};
    for (const Line &l : s.lines) {
        if (l.hasKey || l.fields.size() < 4)
            return Fail(l.number, "a registry section holds only root,key,name,flags[,data...] lines");
        uint16_t root = 0;
        for (const auto &r : roots)
            if (Lower(l.fields[0]) == r.first)
                root = r.second;
        if (!root)
            return Fail(l.number, "the registry root " + l.fields[0] + " is none of HKCR, HKCU, HKLM, HKU");
        std::string key, name;
        uint32_t flags;
        if (!Expand(l.number, l.fields[1], false, &key) || !Expand(l.number, l.fields[2], false, &name) ||
            !Number(l.number, l.fields[3], "the flags", &flags))
            return false;
        if (!Names(l.number, key, true, "the key"))
            return false;
        if (key.size() > cesetup::kMaxName)
            return Fail(l.number, "the key is longer than " + std::to_string(cesetup::kMaxName) + " characters");
        if (!cesetup::IsText(name) || name.size() > cesetup::kMaxName)
            return Fail(l.number, "the value's name is not printable ASCII of at most " +
                                      std::to_string(cesetup::kMaxName) + " characters");
        if (flags & ~(cesetup::kRegTypeMask | cesetup::kRegNoClobber))
            return Fail(l.number, "the registry flags " + l.fields[3] + " hold bits no installer knows");
        cesetup::RegValue v{0, 0, 0, flags, name, {}};
        uint32_t type = flags & cesetup::kRegTypeMask;
        if (type == cesetup::kRegDword) {
            uint32_t n;
            if (l.fields.size() != 5 || !Number(l.number, l.fields[4], "the DWORD", &n))
                return l.fields.size() != 5 ? Fail(l.number, "a DWORD value takes one number") : false;
            for (int i = 0; i < 4; ++i)
                v.data.push_back(uint8_t(n >> (8 * i)));
        } else if (type == cesetup::kRegBinary) {
            for (size_t i = 4; i < l.fields.size(); ++i) {
                uint32_t byte;
                if (l.fields[i].empty() || l.fields[i].size() > 2 || !Number(l.number, "0x" + l.fields[i], "the byte", &byte))
                    return Fail(l.number, "a binary value takes hexadecimal bytes (00 to ff)");
                v.data.push_back(uint8_t(byte));
            }
        } else {
            if (type == cesetup::kRegSz && l.fields.size() > 5)
                return Fail(l.number, "a string value takes one string (quote one with commas in it)");
            for (size_t i = 4; i < l.fields.size() || (i == 4 && type == cesetup::kRegSz); ++i) {
                std::string text;
                if (!Expand(l.number, l.Field(i), true, &text))
                    return false;
                if (!cesetup::IsText(text))
                    return Fail(l.number, "a string value holds characters other than printable ASCII");
                if (type == cesetup::kRegMultiSz && text.empty())
                    return Fail(l.number, "a multi-string value's strings are not empty");
                // The device puts in the install folder and the folder macros itself.
                if (Lower(text).find("%installdir%") != std::string::npos || text.find("%CE") != std::string::npos ||
                    text.find("%ce") != std::string::npos)
                    v.substitute = 1;
                v.data.insert(v.data.end(), text.begin(), text.end());
                v.data.push_back(0);
            }
            if (type == cesetup::kRegMultiSz)
                v.data.push_back(0);
        }
        if (name.size() + 1 + v.data.size() > 0xffff)
            return Fail(l.number, "the value is too long for the setup file");
        // One hive entry per key.
        cesetup::Path path = setup.Split(key);
        for (const cesetup::Hive &h : setup.hives)
            if (h.root == root && h.path == path)
                v.hive = h.id;
        if (!v.hive) {
            v.hive = uint16_t(setup.hives.size() + 1);
            setup.hives.push_back({v.hive, root, 0, path});
        }
        for (const cesetup::RegValue &other : setup.values)
            if (other.hive == v.hive && Lower(other.name) == Lower(name))
                return Fail(l.number, "the value \"" + name + "\" of " + l.fields[0] + "\\" + key + " is given twice");
        if (setup.values.size() >= cesetup::kMaxEntries)
            return Fail(l.number, "more than " + std::to_string(cesetup::kMaxEntries) + " registry values");
        v.id = uint16_t(setup.values.size() + 1);
        setup.values.push_back(v);
    }
    return true;
}

bool Parser::ReadShortcuts(Section &s)
{
    Setup &setup = m_out->setup;
    for (const Line &l : s.lines) {
        if (l.hasKey || l.fields.size() < 3 || l.fields.size() > 4)
            return Fail(l.number, "a shortcut section holds only name,type,target[,folder] lines");
        std::string name, folder;
        if (!Expand(l.number, l.fields[0], false, &name))
            return false;
        if (!cesetup::IsFileName(name) || name.size() + 4 > cesetup::kMaxName)
            return Fail(l.number, "\"" + name + "\" is not a shortcut's name");
        uint32_t type = 0;
        if (!l.fields[1].empty() && !Number(l.number, l.fields[1], "the shortcut's type", &type))
            return false;
        cesetup::Link link{0, 0, 0, 0, uint16_t(type ? cesetup::kLinkFolder : cesetup::kLinkFile), {}};
        if (type == 0) {
            std::string target;
            if (!Expand(l.number, l.fields[2], false, &target))
                return false;
            for (const cesetup::File &f : setup.files)
                if (Lower(f.name) == Lower(target)) {
                    if (link.target)
                        return Fail(l.number, "more than one installed file is named " + target);
                    link.target = f.id;
                }
            if (!link.target)
                return Fail(l.number, "the shortcut's target " + target + " is no installed file");
        } else {
            std::string target;
            if (!Folder(l.number, l.fields[2], &target))
                return false;
            link.target = target == m_installDir ? 0 : DirId(target);
        }
        if (l.fields.size() == 4) {
            if (!Folder(l.number, l.fields[3], &folder))
                return false;
        } else if (!DestinationOf(s, l.number, &folder)) {
            return false;
        }
        // The folder the shortcut is made in: the install folder, or a folder macro and
        // the names below it.
        std::string below;
        if (folder == m_installDir) {
            link.base = 0;
        } else {
            int macro = cesetup::MacroNumber(folder.substr(0, folder.find('\\')));
            if (macro <= 0)
                return Fail(l.number, "a shortcut is made in %InstallDir% or below a folder macro, not in " + folder);
            link.base = uint16_t(macro);
            below = folder.find('\\') == std::string::npos ? "" : folder.substr(folder.find('\\') + 1) + "\\";
        }
        link.path = setup.Split(below + name);
        for (const cesetup::Link &other : setup.links)
            if (other.base == link.base && Lower(setup.Join(other.path)) == Lower(below + name))
                return Fail(l.number, "the shortcut " + name + " is made twice in " + folder);
        link.id = uint16_t(setup.links.size() + 1);
        setup.links.push_back(link);
    }
    return true;
}

bool Parser::Run(const std::string &text, Package *out)
{
    m_out = out;
    *out = Package();
    if (!Lex(text) || !ReadVersion() || !ReadStrings() || !ReadDevice() || !ReadInstall() || !ReadDisks())
        return false;
    // The install folder is the first folder: the device resolves %InstallDir% to it.
    DirId(m_installDir);
    for (const std::string &name : m_copy)
        if (!ReadFiles(*Find(name)))
            return false;
    for (const std::string &name : m_addReg)
        if (!ReadRegistry(*Find(name)))
            return false;
    for (const std::string &name : m_shortcuts)
        if (!ReadShortcuts(*Find(name)))
            return false;
    if (out->setup.files.empty())
        return Fail(m_copyLine, "the description installs no file");
    for (const Section &s : m_sections)
        if (!s.used)
            return Fail(s.line, "nothing uses section [" + s.name + "]");
    for (const auto &d : m_destinations) {
        bool used = d.first == "defaultdestdir";
        for (const std::vector<std::string> *list : {&m_copy, &m_shortcuts})
            for (const std::string &name : *list)
                used = used || Lower(name) == d.first;
        if (!used)
            return Fail(d.second.line, "[DestinationDirs] gives a folder for a section nothing installs");
    }
    for (const auto &f : m_sourceFiles)
        if (!m_sourcesUsed.count(f.first))
            return Fail(f.second.second, "the source file is listed but nothing installs it");
    out->setupMember = installcab::MemberName(out->setup.appName, 0);
    // What the device will read must read back: the same checks as the installer's.
    std::vector<uint8_t> bytes = cesetup::Write(out->setup);
    cesetup::Setup check;
    std::string reason;
    if (!cesetup::Read(bytes.data(), bytes.size(), &check, &reason))
        return Fail(0, "the setup file it describes would be refused: " + reason);
    return true;
}

}  // namespace

bool Parse(const std::string &text, const std::string &file, const std::string &files, Package *out, std::string *why)
{
    Parser p(file, files, why);
    return p.Run(text, out);
}

}  // namespace inf
