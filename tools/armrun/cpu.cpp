// The emulated CPU: an ARMv4T core (unicorn's TI925T), the guest memory it sees, and
// the loop that runs guest code, answers its imports and turns what would crash the
// handheld into one-line faults.
#include "runner.h"

#include <unicorn/unicorn.h>
#include <winternl.h>

#include <cstdarg>
#include <cstdio>

namespace cpu {

namespace {

uc_engine *g_uc;
ImportAnswers g_imports;

struct Region {
    uint32_t start, end;
    uint32_t prot;
    const char *what;
};
std::vector<Region> g_regions;

// The guest's own heap, carved from one block.
uint32_t g_heap, g_heapUsed, g_heapSize;

// What stopped the CPU, as its hooks saw it.
enum class Stop { None, Unmapped, Protected, Misaligned };
Stop g_stop;
uc_mem_type g_stopType;
uint64_t g_stopAddress;
int g_stopSize;
uint32_t g_stopPc;

// The messages the guest is handling, innermost last.
std::vector<std::pair<HWND, UINT>> g_messages;

const uc_arm_reg kRegs[] = {UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3};

uint32_t ReadReg(int reg)
{
    uint32_t v = 0;
    uc_reg_read(g_uc, reg, &v);
    return v;
}

void WriteReg(int reg, uint32_t v)
{
    uc_reg_write(g_uc, reg, &v);
}

const char *AccessName(uc_mem_type type)
{
    switch (type) {
    case UC_MEM_READ:
    case UC_MEM_READ_UNMAPPED:
    case UC_MEM_READ_PROT:
        return "read";
    case UC_MEM_WRITE:
    case UC_MEM_WRITE_UNMAPPED:
    case UC_MEM_WRITE_PROT:
        return "write";
    default:
        return "fetch";
    }
}

// The handheld's CPU faults on a misaligned access; the emulated one would rotate the
// word or cross it, so every access is checked here.
void OnAccess(uc_engine *uc, uc_mem_type type, uint64_t address, int size, int64_t, void *)
{
    if (size > 1 && address % size && g_stop == Stop::None) {
        g_stop = Stop::Misaligned;
        g_stopType = type;
        g_stopAddress = address;
        g_stopSize = size;
        uc_reg_read(uc, UC_ARM_REG_PC, &g_stopPc);
        uc_emu_stop(uc);
    }
}

bool OnInvalid(uc_engine *uc, uc_mem_type type, uint64_t address, int size, int64_t, void *)
{
    g_stop = (type == UC_MEM_READ_PROT || type == UC_MEM_WRITE_PROT || type == UC_MEM_FETCH_PROT) ? Stop::Protected
                                                                                                   : Stop::Unmapped;
    g_stopType = type;
    g_stopAddress = address;
    g_stopSize = size;
    uc_reg_read(uc, UC_ARM_REG_PC, &g_stopPc);
    return false;
}

// The fault's message ends with what the guest was doing.
std::string Context()
{
    if (g_messages.empty())
        return "";
    char buf[96];
    snprintf(buf, sizeof(buf), " while handling %s (0x%04x)", MessageName(g_messages.back().second),
             g_messages.back().second);
    return buf;
}

bool InThumbState()
{
    return ReadReg(UC_ARM_REG_CPSR) & (1u << 5);
}

// A procedure the runner called has come back to it: by BX, so in the state its return
// address asked for.
void Returned(uint32_t fn, bool toThumb)
{
    if (InThumbState() != toThumb)
        Fault("the procedure at 0x%08x returned without BX (to %s code, in %s state)%s", fn & ~1u,
              toThumb ? "Thumb" : "ARM", toThumb ? "ARM" : "Thumb", Context().c_str());
}

// Runs guest code from FN until it returns to the return trap, answering the imports it
// calls on the way. The return address asks for the state FN does not start in, so that
// only a return by BX comes back in the state it asks for: the handheld's callers may
// be ARM or Thumb code.
void Run(uint32_t fn, bool returnToThumb)
{
    uint32_t pc = fn;
    for (;;) {
        g_stop = Stop::None;
        uc_err err = uc_emu_start(g_uc, pc, kReturnTrap, 0, 0);
        uint32_t at = ReadReg(UC_ARM_REG_PC);
        if (g_stop == Stop::Misaligned)
            Fault("a misaligned %s of %d bytes at 0x%08llx by the instruction at 0x%08x%s", AccessName(g_stopType),
                  g_stopSize, (unsigned long long)g_stopAddress, g_stopPc, Context().c_str());
        if (err == UC_ERR_OK && at == kReturnTrap)
            return Returned(fn, returnToThumb);
        if (err == UC_ERR_FETCH_UNMAPPED && g_stop == Stop::Unmapped) {
            uint32_t target = uint32_t(g_stopAddress);
            if (target == kReturnTrap)
                return Returned(fn, returnToThumb);
            if (target >= kImportTraps && target < kImportTraps + 4 * kMaxImports && target % 4 == 0) {
                // The core library's functions are Thumb code: reached by BX from the
                // address in the import table, the CPU is in Thumb state.
                int index = int((target - kImportTraps) / 4);
                if (!InThumbState())
                    Fault("a call of COREDLL.dll's %s not made by BX (the core library's code is Thumb; return "
                          "address 0x%08x)%s",
                          g_imports.name(index), ReadReg(UC_ARM_REG_LR), Context().c_str());
                uint32_t result = g_imports.call(index);
                WriteReg(UC_ARM_REG_R0, result);
                pc = ReadReg(UC_ARM_REG_LR);
                continue;
            }
            Fault("a jump to unmapped memory at 0x%08x (return address 0x%08x)%s", target, ReadReg(UC_ARM_REG_LR),
                  Context().c_str());
        }
        if ((err == UC_ERR_READ_UNMAPPED || err == UC_ERR_WRITE_UNMAPPED) && g_stop == Stop::Unmapped)
            Fault("a %s of memory the program was not given, at 0x%08llx, by the instruction at 0x%08x%s",
                  AccessName(g_stopType), (unsigned long long)g_stopAddress, g_stopPc, Context().c_str());
        if (g_stop == Stop::Protected)
            Fault("a %s that memory at 0x%08llx does not allow, by the instruction at 0x%08x%s", AccessName(g_stopType),
                  (unsigned long long)g_stopAddress, g_stopPc, Context().c_str());
        if (err == UC_ERR_INSN_INVALID) {
            uint32_t word = 0;
            if (IsGuest(at, 4))
                word = *reinterpret_cast<const uint32_t *>(uintptr_t(at));
            Fault("an instruction the ARMv4T CPU lacks at 0x%08x (0x%08x)%s", at, word, Context().c_str());
        }
        if (err == UC_ERR_EXCEPTION)
            Fault("a CPU exception (software interrupt or breakpoint) at 0x%08x%s", at, Context().c_str());
        Fault("the CPU stopped at 0x%08x: %s%s", at, uc_strerror(err), Context().c_str());
    }
}

}  // namespace

void Init(const ImportAnswers &answers)
{
    g_imports = answers;
    uc_err err = uc_open(UC_ARCH_ARM, UC_MODE_ARM, &g_uc);
    if (err != UC_ERR_OK)
        LoadFailed("cannot start the ARM CPU: %s", uc_strerror(err));
    // ARMv4T: the handheld's ARM920T-class core runs ARM and Thumb code of that
    // architecture and nothing of ARMv5.
    err = uc_ctl_set_cpu_model(g_uc, int(UC_CPU_ARM_TI925T));
    if (err != UC_ERR_OK)
        LoadFailed("cannot model an ARMv4T CPU: %s", uc_strerror(err));
    uc_hook hook;
    uc_hook_add(g_uc, &hook, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, reinterpret_cast<void *>(OnAccess), nullptr, 1, 0);
    uc_hook_add(g_uc, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void *>(OnInvalid), nullptr, 1, 0);
}

uint32_t Get(Reg r)
{
    static const int kMap[16] = {UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3, UC_ARM_REG_R4,
                                 UC_ARM_REG_R5, UC_ARM_REG_R6, UC_ARM_REG_R7, UC_ARM_REG_R8, UC_ARM_REG_R9,
                                 UC_ARM_REG_R10, UC_ARM_REG_R11, UC_ARM_REG_R12, UC_ARM_REG_SP, UC_ARM_REG_LR,
                                 UC_ARM_REG_PC};
    return ReadReg(kMap[r]);
}

void Set(Reg r, uint32_t v)
{
    switch (r) {
    case SP:
        WriteReg(UC_ARM_REG_SP, v);
        break;
    case LR:
        WriteReg(UC_ARM_REG_LR, v);
        break;
    case PC:
        WriteReg(UC_ARM_REG_PC, v);
        break;
    default:
        WriteReg(kRegs[r], v);
        break;
    }
}

void Map(uint32_t address, uint32_t size, uint32_t prot, const char *what)
{
    uc_err err = uc_mem_map_ptr(g_uc, address, size, prot, reinterpret_cast<void *>(uintptr_t(address)));
    if (err != UC_ERR_OK)
        LoadFailed("cannot map %s at 0x%08x into the CPU: %s", what, address, uc_strerror(err));
    g_regions.push_back({address, address + size, prot, what});
}

uint32_t Allocate(uint32_t address, uint32_t size)
{
    void *p = nullptr;
    if (address)
        p = VirtualAlloc(reinterpret_cast<void *>(uintptr_t(address)), size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (!p) {
        // Anywhere below 2 GB: one leading zero bit of a 32-bit address.
        SIZE_T bytes = size;
        if (NtAllocateVirtualMemory(GetCurrentProcess(), &p, 1, &bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE))
            return 0;
    }
    uintptr_t a = reinterpret_cast<uintptr_t>(p);
    if (a >= 0x80000000u) {
        VirtualFree(p, 0, MEM_RELEASE);
        return 0;
    }
    return uint32_t(a);
}

bool IsGuest(uint32_t address, uint32_t size)
{
    for (const Region &r : g_regions) {
        if (address >= r.start && address < r.end)
            return size <= r.end - address;
    }
    return false;
}

static const Region *RegionOf(uint32_t address)
{
    for (const Region &r : g_regions) {
        if (address >= r.start && address < r.end)
            return &r;
    }
    return nullptr;
}

void *Host(uint32_t address, uint32_t size, bool write, const char *forWhat)
{
    const Region *r = RegionOf(address);
    if (!r || size > r->end - address)
        Fault("%s was given 0x%08x, which is not memory the program was given (%u bytes)%s", forWhat, address, size,
              Context().c_str());
    if (write && !(r->prot & UC_PROT_WRITE))
        Fault("%s was given 0x%08x to write to, which is read-only (%s)%s", forWhat, address, r->what,
              Context().c_str());
    return reinterpret_cast<void *>(uintptr_t(address));
}

const void *HostText(uint32_t address, uint32_t unit, uint32_t limit, const char *forWhat)
{
    const Region *r = RegionOf(address);
    if (!r || address % unit)
        Fault("%s was given 0x%08x as a string, which is not memory the program was given%s", forWhat, address,
              Context().c_str());
    const uint8_t *s = reinterpret_cast<const uint8_t *>(uintptr_t(address));
    const uint32_t room = (r->end - address) / unit;
    for (uint32_t n = 0; n < room; ++n) {
        if (limit && n == limit)
            return s;
        if (unit == 2 ? !(s[2 * n] | s[2 * n + 1]) : !s[n])
            return s;
    }
    if (limit && room == limit)
        return s;
    Fault("%s was given a string at 0x%08x that runs past the program's memory%s", forWhat, address,
          Context().c_str());
}

const WCHAR *HostString(uint32_t address, const char *forWhat)
{
    return static_cast<const WCHAR *>(HostText(address, 2, 0, forWhat));
}

uint32_t GuestAlloc(uint32_t size)
{
    const uint32_t kHeapSize = 1 << 20;
    if (!g_heap) {
        g_heap = Allocate(0, kHeapSize);
        if (!g_heap)
            Fault("no memory below 2 GB for the program's heap");
        g_heapSize = kHeapSize;
        Map(g_heap, kHeapSize, UC_PROT_READ | UC_PROT_WRITE, "the heap");
    }
    size = (size + 7) & ~7u;
    if (size > g_heapSize - g_heapUsed)
        Fault("the program's heap of %u bytes is used up", g_heapSize);
    uint32_t at = g_heap + g_heapUsed;
    g_heapUsed += size;
    return at;
}

uint32_t Call(uint32_t fn, const uint32_t *args, int count)
{
    uc_context *saved = nullptr;
    if (uc_context_alloc(g_uc, &saved) != UC_ERR_OK || uc_context_save(g_uc, saved) != UC_ERR_OK)
        Fault("cannot save the CPU's state for a call into the program");
    // Arguments after the fourth go on the stack, which stays 8-byte aligned.
    uint32_t sp = ReadReg(UC_ARM_REG_SP);
    int onStack = count > 4 ? count - 4 : 0;
    sp = (sp - 4 * onStack) & ~7u;
    if (onStack) {
        uint32_t *slots = static_cast<uint32_t *>(Host(sp, 4 * onStack, true, "the program's stack"));
        for (int i = 0; i < onStack; ++i)
            slots[i] = args[4 + i];
    }
    for (int i = 0; i < 4; ++i)
        WriteReg(kRegs[i], i < count ? args[i] : 0);
    WriteReg(UC_ARM_REG_SP, sp);
    const bool returnToThumb = !(fn & 1);
    WriteReg(UC_ARM_REG_LR, kReturnTrap | (returnToThumb ? 1 : 0));
    Run(fn, returnToThumb);
    uint32_t result = ReadReg(UC_ARM_REG_R0);
    uc_context_restore(g_uc, saved);
    uc_context_free(saved);
    return result;
}

StackAlloc::StackAlloc(uint32_t size)
{
    saved_ = ReadReg(UC_ARM_REG_SP);
    address_ = (saved_ - size) & ~7u;
    if (!IsGuest(address_, saved_ - address_))
        Fault("the program's stack is used up");
    WriteReg(UC_ARM_REG_SP, address_);
}

StackAlloc::~StackAlloc()
{
    WriteReg(UC_ARM_REG_SP, saved_);
}

void PushMessage(HWND hwnd, UINT message)
{
    g_messages.push_back({hwnd, message});
}

void PopMessage()
{
    g_messages.pop_back();
}

}  // namespace cpu
