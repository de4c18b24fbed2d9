// The loader: what the handheld's loader does with an EXE. Its sections go into guest
// memory at the image's base, or elsewhere with its base relocations applied; each
// function it imports from COREDLL.dll is pointed at the runner's answer.
#include "runner.h"

#include "peimage.h"

#include <unicorn/unicorn.h>

#include <cstdio>
#include <cstring>

namespace {

// The file's bytes, read through the device's own file system.
std::vector<uint8_t> ReadImageFile(const WCHAR *path, const char *name)
{
    HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        LoadFailed("%s cannot be opened (error %lu)", name, (unsigned long)GetLastError());
    LARGE_INTEGER size;
    if (!GetFileSizeEx(h, &size) || size.QuadPart > 64 * 1024 * 1024)
        LoadFailed("%s is not a program this runner can load (its size)", name);
    std::vector<uint8_t> bytes(size_t(size.QuadPart));
    DWORD got = 0;
    if (!bytes.empty() && (!::ReadFile(h, bytes.data(), DWORD(bytes.size()), &got, nullptr) || got != bytes.size()))
        LoadFailed("%s cannot be read (error %lu)", name, (unsigned long)GetLastError());
    CloseHandle(h);
    return bytes;
}

uint32_t Protection(uint32_t characteristics)
{
    uint32_t prot = 0;
    if (characteristics & pe::kScnRead)
        prot |= UC_PROT_READ;
    if (characteristics & pe::kScnWrite)
        prot |= UC_PROT_WRITE;
    if (characteristics & pe::kScnExecute)
        prot |= UC_PROT_EXEC | UC_PROT_READ;
    return prot;
}

bool SameName(const std::string &a, const char *b)
{
    return strcasecmp(a.c_str(), b) == 0;
}

}  // namespace

LoadedImage LoadImage(const WCHAR *path, const char *name)
{
    try {
        pe::Image img(name, ReadImageFile(path, name));
        const pe::FileHeader &fh = img.fileHeader();
        if (fh.Machine != pe::kMachineArm && fh.Machine != pe::kMachineThumb)
            LoadFailed("%s is not an ARM Windows CE program (machine 0x%04x; ARM is 0x01c0 or 0x01c2)", name,
                       fh.Machine);
        if (img.is64())
            LoadFailed("%s is not a 32-bit program", name);
        const pe::OptionalHeader32 &oh = img.header();
        if (!(fh.Characteristics & pe::kFileExecutable))
            LoadFailed("%s is not an executable image", name);
        if (oh.SectionAlignment != 0x1000 || oh.SizeOfImage == 0 || oh.SizeOfImage > 0x4000000)
            LoadFailed("%s has a layout this runner cannot map (section alignment 0x%x, size 0x%x)", name,
                       oh.SectionAlignment, oh.SizeOfImage);

        LoadedImage out;
        out.preferred = oh.ImageBase;
        const uint32_t size = (oh.SizeOfImage + 0xFFF) & ~0xFFFu;
        out.base = cpu::Allocate(oh.ImageBase, size);
        if (!out.base)
            LoadFailed("no room below 2 GB for %s (%u bytes)", name, size);
        // An image without the stripped flag and without relocations holds no address
        // of itself, and may go anywhere.
        if (out.base != oh.ImageBase && (fh.Characteristics & pe::kFileRelocsStripped))
            LoadFailed("%s cannot load at 0x%08x, which is in use here, and has no base relocations", name,
                       oh.ImageBase);

        uint8_t *mem = reinterpret_cast<uint8_t *>(uintptr_t(out.base));
        memcpy(mem, img.bytes().data(), std::min<size_t>(oh.SizeOfHeaders, img.bytes().size()));
        for (const pe::SectionHeader &s : img.sections()) {
            if (uint64_t(s.VirtualAddress) + std::max(s.VirtualSize, s.SizeOfRawData) > size)
                LoadFailed("%s has a section outside its image", name);
            uint32_t raw = std::min(s.SizeOfRawData, s.VirtualSize ? s.VirtualSize : s.SizeOfRawData);
            memcpy(mem + s.VirtualAddress, img.bytes().data() + s.PointerToRawData, raw);
        }

        // Moved: every address the image holds moves with it.
        const uint32_t delta = out.base - oh.ImageBase;
        if (delta) {
            for (const pe::BaseReloc &r : img.baseRelocs()) {
                if (r.type == pe::kRelAbsolute)
                    continue;
                if (r.type != pe::kRelHighLow || uint64_t(r.rva) + 4 > size)
                    LoadFailed("%s has a base relocation of type %u at 0x%x that this runner cannot apply", name,
                               r.type, r.rva);
                uint32_t v;
                memcpy(&v, mem + r.rva, 4);
                v += delta;
                memcpy(mem + r.rva, &v, 4);
            }
        }

        for (const pe::Import &imp : img.imports()) {
            if (!SameName(imp.dll, "COREDLL.dll"))
                LoadFailed("%s imports from %s; a handheld program imports from COREDLL.dll only", name,
                           imp.dll.c_str());
            if (imp.name.empty())
                LoadFailed("%s imports COREDLL.dll's export #%u by ordinal; this runner knows exports by name",
                           name, imp.ordinal);
            int index = FindImport(imp.name);
            if (index < 0)
                LoadFailed("%s imports %s from COREDLL.dll, which this runner does not provide", name,
                           imp.name.c_str());
            uint32_t trap = kImportTraps + 4 * uint32_t(index);
            memcpy(mem + imp.slotRva, &trap, 4);
        }

        // The headers read-only, each section as its flags say; code is all that runs.
        cpu::Map(out.base, 0x1000, UC_PROT_READ, "the image's headers");
        for (const pe::SectionHeader &s : img.sections()) {
            uint32_t start = s.VirtualAddress, len = (std::max(s.VirtualSize, s.SizeOfRawData) + 0xFFF) & ~0xFFFu;
            char what[24];
            snprintf(what, sizeof(what), "section %.8s", s.Name);
            if (len)
                cpu::Map(out.base + start, len, Protection(s.Characteristics), strdup(what));
        }
        out.entry = out.base + oh.AddressOfEntryPoint;
        return out;
    } catch (const std::exception &e) {
        LoadFailed("%s", e.what());
    }
}
