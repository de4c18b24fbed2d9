// The loader: what the handheld's loader does with an EXE. Its sections go into guest
// memory at the image's base, or elsewhere with its base relocations applied; each
// function it imports from COREDLL.dll is pointed at the runner's answer.
#include "runner.h"

#include "peimage.h"

#include <unicorn/unicorn.h>

#include <cstdio>
#include <cstring>

namespace {

// A Windows CE 5.0 process has 32 MB of address space: no image of the handheld is
// larger, and no file that is could be one.
constexpr uint32_t kMaxImageSize = 32 * 1024 * 1024;
constexpr uint32_t kPage = 0x1000;
// Far more sections than any image of the handheld has; each is a region of guest
// memory that every pointer check looks through.
constexpr unsigned kMaxSections = 32;

uint32_t PageUp(uint32_t v)
{
    return (v + kPage - 1) & ~(kPage - 1);
}

// The file's bytes, read through the device's own file system.
std::vector<uint8_t> ReadImageFile(const WCHAR *path, const char *name)
{
    HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        LoadFailed("%s cannot be opened (error %lu)", name, (unsigned long)GetLastError());
    LARGE_INTEGER size;
    if (!GetFileSizeEx(h, &size) || size.QuadPart > kMaxImageSize)
        LoadFailed("%s is not a program this runner can load (larger than %u MB)", name, kMaxImageSize >> 20);
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

// A name from the image, as a message may show it: printable ASCII, the rest as
// escapes, so that a hostile image cannot write control sequences to a terminal.
std::string Printable(const std::string &s)
{
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out.push_back(char(c));
        } else {
            char esc[8];
            snprintf(esc, sizeof(esc), "\\x%02x", c);
            out += esc;
        }
    }
    return out;
}

std::string SectionName(const pe::SectionHeader &s)
{
    return Printable(std::string(s.Name, strnlen(s.Name, sizeof(s.Name))));
}

// A section's extent in memory: its virtual size, or its file data when that is
// larger (as the loader copies it), in whole pages.
uint32_t Extent(const pe::SectionHeader &s)
{
    return PageUp(std::max(s.VirtualSize, s.SizeOfRawData));
}

// The headers and sections lie in the image, in order, on pages of their own, and the
// entry point is in code: nothing the loader copies or maps lies outside the image.
void CheckLayout(const pe::Image &img, const char *name)
{
    const pe::OptionalHeader32 &oh = img.header();
    const uint32_t size = PageUp(oh.SizeOfImage);
    if (oh.SizeOfHeaders == 0 || oh.SizeOfHeaders > oh.SizeOfImage)
        LoadFailed("%s has headers of 0x%x bytes, which do not fit its image of 0x%x bytes", name, oh.SizeOfHeaders,
                   oh.SizeOfImage);
    if (img.sections().empty() || img.sections().size() > kMaxSections)
        LoadFailed("%s has %zu sections; this runner loads images of 1 to %u", name, img.sections().size(),
                   kMaxSections);
    uint32_t end = PageUp(oh.SizeOfHeaders);
    std::string before = "its headers";
    for (const pe::SectionHeader &s : img.sections()) {
        const std::string what = SectionName(s);
        if (s.VirtualAddress % kPage || s.VirtualAddress < end)
            LoadFailed("%s has section %s at 0x%x, over %s (up to 0x%x)", name, what.c_str(), s.VirtualAddress,
                       before.c_str(), end);
        if (s.VirtualAddress > size || Extent(s) > size - s.VirtualAddress)
            LoadFailed("%s has section %s outside its image (0x%x bytes at 0x%x; the image is 0x%x bytes)", name,
                       what.c_str(), std::max(s.VirtualSize, s.SizeOfRawData), s.VirtualAddress, oh.SizeOfImage);
        end = s.VirtualAddress + Extent(s);
        before = "section " + what;
    }
    const pe::SectionHeader *code = img.sectionAt(oh.AddressOfEntryPoint);
    if (!code || !(code->Characteristics & pe::kScnExecute))
        LoadFailed("%s has its entry point at 0x%x, outside its code", name, oh.AddressOfEntryPoint);
}

// Every relocation is of a word inside the image, whether the image moves or not.
void CheckRelocations(const pe::Image &img, const char *name, uint32_t size)
{
    img.forEachBaseReloc([&](const pe::BaseReloc &r) {
        if (r.type == pe::kRelAbsolute)
            return;
        if (r.type != pe::kRelHighLow)
            LoadFailed("%s has a base relocation of type %u at 0x%x that this runner cannot apply", name, r.type,
                       r.rva);
        if (r.rva > size - 4)
            LoadFailed("%s has a base relocation at 0x%x, outside its image of 0x%x bytes", name, r.rva, size);
    });
}

// Every import is one of COREDLL.dll's that the runner answers, by name, with its
// slot in the import address table inside one of the image's sections.
std::vector<std::pair<uint32_t, int>> CheckImports(const pe::Image &img, const char *name)
{
    std::vector<std::pair<uint32_t, int>> slots;
    for (const pe::Import &imp : img.imports()) {
        if (strcasecmp(imp.dll.c_str(), "COREDLL.dll") != 0)
            LoadFailed("%s imports from %s; a handheld program imports from COREDLL.dll only", name,
                       Printable(imp.dll).c_str());
        if (imp.name.empty())
            LoadFailed("%s imports COREDLL.dll's export #%u by ordinal; this runner knows exports by name", name,
                       imp.ordinal);
        int index = FindImport(imp.name);
        if (index < 0)
            LoadFailed("%s imports %s from COREDLL.dll, which this runner does not provide", name,
                       Printable(imp.name).c_str());
        const pe::SectionHeader *s = img.sectionAt(imp.slotRva);
        if (imp.slotRva % 4 || !s || imp.slotRva - s->VirtualAddress > std::max(s->VirtualSize, s->SizeOfRawData) - 4)
            LoadFailed("%s has the import address table slot of %s at 0x%x, outside its sections", name,
                       Printable(imp.name).c_str(), imp.slotRva);
        slots.push_back({imp.slotRva, index});
    }
    return slots;
}

}  // namespace

LoadedImage LoadProgram(const WCHAR *path, const char *name)
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
        if (oh.SectionAlignment != kPage || oh.SizeOfImage == 0 || oh.SizeOfImage > kMaxImageSize)
            LoadFailed("%s has a layout this runner cannot map (section alignment 0x%x, size 0x%x)", name,
                       oh.SectionAlignment, oh.SizeOfImage);
        CheckLayout(img, name);
        const uint32_t size = PageUp(oh.SizeOfImage);
        CheckRelocations(img, name, size);
        std::vector<std::pair<uint32_t, int>> slots = CheckImports(img, name);

        LoadedImage out;
        out.preferred = oh.ImageBase;
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
            uint32_t raw = std::min(s.SizeOfRawData, s.VirtualSize ? s.VirtualSize : s.SizeOfRawData);
            memcpy(mem + s.VirtualAddress, img.bytes().data() + s.PointerToRawData, raw);
        }

        // Moved: every address the image holds moves with it.
        const uint32_t delta = out.base - oh.ImageBase;
        if (delta) {
            img.forEachBaseReloc([&](const pe::BaseReloc &r) {
                if (r.type != pe::kRelHighLow)
                    return;
                uint32_t v;
                memcpy(&v, mem + r.rva, 4);
                v += delta;
                memcpy(mem + r.rva, &v, 4);
            });
        }

        for (const auto &slot : slots) {
            uint32_t trap = (kImportTraps + 4 * uint32_t(slot.second)) | 1;
            memcpy(mem + slot.first, &trap, 4);
        }

        // The headers read-only, each section as its flags say; code is all that runs.
        cpu::Map(out.base, PageUp(oh.SizeOfHeaders), UC_PROT_READ, "the image's headers");
        for (const pe::SectionHeader &s : img.sections()) {
            if (Extent(s))
                cpu::Map(out.base + s.VirtualAddress, Extent(s), Protection(s.Characteristics),
                         strdup(("section " + SectionName(s)).c_str()));
        }
        out.entry = out.base + oh.AddressOfEntryPoint;
        return out;
    } catch (const std::exception &e) {
        LoadFailed("%s", e.what());
    }
}
