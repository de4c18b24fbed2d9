// Installing a cabinet: read it whole and check it (the shared readers), check that it
// is for this handheld, work out every file, folder, shortcut and registry value it
// makes and check each against the device, and only then write: registry values,
// folders, files, shortcuts, the package's record. A write that fails undoes all the
// others; the cabinet is deleted last, and a cabinet that cannot be deleted undoes the
// install too, so that what the user sees is all or nothing.
#include "installer.h"

#include "installcab.h"

#include <algorithm>

namespace {

using namespace cesetup;

// A file the install makes: a file's bytes, or a shortcut's text.
struct Target {
    std::wstring path;
    const std::vector<uint8_t> *data;
    std::string text;
    bool keep;  // it is there already, and the cabinet keeps what is there
    std::wstring what;
};

struct Value {
    std::wstring key, name;
    DWORD type;
    std::vector<BYTE> data;
    bool noClobber;
};

struct Plan {
    std::wstring name, installDir;
    std::vector<std::wstring> folders;  // to make, parents first
    std::vector<Target> targets;
    std::vector<Value> values;
};

const wchar_t *ProcessorName(uint32_t type)
{
    switch (type) {
    case 103: case 104: case 10003: case 10004: case 10005: return L" (SH)";
    case 386: case 486: case 586: case 686: return L" (x86)";
    case 601: case 603: case 604: case 620: case 821: return L" (PowerPC)";
    case 1824: case 2080: case 2336: case 2577: case 70001: return L" (ARM)";
    case 4000: return L" (MIPS)";
    }
    return L"";
}

bool Refuse(std::wstring *why, const std::wstring &what)
{
    *why = what;
    return false;
}

std::wstring Version(uint32_t major, uint32_t minor)
{
    return std::to_wstring(major) + L"." + std::to_wstring(minor);
}

bool Before(uint32_t major, uint32_t minor, uint32_t otherMajor, uint32_t otherMinor)
{
    return major < otherMajor || (major == otherMajor && minor < otherMinor);
}

// The processor, CE versions and builds the cabinet is for; 0 is no limit.
bool ForThisDevice(const Setup &s, std::wstring *why)
{
    std::wstring device = L"this handheld runs Windows CE " + Version(kDeviceMajor, kDeviceMinor) + L" (build " +
                          std::to_wstring(kDeviceBuild) + L")";
    if (s.processor && s.processor != kDeviceProcessor)
        return Refuse(why, L"it is for processor " + std::to_wstring(s.processor) + ProcessorName(s.processor) +
                               L"; this handheld's is " + std::to_wstring(kDeviceProcessor) +
                               ProcessorName(kDeviceProcessor));
    if ((s.minMajor || s.minMinor) && Before(kDeviceMajor, kDeviceMinor, s.minMajor, s.minMinor))
        return Refuse(why, L"it needs Windows CE " + Version(s.minMajor, s.minMinor) + L" or later; " + device);
    if ((s.maxMajor || s.maxMinor) && Before(s.maxMajor, s.maxMinor, kDeviceMajor, kDeviceMinor))
        return Refuse(why, L"it is for Windows CE " + Version(s.maxMajor, s.maxMinor) + L" at most; " + device);
    if ((s.minBuild && kDeviceBuild < s.minBuild) || (s.maxBuild && kDeviceBuild > s.maxBuild))
        return Refuse(why, L"it is for builds " + std::to_wstring(s.minBuild) + L" to " +
                               std::to_wstring(s.maxBuild) + L"; " + device);
    return true;
}

std::wstring DirPath(const Setup &s, const Path &path)
{
    return Wide(s.Resolve(path));
}

// A registry string with the install folder and the folder macros put in.
bool Substitute(const std::string &in, const Plan &plan, const std::wstring &what, std::wstring *out, std::wstring *why)
{
    out->clear();
    for (size_t i = 0; i < in.size(); ++i) {
        size_t end = in[i] == '%' ? in.find('%', i + 1) : std::string::npos;
        std::string token = end == std::string::npos ? std::string() : in.substr(i, end - i + 1);
        std::string lower = token;
        for (char &c : lower)
            c = char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        if (lower == "%installdir%") {
            if (plan.installDir.empty())
                return Refuse(why, what + L" names %InstallDir%, but the cabinet has no install folder");
            *out += plan.installDir;
        } else if (lower.size() > 4 && lower.compare(0, 3, "%ce") == 0 &&
                   lower.find_first_not_of("0123456789", 3) == lower.size() - 1) {
            int macro = MacroNumber(token);
            if (macro <= 0)
                return Refuse(why, what + L" names the folder macro " + Wide(token) + L", which does not exist");
            *out += Wide(MacroFolder(macro));
        } else {
            *out += wchar_t(in[i]);
            continue;
        }
        i = end;
    }
    return true;
}

std::vector<BYTE> Bytes(const std::wstring &s)
{
    const BYTE *p = reinterpret_cast<const BYTE *>(s.data());
    return std::vector<BYTE>(p, p + s.size() * sizeof(wchar_t));
}

bool PlanValue(const Setup &s, const RegValue &v, Plan *plan, std::wstring *why)
{
    const Hive &h = *s.FindHive(v.hive);
    Value out{Wide(RootName(h.root)) + L"\\" + Wide(s.Join(h.path)), Wide(v.name), REG_BINARY, {}, bool(v.flags & kRegNoClobber)};
    std::wstring what = L"registry value " + std::to_wstring(v.id);
    switch (v.flags & kRegTypeMask) {
    case kRegDword:
        out.type = REG_DWORD;
        out.data.assign(v.data.begin(), v.data.end());
        break;
    case kRegBinary:
        out.data.assign(v.data.begin(), v.data.end());
        break;
    default: {
        // One string, or strings ending with an empty one: each converted, then joined.
        out.type = (v.flags & kRegTypeMask) == kRegSz ? REG_SZ : REG_MULTI_SZ;
        std::wstring all;
        size_t start = 0;
        for (size_t i = 0; i < v.data.size(); ++i) {
            if (v.data[i])
                continue;
            std::string text(v.data.begin() + start, v.data.begin() + i);
            std::wstring wide = Wide(text);
            if (v.substitute && !Substitute(text, *plan, what, &wide, why))
                return false;
            all += wide + L'\0';
            start = i + 1;
        }
        out.data = Bytes(all);
    }
    }
    plan->values.push_back(out);
    return true;
}

// Checks the way to a target and the target itself against the device: the folders on
// the way are folders or are made, none is a link, and the target is not there unless
// the cabinet keeps what is there.
bool CheckTarget(Target *t, bool mayKeep, Plan *plan, std::wstring *why)
{
    for (size_t at = t->path.find(L'\\', 1);; at = t->path.find(L'\\', at + 1)) {
        std::wstring prefix = t->path.substr(0, at);
        DWORD attr = GetFileAttributesW(HostPath(prefix).c_str());
        DWORD err = GetLastError();
        bool last = at == std::wstring::npos;
        if (attr == INVALID_FILE_ATTRIBUTES) {
            if (err != ERROR_FILE_NOT_FOUND && err != ERROR_PATH_NOT_FOUND)
                return Refuse(why, L"cannot look at " + prefix + L": " + ErrorText(err));
            if (last)
                return true;
            bool planned = false;
            for (const std::wstring &f : plan->folders)
                planned = planned || lstrcmpiW(f.c_str(), prefix.c_str()) == 0;
            if (!planned)
                plan->folders.push_back(prefix);
            continue;
        }
        if (attr & FILE_ATTRIBUTE_REPARSE_POINT)
            return Refuse(why, prefix + L" is a link or a mount point; the installer does not follow them");
        if (!last && !(attr & FILE_ATTRIBUTE_DIRECTORY))
            return Refuse(why, prefix + L" is a file, where " + t->what + L" needs a folder");
        if (last) {
            if (attr & FILE_ATTRIBUTE_DIRECTORY)
                return Refuse(why, t->path + L" is a folder, where " + t->what + L" goes");
            if (!mayKeep)
                return Refuse(why, t->path + L" is there already; " + t->what + L" would replace it");
            t->keep = true;
            return true;
        }
    }
}

bool MakePlan(const installcab::InstallCabinet &cab, Plan *plan, std::wstring *why)
{
    const Setup &s = cab.setup;
    plan->name = Wide(PackageName(s));
    plan->installDir = s.dirs.empty() ? std::wstring() : DirPath(s, s.dirs[0].path);
    HKEY record;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kAppsKey) + L"\\" + plan->name).c_str(), 0, KEY_READ,
                      &record) == ERROR_SUCCESS) {
        RegCloseKey(record);
        return Refuse(why, L"\"" + plan->name + L"\" is installed already; uninstall it first");
    }
    std::vector<bool> mayKeep;
    for (const File &f : s.files) {
        std::wstring what = L"file " + std::to_wstring(f.id) + L" (" + Wide(f.name) + L")";
        if (f.flags & (kFileSelfRegister | kFileShared | kFileOnlyIfExists))
            return Refuse(why, what + L" asks to be " +
                                   (f.flags & kFileSelfRegister ? L"self-registered"
                                    : f.flags & kFileShared   ? L"a shared, counted file"
                                                              : L"copied only over a file that is there") +
                                   L", which this installer does not do");
        plan->targets.push_back({DirPath(s, s.FindDir(f.dir)->path) + L"\\" + Wide(f.name), cab.files.at(f.id),
                                 std::string(), false, what});
        mayKeep.push_back(f.flags & kFileNoOverwrite);
    }
    for (const Link &l : s.links) {
        std::wstring what = L"shortcut " + std::to_wstring(l.id), target;
        if ((l.base == 0 || (l.type == kLinkFolder && l.target == 0)) && plan->installDir.empty())
            return Refuse(why, what + L" names the install folder, but the cabinet has none");
        if (l.type == kLinkFile)
            target = DirPath(s, s.FindDir(s.FindFile(l.target)->dir)->path) + L"\\" + Wide(s.FindFile(l.target)->name);
        else
            target = l.target ? DirPath(s, s.FindDir(l.target)->path) : plan->installDir;
        std::wstring base = l.base ? Wide(MacroFolder(l.base)) : plan->installDir;
        std::string text = "\"" + Utf8(target) + "\"";
        plan->targets.push_back({base + L"\\" + Wide(s.Join(l.path)) + L".lnk", nullptr,
                                 std::to_string(text.size()) + "#" + text, false, what});
        mayKeep.push_back(false);
    }
    for (const RegValue &v : s.values)
        if (!PlanValue(s, v, plan, why))
            return false;
    // The device's records of its packages are the installer's alone: a cabinet that
    // wrote into another package's record could have its removal delete any file.
    std::wstring apps = L"HKLM\\" + std::wstring(kAppsKey);
    for (const Value &v : plan->values)
        if (CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, v.key.c_str(), int(std::min(v.key.size(), apps.size())),
                           apps.c_str(), int(apps.size())) == CSTR_EQUAL &&
            (v.key.size() == apps.size() || v.key[apps.size()] == L'\\'))
            return Refuse(why, L"it writes into " + v.key + L", where the device records its packages");
    for (size_t i = 0; i < plan->targets.size(); ++i) {
        Target &t = plan->targets[i];
        if (!IsDevicePath(t.path))
            return Refuse(why, t.what + L" goes to " + t.path + L", which is no path on the device");
        for (size_t j = 0; j < i; ++j)
            if (lstrcmpiW(plan->targets[j].path.c_str(), t.path.c_str()) == 0)
                return Refuse(why, plan->targets[j].what + L" and " + t.what + L" both go to " + t.path);
        if (!CheckTarget(&t, mayKeep[i], plan, why))
            return false;
    }
    for (const Target &t : plan->targets)
        for (const std::wstring &f : plan->folders)
            if (lstrcmpiW(t.path.c_str(), f.c_str()) == 0)
                return Refuse(why, t.what + L" goes to " + t.path + L", where another of its files needs a folder");
    return true;
}

bool WriteValue(const Value &v, Journal *journal, std::wstring *why)
{
    HKEY root, key = NULL;
    std::wstring sub;
    SplitKey(v.key, &root, &sub);
    // Key by key, so that the journal knows each one the install made.
    size_t at = 0;
    for (HKEY parent = root;;) {
        size_t end = sub.find(L'\\', at);
        std::wstring name = sub.substr(at, end == std::wstring::npos ? std::wstring::npos : end - at);
        DWORD disposition;
        LONG rc = RegCreateKeyExW(parent, name.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, &disposition);
        if (parent != root)
            RegCloseKey(parent);
        if (rc != ERROR_SUCCESS)
            return Refuse(why, L"could not make the registry key " + v.key.substr(0, v.key.size() - sub.size()) +
                                   sub.substr(0, end) + L": " + ErrorText(rc));
        if (disposition == REG_CREATED_NEW_KEY)
            journal->keys.push_back(v.key.substr(0, v.key.size() - sub.size()) + sub.substr(0, end));
        if (end == std::wstring::npos)
            break;
        parent = key;
        at = end + 1;
    }
    std::wstring path = ValuePath(v.key, v.name);
    DWORD type, size = 0;
    bool there = RegQueryValueExW(key, v.name.c_str(), NULL, &type, NULL, &size) == ERROR_SUCCESS;
    if (there && !journal->Has(path)) {
        if (v.noClobber) {
            RegCloseKey(key);
            return true;
        }
        Journal::Replaced old{path, type, std::vector<BYTE>(size)};
        RegQueryValueExW(key, v.name.c_str(), NULL, &type, old.data.data(), &size);
        journal->replaced.push_back(old);
    } else if (!there) {
        journal->values.push_back(path);
    }
    LONG rc = RegSetValueExW(key, v.name.c_str(), 0, v.type, v.data.data(), DWORD(v.data.size()));
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        return Refuse(why, L"could not write the registry value " + path + L": " + ErrorText(rc));
    return true;
}

bool WriteTarget(const Target &t, Journal *journal, std::wstring *why)
{
    HANDLE h = CreateFileW(HostPath(t.path).c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return Refuse(why, L"could not write " + t.path + L": " + ErrorText(GetLastError()));
    journal->files.push_back(t.path);
    const uint8_t *p = t.data ? t.data->data() : reinterpret_cast<const uint8_t *>(t.text.data());
    size_t left = t.data ? t.data->size() : t.text.size();
    bool ok = true;
    while (ok && left) {
        DWORD chunk = DWORD(left > (1u << 20) ? 1u << 20 : left), done = 0;
        ok = WriteFile(h, p, chunk, &done, NULL) && done == chunk;
        p += done;
        left -= done;
    }
    DWORD err = GetLastError();
    ok = ok && FlushFileBuffers(h);
    if (!CloseHandle(h) || !ok)
        return Refuse(why, L"could not write " + t.path + L": " + ErrorText(ok ? GetLastError() : err));
    return true;
}

bool Apply(const Plan &plan, const std::wstring &cab, Journal *journal, std::wstring *why)
{
    for (const Value &v : plan.values)
        if (!WriteValue(v, journal, why))
            return false;
    for (const std::wstring &f : plan.folders) {
        if (!CreateDirectoryW(HostPath(f).c_str(), NULL))
            return Refuse(why, L"could not make the folder " + f + L": " + ErrorText(GetLastError()));
        journal->folders.push_back(f);
    }
    for (const Target &t : plan.targets)
        if (!t.keep && !WriteTarget(t, journal, why))
            return false;
    return WriteRecord(plan.name, plan.installDir, cab, journal, why);
}

bool ReadCabinet(const std::wstring &path, std::vector<uint8_t> *out, std::wstring *why)
{
    HANDLE h = CreateFileW(HostPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return Refuse(why, L"cannot read " + path + L": " + ErrorText(GetLastError()));
    LARGE_INTEGER size;
    bool ok = GetFileSizeEx(h, &size);
    if (ok && size.QuadPart > LONGLONG(cabinet::kMaxSize)) {
        CloseHandle(h);
        return Refuse(why, path + L" is larger than " + std::to_wstring(cabinet::kMaxSize >> 20) +
                               L" MB, more than an install cabinet may be");
    }
    out->assign(ok ? size_t(size.QuadPart) : 0, 0);
    DWORD done = 0;
    ok = ok && (out->empty() || (ReadFile(h, out->data(), DWORD(out->size()), &done, NULL) && done == out->size()));
    CloseHandle(h);
    return ok || Refuse(why, L"cannot read " + path + L": " + ErrorText(GetLastError()));
}

}  // namespace

int Install(const std::wstring &cab)
{
    if (!IsDevicePath(cab)) {
        Fail(L"'" + cab + L"' is not a device path such as \\Flash Disk\\RegSave.cab");
        return kExitUsage;
    }
    std::vector<uint8_t> bytes;
    std::wstring why;
    if (!ReadCabinet(cab, &bytes, &why))
        return Fail(why);
    installcab::InstallCabinet contents;
    std::string reason;
    if (!installcab::Open(bytes.data(), bytes.size(), &contents, &reason))
        return Fail(cab + L" is refused: " + Wide(reason));
    if (!ForThisDevice(contents.setup, &why))
        return Fail(cab + L" is refused: " + why);
    Plan plan;
    if (!MakePlan(contents, &plan, &why))
        return Fail(cab + L" is refused: " + why);

    Journal journal;
    bool done = Apply(plan, cab, &journal, &why);
    if (done && !DeleteFileW(HostPath(cab).c_str())) {
        done = false;
        why = L"could not delete " + cab + L" after installing it: " + ErrorText(GetLastError());
    }
    if (!done) {
        std::vector<std::wstring> kept;
        std::wstring undo;
        if (!DeleteRecord(plan.name) || !TakeBack(journal, false, &kept, &undo))
            return Fail(why + L"; undoing the install failed too: " + undo);
        return Fail(why + L"; nothing was installed");
    }
    Out(L"installed " + plan.name + L" into " + plan.installDir);
    for (const Target &t : plan.targets)
        Out((t.keep ? L"kept " : L"wrote ") + t.path);
    if (!plan.values.empty())
        Out(L"registry values: " + std::to_wstring(journal.values.size()) + L" made, " +
            std::to_wstring(journal.replaced.size()) + L" replaced, " +
            std::to_wstring(plan.values.size() - journal.values.size() - journal.replaced.size()) +
            L" kept as they were");
    return kExitOk;
}
