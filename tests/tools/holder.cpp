// Test tool: holds a device file open without delete sharing, as another program
// reading it would, with no window of its own, so that it shows nowhere on the screen.
//
//   holder FILE       holds FILE until told to let go (at most kHoldMs)
//   holder --held     waits until a holder holds its file
//   holder --release  tells the holder to let go and waits until it has
//
// The three talk through named objects of the device's session: an event set once
// the file is held, an event that asks the holder to let go, and a mutex the holder
// owns for as long as it holds the file.
#include <windows.h>

#include <stdio.h>

static const wchar_t kHeld[] = L"RegSaveTests.Holder.Held";
static const wchar_t kRelease[] = L"RegSaveTests.Holder.Release";
static const wchar_t kHolding[] = L"RegSaveTests.Holder.Holding";

// Bounds: a holder nobody releases lets go by itself; the others wait this long.
static const DWORD kHoldMs = 300000;
static const DWORD kWaitMs = 10000;

static int Fail(const char *message)
{
    fprintf(stderr, "holder: %s\n", message);
    return 1;
}

static int Hold(const wchar_t *path)
{
    HANDLE holding = CreateMutexW(NULL, TRUE, kHolding);
    if (!holding || GetLastError() == ERROR_ALREADY_EXISTS)
        return Fail("another holder is running");
    HANDLE held = CreateEventW(NULL, TRUE, FALSE, kHeld);
    HANDLE release = CreateEventW(NULL, TRUE, FALSE, kRelease);
    if (!held || !release)
        return Fail("cannot create its events");
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return Fail("cannot open the file");
    SetEvent(held);
    DWORD waited = WaitForSingleObject(release, kHoldMs);
    CloseHandle(file);
    ResetEvent(held);
    ReleaseMutex(holding);
    if (waited != WAIT_OBJECT_0)
        return Fail("nobody told it to let go within 300 s; it let go");
    return 0;
}

static int WaitHeld()
{
    HANDLE held = CreateEventW(NULL, TRUE, FALSE, kHeld);
    if (!held)
        return Fail("cannot open the holder's event");
    if (WaitForSingleObject(held, kWaitMs) != WAIT_OBJECT_0)
        return Fail("timed out after 10 s waiting for the holder to hold its file");
    return 0;
}

static int Release()
{
    HANDLE release = CreateEventW(NULL, TRUE, FALSE, kRelease);
    HANDLE holding = OpenMutexW(SYNCHRONIZE, FALSE, kHolding);
    if (!release)
        return Fail("cannot open the holder's event");
    if (!holding)
        return Fail("no holder is running");
    SetEvent(release);
    DWORD waited = WaitForSingleObject(holding, kWaitMs);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED)
        return Fail("timed out after 10 s waiting for the holder to let go");
    ReleaseMutex(holding);
    return 0;
}

int wmain(int argc, wchar_t **argv)
{
    if (argc != 2)
        return Fail("usage: holder FILE | --held | --release");
    if (!lstrcmpW(argv[1], L"--held"))
        return WaitHeld();
    if (!lstrcmpW(argv[1], L"--release"))
        return Release();
    return Hold(argv[1]);
}
