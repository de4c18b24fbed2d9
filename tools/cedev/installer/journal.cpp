// A package's record, HKLM\Software\Apps\PROVIDER APPNAME, as the handheld keeps it:
// "Instl" (1 while it is installed), "InstlDir" (its install folder) and "CabFile" (the
// cabinet it came from). Beside them the installer keeps what it needs to remove the
// package: the files, folders, registry keys and values it made ("Files", "Folders",
// "Keys", "Values", lists of paths), and the values it replaced ("Replaced", their
// paths, each old value kept as "Replaced N", with its type and bytes).
#include "installer.h"

namespace {

const wchar_t *const kLists[] = {L"Files", L"Folders", L"Keys", L"Values", L"Replaced"};

std::wstring RecordKey(const std::wstring &name)
{
    return std::wstring(kAppsKey) + L"\\" + name;
}

std::vector<BYTE> MultiString(const std::vector<std::wstring> &list)
{
    std::wstring all;
    for (const std::wstring &s : list)
        all += s + L'\0';
    all += L'\0';
    const BYTE *p = reinterpret_cast<const BYTE *>(all.data());
    return std::vector<BYTE>(p, p + all.size() * sizeof(wchar_t));
}

bool SetValue(HKEY key, const std::wstring &name, DWORD type, const std::vector<BYTE> &data, std::wstring *why)
{
    LONG rc = RegSetValueExW(key, name.c_str(), 0, type, data.data(), DWORD(data.size()));
    if (rc != ERROR_SUCCESS)
        *why = L"could not write the package's record (" + name + L"): " + ErrorText(rc);
    return rc == ERROR_SUCCESS;
}

std::vector<BYTE> Text(const std::wstring &s)
{
    const BYTE *p = reinterpret_cast<const BYTE *>(s.c_str());
    return std::vector<BYTE>(p, p + (s.size() + 1) * sizeof(wchar_t));
}

bool QueryValue(HKEY key, const std::wstring &name, DWORD *type, std::vector<BYTE> *data)
{
    DWORD size = 0;
    if (RegQueryValueExW(key, name.c_str(), NULL, type, NULL, &size) != ERROR_SUCCESS)
        return false;
    data->assign(size, 0);
    if (size == 0)
        return true;
    return RegQueryValueExW(key, name.c_str(), NULL, type, data->data(), &size) == ERROR_SUCCESS &&
           (data->resize(size), true);
}

// A list value of the record: strings ending with an empty one.
bool ReadList(HKEY key, const wchar_t *name, std::vector<std::wstring> *out)
{
    DWORD type;
    std::vector<BYTE> data;
    out->clear();
    if (!QueryValue(key, name, &type, &data) || type != REG_MULTI_SZ || data.size() % 2 || data.size() < 2)
        return false;
    std::wstring all(reinterpret_cast<const wchar_t *>(data.data()), data.size() / 2);
    if (all.back() != L'\0')
        return false;
    size_t start = 0;
    while (start < all.size() && all[start] != L'\0') {
        size_t end = all.find(L'\0', start);
        out->push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return true;
}

// Deletes a registry value; one that is not there is no failure.
bool DeleteValue(const std::wstring &path)
{
    std::wstring key, name, sub;
    HKEY root, h;
    if (!SplitValue(path, &key, &name) || !SplitKey(key, &root, &sub))
        return false;
    LONG rc = RegOpenKeyExW(root, sub.c_str(), 0, KEY_SET_VALUE, &h);
    if (rc == ERROR_FILE_NOT_FOUND)
        return true;
    if (rc != ERROR_SUCCESS)
        return false;
    rc = RegDeleteValueW(h, name.c_str());
    RegCloseKey(h);
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

bool RestoreValue(const Journal::Replaced &r)
{
    std::wstring key, name, sub;
    HKEY root, h;
    if (!SplitValue(r.value, &key, &name) || !SplitKey(key, &root, &sub))
        return false;
    if (RegCreateKeyExW(root, sub.c_str(), 0, NULL, 0, KEY_SET_VALUE, NULL, &h, NULL) != ERROR_SUCCESS)
        return false;
    LONG rc = RegSetValueExW(h, name.c_str(), 0, r.type, r.data.data(), DWORD(r.data.size()));
    RegCloseKey(h);
    return rc == ERROR_SUCCESS;
}

// Deletes a key the install made, unless it now holds keys of others.
bool DeleteKey(const std::wstring &path, std::vector<std::wstring> *kept)
{
    HKEY root;
    std::wstring sub;
    if (!SplitKey(path, &root, &sub))
        return false;
    LONG rc = RegDeleteKeyW(root, sub.c_str());
    if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND)
        return true;
    kept->push_back(path);
    return true;
}

std::wstring Aside(const std::wstring &path, size_t i)
{
    return path + L".cedev-removing-" + std::to_wstring(i);
}

}  // namespace

bool WriteRecord(const std::wstring &name, const std::wstring &installDir, const std::wstring &cab,
                 Journal *journal, std::wstring *why)
{
    HKEY apps, record;
    DWORD disposition;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kAppsKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &apps, &disposition);
    if (rc != ERROR_SUCCESS) {
        *why = L"could not make HKLM\\" + std::wstring(kAppsKey) + L": " + ErrorText(rc);
        return false;
    }
    if (disposition == REG_CREATED_NEW_KEY)
        journal->keys.push_back(L"HKLM\\" + std::wstring(kAppsKey));
    rc = RegCreateKeyExW(apps, name.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &record, &disposition);
    RegCloseKey(apps);
    if (rc != ERROR_SUCCESS) {
        *why = L"could not make the package's record: " + ErrorText(rc);
        return false;
    }
    DWORD one = 1;
    const BYTE *p = reinterpret_cast<const BYTE *>(&one);
    std::vector<std::wstring> replaced;
    for (const Journal::Replaced &r : journal->replaced)
        replaced.push_back(r.value);
    bool ok = SetValue(record, L"InstlDir", REG_SZ, Text(installDir), why) &&
              SetValue(record, L"CabFile", REG_SZ, Text(cab), why) &&
              SetValue(record, L"Files", REG_MULTI_SZ, MultiString(journal->files), why) &&
              SetValue(record, L"Folders", REG_MULTI_SZ, MultiString(journal->folders), why) &&
              SetValue(record, L"Keys", REG_MULTI_SZ, MultiString(journal->keys), why) &&
              SetValue(record, L"Values", REG_MULTI_SZ, MultiString(journal->values), why) &&
              SetValue(record, L"Replaced", REG_MULTI_SZ, MultiString(replaced), why);
    for (size_t i = 0; ok && i < journal->replaced.size(); ++i)
        ok = SetValue(record, L"Replaced " + std::to_wstring(i + 1), journal->replaced[i].type,
                      journal->replaced[i].data, why);
    // Installed, last of all.
    ok = ok && SetValue(record, L"Instl", REG_DWORD, std::vector<BYTE>(p, p + 4), why);
    RegCloseKey(record);
    return ok;
}

bool ReadRecord(const std::wstring &name, Journal *journal, bool *exists, std::wstring *why)
{
    HKEY record;
    *journal = Journal();
    *exists = RegOpenKeyExW(HKEY_LOCAL_MACHINE, RecordKey(name).c_str(), 0, KEY_READ, &record) == ERROR_SUCCESS;
    if (!*exists) {
        *why = L"no package named \"" + name + L"\" is installed";
        return false;
    }
    DWORD type;
    std::vector<BYTE> instl;
    std::vector<std::wstring> replaced;
    bool ok = QueryValue(record, L"Instl", &type, &instl) && type == REG_DWORD && instl.size() == 4 && instl[0] == 1;
    std::vector<std::wstring> *lists[] = {&journal->files, &journal->folders, &journal->keys, &journal->values,
                                          &replaced};
    for (int i = 0; ok && i < 5; ++i)
        ok = ReadList(record, kLists[i], lists[i]);
    if (!ok) {
        RegCloseKey(record);
        *why = L"the record of \"" + name + L"\" was not made by this installer, or is damaged; nothing was removed";
        return false;
    }
    // Every path in it is checked before anything is done with any of them.
    std::wstring bad;
    for (const std::wstring &p : journal->files)
        if (!IsDevicePath(p))
            bad = p;
    for (const std::wstring &p : journal->folders)
        if (!IsDevicePath(p))
            bad = p;
    HKEY root;
    std::wstring sub, key, value;
    for (const std::wstring &p : journal->keys)
        if (!SplitKey(p, &root, &sub))
            bad = p;
    for (const std::wstring &p : journal->values)
        if (!SplitValue(p, &key, &value))
            bad = p;
    for (size_t i = 0; bad.empty() && i < replaced.size(); ++i) {
        Journal::Replaced r{replaced[i], 0, {}};
        if (!SplitValue(r.value, &key, &value) ||
            !QueryValue(record, L"Replaced " + std::to_wstring(i + 1), &r.type, &r.data))
            bad = r.value;
        journal->replaced.push_back(r);
    }
    RegCloseKey(record);
    if (!bad.empty()) {
        *why = L"the record of \"" + name + L"\" names \"" + bad + L"\", which it cannot hold; nothing was removed";
        return false;
    }
    return true;
}

bool TakeBack(const Journal &journal, bool careful, std::vector<std::wstring> *kept, std::wstring *why)
{
    // Files: each moved aside first, so that one that cannot be removed leaves all of them.
    std::vector<std::wstring> aside(journal.files.size());
    if (careful) {
        for (size_t i = 0; i < journal.files.size(); ++i) {
            std::wstring host = HostPath(journal.files[i]);
            if (GetFileAttributesW(host.c_str()) == INVALID_FILE_ATTRIBUTES)
                continue;
            if (!MoveFileW(host.c_str(), Aside(host, i).c_str())) {
                DWORD err = GetLastError();
                for (size_t j = 0; j < i; ++j)
                    if (!aside[j].empty())
                        MoveFileW(aside[j].c_str(), HostPath(journal.files[j]).c_str());
                *why = L"could not remove " + journal.files[i] + L": " + ErrorText(err) + L"; nothing was removed";
                return false;
            }
            aside[i] = Aside(host, i);
        }
    }
    bool ok = true;
    for (size_t i = journal.files.size(); i-- > 0;) {
        std::wstring host = careful ? aside[i] : HostPath(journal.files[i]);
        if (host.empty() || DeleteFileW(host.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND)
            continue;
        ok = false;
        *why = L"could not remove " + journal.files[i] + L": " + ErrorText(GetLastError());
    }
    for (size_t i = journal.folders.size(); i-- > 0;) {
        std::wstring host = HostPath(journal.folders[i]);
        if (!RemoveDirectoryW(host.c_str()) && GetFileAttributesW(host.c_str()) != INVALID_FILE_ATTRIBUTES)
            kept->push_back(journal.folders[i]);
    }
    for (const Journal::Replaced &r : journal.replaced)
        if (!RestoreValue(r)) {
            ok = false;
            *why = L"could not put back the registry value " + r.value;
        }
    for (const std::wstring &v : journal.values)
        if (!DeleteValue(v)) {
            ok = false;
            *why = L"could not remove the registry value " + v;
        }
    for (size_t i = journal.keys.size(); i-- > 0;)
        DeleteKey(journal.keys[i], kept);
    return ok;
}

bool DeleteRecord(const std::wstring &name)
{
    LONG rc = RegDeleteKeyW(HKEY_LOCAL_MACHINE, RecordKey(name).c_str());
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

int Uninstall(const std::wstring &name)
{
    if (name.empty() || name.find(L'\\') != std::wstring::npos || name.size() > 255)
        return Fail(L"\"" + name + L"\" is no package name (PROVIDER APPNAME)");
    Journal journal;
    bool exists;
    std::wstring why;
    if (!ReadRecord(name, &journal, &exists, &why))
        return Fail(why);
    // The record goes first of the registry, before the key it lives in is taken back.
    std::vector<std::wstring> kept;
    Journal files;
    files.files = journal.files;
    if (!TakeBack(files, true, &kept, &why))
        return Fail(why);
    if (!DeleteRecord(name))
        return Fail(L"could not remove the record of \"" + name + L"\"; its files are gone, run uninstall again");
    journal.files.clear();
    if (!TakeBack(journal, false, &kept, &why))
        return Fail(why + L"; the package's files and record are gone");
    for (const std::wstring &k : kept)
        Out(L"kept " + k + L": it holds what \"" + name + L"\" did not put there");
    Out(L"removed " + name);
    return kExitOk;
}
