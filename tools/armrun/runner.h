// armrun: runs a Windows CE image for ARM on the simulated handheld. The image's ARM
// code runs on an emulated ARMv4T CPU (unicorn); each function it imports from
// COREDLL.dll is answered by the device's own COREDLL.dll, with its arguments,
// structures, messages and callbacks converted between the handheld's 32-bit layouts
// and the desktop's 64-bit ones.
//
// Guest memory is host memory below 2 GB, mapped into the CPU at the same address, so
// a guest pointer is a host pointer once it has been checked to lie in memory the
// program was given.
#ifndef ARMRUN_RUNNER_H
#define ARMRUN_RUNNER_H

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "fault.h"

#include <cstdint>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// The CPU and guest memory (cpu.cpp)

// Addresses that are never mapped: a jump to one of them stops the CPU, and the
// runner then knows which import was called, or that a call it made has returned. The
// import table holds them as Thumb code's addresses (bit 0 set), as the handheld's
// core library may be Thumb code.
constexpr uint32_t kImportTraps = 0xFE000000;
constexpr uint32_t kMaxImports = 4096;
constexpr uint32_t kReturnTrap = 0xFE7FFFF0;

namespace cpu {

enum Reg { R0 = 0, R1, R2, R3, SP = 13, LR = 14, PC = 15 };

// How the CPU answers the program's call of import INDEX (calls.cpp's CallImport),
// and names the import for fault messages.
struct ImportAnswers {
    uint32_t (*call)(int index);
    const char *(*name)(int index);
};

void Init(const ImportAnswers &answers);
uint32_t Get(Reg r);
void Set(Reg r, uint32_t v);

// Maps host memory at ADDRESS (4 KB aligned) into the CPU; PROT is UC_PROT_*.
void Map(uint32_t address, uint32_t size, uint32_t prot, const char *what);
// Reserves and commits SIZE bytes of host memory below 2 GB, at ADDRESS if it is
// free there (0: anywhere), and returns its address, or 0.
uint32_t Allocate(uint32_t address, uint32_t size);

// Host view of SIZE bytes of guest memory at ADDRESS, after checking that all of it
// was given to the program (writable, when WRITE); FOR names what the pointer was
// passed to, for the fault message.
void *Host(uint32_t address, uint32_t size, bool write, const char *forWhat);
// A guest string of 16-bit characters, checked to end inside the program's memory.
const WCHAR *HostString(uint32_t address, const char *forWhat);
// A guest string of UNIT-byte characters (1 or 2) that is read up to its terminator
// or, when LIMIT is not 0, up to LIMIT characters, whichever comes first: checked to
// lie inside the program's memory as far as it is read.
const void *HostText(uint32_t address, uint32_t unit, uint32_t limit, const char *forWhat);
bool IsGuest(uint32_t address, uint32_t size);

// Guest memory for what the runner hands the program to keep for as long as it runs
// (converted resources, the command line), from a block of its own; never freed.
uint32_t GuestAlloc(uint32_t size);

// Calls the guest function at FN (bit 0: Thumb) with ARGS as the ARM procedure call
// standard passes them, runs it to its return, answering the imports it calls, and
// returns r0. Calls nest: a callback may call the guest while the guest waits in an
// import.
uint32_t Call(uint32_t fn, const uint32_t *args, int count);

// Room on the guest's stack, below what the current call uses, for structures handed
// to a guest callback; released when the object goes.
class StackAlloc {
public:
    explicit StackAlloc(uint32_t size);
    ~StackAlloc();
    uint32_t address() const { return address_; }
    void *host() const { return reinterpret_cast<void *>(uintptr_t(address_)); }

private:
    uint32_t saved_;
    uint32_t address_;
};

// What the guest is doing, for fault messages: the message it is handling, if any.
void PushMessage(HWND hwnd, UINT message);
void PopMessage();

}  // namespace cpu

// ---------------------------------------------------------------------------
// The image (loader.cpp)

struct LoadedImage {
    uint32_t base;       // where it lies in guest memory
    uint32_t preferred;  // the base it was linked for
    uint32_t entry;
};

// Loads the image at PATH into guest memory; its COREDLL.dll imports are pointed at
// the import traps. Fails the load, naming the cause (and the image as NAME), for
// anything that is not an ARM Windows CE image or imports what the runner does not
// provide.
LoadedImage LoadProgram(const WCHAR *path, const char *name);

// ---------------------------------------------------------------------------
// The core library's functions (calls.cpp)

// The index of the runner's answer to an import, or -1.
int FindImport(const std::string &name);
// Answers the call of import INDEX, whose arguments are in the CPU's registers and
// on its stack; returns what goes to r0.
uint32_t CallImport(int index);
// The names of every import the runner answers, one a line.
void ListImports();
// The name of import INDEX.
const char *ImportName(int index);

// ---------------------------------------------------------------------------
// The program being run (program.cpp)

// The handle the program's own module has in the host (for resources), and its guest
// value; both set at load.
extern HMODULE g_hostModule;
extern uint32_t g_guestModule;
// The command line the program gets, after its own name.
extern const WCHAR *g_commandLine;

// ---------------------------------------------------------------------------
// Callbacks and messages (callbacks.cpp, convert.cpp)

// The host procedure of every window class whose procedure is guest code; it calls
// the guest procedure bound to the window's class.
WNDPROC HostWindowProc();
void BindClassAtom(ATOM atom, uint32_t guestProc);
// The host procedure for a dialog whose procedure is guest code; the dialog created
// next on this thread binds to GUESTPROC.
DLGPROC PendingDialogProc(uint32_t guestProc);
void EndPendingDialog();

// A message on its way from the host to a guest procedure: wParam and lParam as the
// guest sees them, with any structure converted onto the guest's stack.
class MessageFrame {
public:
    MessageFrame(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    ~MessageFrame();
    uint32_t guestWParam() const { return wParam32_; }
    uint32_t guestLParam() const { return lParam32_; }
    // Copies what the guest changed back into the host's structure.
    void CopyOut();
    // Copies the host's structure to the guest's copy again (after the host's default
    // procedure changed it).
    void CopyIn();

    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;

private:
    int kind_;
    uint32_t wParam32_;
    uint32_t lParam32_;
    cpu::StackAlloc *room_;
};

// The host wParam and lParam for a message the guest passes on (to the default
// window procedure): its own frame's when the guest passes what it was given, else the
// guest's own values, checked as CheckGuestMessage checks them.
void HostParams(HWND hwnd, UINT message, uint32_t wParam, uint32_t lParam, WPARAM *hostW, LPARAM *hostL,
                MessageFrame **frame, const char *forWhat);

// A message the program made itself, on its way to the core library (FOR names the
// call): where the window manager, the default procedure or a standard control reads
// its parameters as memory, a string must lie in the program's memory, WM_GETTEXT's
// buffer must be the program's writable memory, and any other pointer is refused.
void CheckGuestMessage(UINT message, uint32_t wParam, uint32_t lParam, const char *forWhat);

// The name of a window message, for fault messages (messages.cpp).
const char *MessageName(UINT message);

// Values between the two worlds (convert.cpp): handles sign-extend (the predefined
// negative ones included) and must come back within 32 bits.
inline uint64_t Widen(uint32_t v)
{
    return uint64_t(int64_t(int32_t(v)));
}
uint32_t Narrow(uint64_t v, const char *what);

#endif
