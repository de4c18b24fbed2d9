// The handheld's registry persistence. The registry lives in RAM; a flush writes it to
// "\Flash Disk\registry.dat", but only while the save lock allows it. The file is
// written beside the target, made durable and replaces it in one step, so a failure or
// a power cut at any point leaves either the old file or the new one, never a mix.
#include "coredll.h"
#include "regtext.h"
#include "savedreg.h"

#define FLASH_DIR   DEVICE_ROOT L"\\Flash Disk"
#define SAVED_FILE  FLASH_DIR L"\\registry.dat"
#define SAVED_TEMP  FLASH_DIR L"\\registry.dat.new"

// The text goes to the file in pieces of this many units as it is made, and is made
// durable every so many bytes.
#define WRITE_PIECE (64 * 1024)
#define FLUSH_EVERY (256 * 1024)

// Saving is allowed while "EnableSave" under the save-lock key is the DWORD 1.
static bool SaveEnabled(void)
{
    DWORD type, value = 0, size = sizeof(value);
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\ORV\\REGLock", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    LONG rc = RegQueryValueExW(key, L"EnableSave", NULL, &type, (BYTE *)&value, &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(value) && value == 1;
}

struct SavedWriter {
    HANDLE file;
    size_t unflushed;  // bytes written since the last flush to disk
    uint64_t written;  // bytes written in all
};

// Takes the text as it is made. It is made durable as it goes, a few times while the
// registry is still being read, so that the flush at the end has little left to do.
static uint32_t WritePiece(void *context, const char16_t *text, size_t len)
{
    SavedWriter *w = (SavedWriter *)context;
    const BYTE *p = (const BYTE *)text;
    size_t left = len * sizeof(char16_t);
    // A cold boot reads no larger file: the flush fails rather than write one.
    w->written += left;
    if (w->written > kMaxSavedSize)
        return ERROR_FILE_TOO_LARGE;
    while (left) {
        DWORD size = left > 0x40000000 ? 0x40000000 : (DWORD)left, written = 0;
        if (!WriteFile(w->file, p, size, &written, NULL))
            return GetLastError();
        if (written != size)
            return ERROR_DISK_FULL;
        p += size;
        left -= size;
        w->unflushed += size;
    }
    if (w->unflushed >= FLUSH_EVERY) {
        if (!FlushFileBuffers(w->file))
            return GetLastError();
        w->unflushed = 0;
    }
    return 0;
}

// The new file: beside the target, given the text as it is made. A first write gives
// the process the file's descriptor, so that the worker making the text writes it
// without asking the Wine server for it while the server is busy saving.
static uint32_t PrepareSavedFile(void *context, WideBuffer *text)
{
    SavedWriter *w = (SavedWriter *)context;
    w->file = CreateFileW(SAVED_TEMP, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (w->file == INVALID_HANDLE_VALUE)
        return GetLastError();
    DWORD none;
    WriteFile(w->file, L"", 0, &none, NULL);
    text->drain = WritePiece;
    text->drainContext = w;
    return text->Reserve(WRITE_PIECE) ? 0 : text->error;
}

// The handheld writes its whole registry whichever key is flushed.
CEAPI LONG WINAPI CeRegFlushKey(HKEY hKey)
{
    (void)hKey;
    if (!SaveEnabled())
        return ERROR_ACCESS_DENIED;
    DWORD attr = GetFileAttributesW(FLASH_DIR);
    if (attr == INVALID_FILE_ATTRIBUTES || !(attr & FILE_ATTRIBUTE_DIRECTORY))
        return ERROR_PATH_NOT_FOUND;
    // The new file is written beside the target as the registry is read, made durable,
    // then moved over the target.
    SavedWriter w = {INVALID_HANDLE_VALUE, 0, 0};
    TextTarget target = {PrepareSavedFile, &w};
    WideBuffer text;
    DWORD err = BuildRegistryText(&text, &target);
    if (!err)
        err = text.Finish();
    if (!err && !FlushFileBuffers(w.file))
        err = GetLastError();
    if (w.file != INVALID_HANDLE_VALUE)
        CloseHandle(w.file);
    if (!err && !MoveFileExW(SAVED_TEMP, SAVED_FILE, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        err = GetLastError();
    if (err)
        DeleteFileW(SAVED_TEMP);
    return err;
}
