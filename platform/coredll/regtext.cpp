// Reads the device's registry as the saved registry's text. The registry is read in one
// call per root (NtSaveKey hands the Wine server's whole tree over in its own format)
// and converted as it comes (winedump.cpp); reading it one value at a time would take
// seconds.
#include "regtext.h"
#include "winedump.h"

#ifndef UNICODE
#define UNICODE
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <winternl.h>

extern "C" NTSTATUS NTAPI NtSaveKey(HANDLE KeyHandle, HANDLE FileHandle);
extern "C" NTSTATUS NTAPI RtlAdjustPrivilege(ULONG Privilege, BOOLEAN Enable, BOOLEAN CurrentThread,
                                             PBOOLEAN Enabled);
extern "C" NTSTATUS NTAPI RtlOpenCurrentUser(ACCESS_MASK DesiredAccess, PHANDLE KeyHandle);
extern "C" NTSTATUS NTAPI NtOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES Attributes);

#define SE_BACKUP_PRIVILEGE 17

// The Wine server saves each root into one scratch file, the small HKEY_CURRENT_USER
// and then HKEY_LOCAL_MACHINE after it, and a worker thread converts the file while the
// server is still writing it: the server takes as long to write the dump as the worker
// takes to convert it, and the two run side by side.
//
// The server answers no other request while it saves, so the worker asks nothing of it
// meanwhile: it reads and writes through handles whose descriptors the process already
// holds, and waits without the server. A new thread, though, needs the server as it
// starts, and takes a few milliseconds to start (Wine clears a megabyte of its stack):
// it is started first, and the large save waits until it runs, while everything else
// is made ready. The worker also removes the scratch file, which takes a while for a
// large one, after the text is done, while the caller goes on.

namespace {

// The roots in the order of the scratch file, the small one first; the text has them
// the other way round.
const char16_t *const kRoots[2] = {SavedRootName(kSavedRoots[1]), SavedRootName(kSavedRoots[0])};

const LONG kNotBegun = -2, kFailed = -1;

struct Pipeline {
    WCHAR path[MAX_PATH];  // the scratch file
    HANDLE dump;        // the worker's own handle to it
    WideBuffer *out;
    volatile LONG ready;  // set once the worker runs
    volatile LONG done;   // set once the text is complete or has failed
    DWORD result;
    // The roots the server has finished; kNotBegun until the scratch file is there,
    // kFailed when the work failed.
    volatile LONG saved;
    LONGLONG ends[2];        // where each root's dump ends, set before saved counts it
    LONGLONG offset;         // how far the worker has read
    LONG root;               // the root the worker converts
    char *spill;             // what was read of the next root's dump, and how much
    DWORD spilled;
};

// Waits without the server: yielding the processor, which keeps a worker with a
// processor of its own in step; on a busy machine, a millisecond at a time.
void Pause(int waits)
{
    if (waits < 64)
        SwitchToThread();
    else
        Sleep(1);
}

bool IsSet(volatile LONG *flag)
{
    return InterlockedCompareExchange(flag, 0, 0) != 0;
}

// Reads the dump of the worker's root as the server writes it: waits while the server
// is still writing and nothing new is there, and ends where the root's dump ends. The
// reads go on from the handle's own position: a read at an offset would cost a request
// to the server, which answers none while it saves.
bool ReadGrowingDump(void *context, char *buffer, size_t size, size_t *got)
{
    Pipeline *p = (Pipeline *)context;
    if (size > kDumpPiece)
        size = kDumpPiece;
    for (int waits = 0;; ++waits) {
        LONG saved = InterlockedCompareExchange(&p->saved, 0, 0);
        if (saved == kFailed)
            return false;
        bool final = saved > p->root;
        if (final && p->offset >= p->ends[p->root]) {
            *got = 0;
            return true;
        }
        DWORD n = 0;
        if (saved == kNotBegun) {
            // Nothing to read yet.
        } else if (p->spilled) {
            n = p->spilled < size ? p->spilled : (DWORD)size;
            memcpy(buffer, p->spill, n);
            memmove(p->spill, p->spill + n, p->spilled - n);
            p->spilled -= n;
        } else if (!ReadFile(p->dump, buffer, (DWORD)size, &n, NULL)) {
            return false;
        }
        // The next root's dump begins where this one ends, once this one is counted
        // as saved; what was read of it waits for its turn.
        if (InterlockedCompareExchange(&p->saved, 0, 0) > p->root && p->offset + n > p->ends[p->root]) {
            DWORD keep = (DWORD)(p->ends[p->root] - p->offset);
            if (!p->spill && !(p->spill = (char *)HeapAlloc(GetProcessHeap(), 0, kDumpPiece)))
                return false;
            memmove(p->spill + (n - keep), p->spill, p->spilled);
            memcpy(p->spill, buffer + keep, n - keep);
            p->spilled += n - keep;
            n = keep;
        }
        if (n) {
            p->offset += n;
            *got = n;
            return true;
        }
        if (final)
            return false;  // shorter than the server said it was
        Pause(waits);
    }
}

void ConvertRoots(Pipeline *p)
{
    // HKEY_CURRENT_USER waits in memory for HKEY_LOCAL_MACHINE to go first.
    WideBuffer user;
    DWORD err = 0;
    for (p->root = 0; p->root < 2 && !err; ++p->root) {
        WideBuffer *out = p->root ? p->out : &user;
        if (!ConvertWineDumpFrom(ReadGrowingDump, p, kRoots[p->root], out))
            err = out->failed ? out->error : ERROR_INVALID_DATA;
    }
    if (!err) {
        p->out->Append(user.data, user.len);
        p->out->Append(kSavedTail);
        err = p->out->failed ? p->out->error : 0;
    }
    p->result = err;  // after a failed save, the caller has the save's own error
}

// The worker's own handle to the scratch file, opened before any save: reading through
// the handle the server writes to would move the position it writes at. A first read
// gives the process the file's descriptor, which it keeps for the handle.
bool OpenDump(Pipeline *p)
{
    p->dump = CreateFileW(p->path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                          OPEN_EXISTING, 0, NULL);
    if (p->dump == INVALID_HANDLE_VALUE) {
        p->dump = NULL;
        return false;
    }
    char byte;
    DWORD n;
    ReadFile(p->dump, &byte, 1, &n, NULL);  // the file is still empty
    return true;
}

DWORD WINAPI Worker(void *context)
{
    Pipeline *p = (Pipeline *)context;
    InterlockedExchange(&p->ready, 1);
    ConvertRoots(p);
    // Its handle is the scratch file's last one: closing it removes the file.
    HANDLE dump = p->dump;
    InterlockedExchange(&p->done, 1);  // p is the caller's again from here
    if (dump)
        CloseHandle(dump);
    return 0;
}

// Creates the scratch file, with a name of its own in the temporary folder; it is
// removed once every handle to it is closed, whatever becomes of the process.
HANDLE CreateScratch(WCHAR *path)
{
    static LONG s_count;
    WCHAR dir[MAX_PATH];
    DWORD n = GetTempPathW(MAX_PATH - 32, dir);
    if (!n || n >= MAX_PATH - 32)
        return INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100; ++attempt) {
        wsprintfW(path, L"%sreg%lx-%lx.tmp", dir, GetCurrentProcessId(), (unsigned long)InterlockedIncrement(&s_count));
        HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  NULL, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, NULL);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS)
            return file;
    }
    return INVALID_HANDLE_VALUE;
}

}  // namespace

uint32_t BuildRegistryText(WideBuffer *out, const TextTarget *target)
{
    Pipeline p = {};
    p.out = out;
    p.saved = kNotBegun;
    // Its end is known from p.done; its handle is not needed.
    HANDLE thread = CreateThread(NULL, 0, Worker, &p, 0, NULL);
    bool worker = thread != NULL;
    if (thread)
        CloseHandle(thread);

    // Saving a key needs the backup privilege, which an administrator holds but has
    // not enabled.
    BOOLEAN was;
    RtlAdjustPrivilege(SE_BACKUP_PRIVILEGE, TRUE, FALSE, &was);
    DWORD err = target && target->prepare ? target->prepare(target->context, out) : 0;
    if (!err) {
        out->Append(kSavedHead);
        err = out->failed ? out->error : 0;
    }
    HANDLE file = INVALID_HANDLE_VALUE;
    if (!err && (file = CreateScratch(p.path)) == INVALID_HANDLE_VALUE)
        err = GetLastError();
    if (!err && !OpenDump(&p))
        err = GetLastError();
    if (!err)
        InterlockedExchange(&p.saved, 0);

    HANDLE keys[2] = {};
    if (!err) {
        UNICODE_STRING name;
        OBJECT_ATTRIBUTES attr;
        RtlInitUnicodeString(&name, L"\\Registry\\Machine");
        InitializeObjectAttributes(&attr, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
        NTSTATUS status = RtlOpenCurrentUser(KEY_READ, &keys[0]);
        if (!status)
            status = NtOpenKey(&keys[1], KEY_READ, &attr);
        err = status ? RtlNtStatusToDosError(status) : 0;
    }

    // The server saves the roots one after the other, each at the end of the file. The
    // caller's handle is closed before the last root counts as saved, so that the
    // worker's is the last one.
    for (int i = 0; i < 2 && !err; ++i) {
        if (i == 1 && worker)
            for (int waits = 0; !IsSet(&p.ready); ++waits)
                Pause(waits);
        LARGE_INTEGER size;
        NTSTATUS status = NtSaveKey(keys[i], file);
        if (status)
            err = RtlNtStatusToDosError(status);
        else if (!GetFileSizeEx(file, &size))
            err = GetLastError();
        else if (size.QuadPart <= (i ? p.ends[0] : 0))
            err = ERROR_INVALID_DATA;
        if (err)
            break;
        p.ends[i] = size.QuadPart;
        if (i == 1 && worker) {
            CloseHandle(file);
            file = INVALID_HANDLE_VALUE;
        }
        InterlockedExchange(&p.saved, i + 1);
    }
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (err)
        InterlockedExchange(&p.saved, kFailed);
    for (HANDLE key : keys) {
        if (key)
            CloseHandle(key);
    }

    if (worker) {
        for (int waits = 0; !IsSet(&p.done); ++waits)
            Pause(waits);
    } else {
        // No worker: the conversion follows the saves.
        if (!err)
            ConvertRoots(&p);
        if (p.dump)
            CloseHandle(p.dump);
    }
    if (p.spill)
        HeapFree(GetProcessHeap(), 0, p.spill);
    return err ? err : p.result;
}
