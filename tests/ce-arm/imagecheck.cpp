// imagecheck: what can be proven about the handheld's image without the handheld.
//
//   imagecheck IMAGE.exe LINKED.elf DESKTOP.exe EXPORTS
//
// IMAGE.exe is the handheld's image and LINKED.elf the linker's output it was written
// from (its mapping symbols tell code from literal pools); DESKTOP.exe is the x86-64
// build of the same sources; EXPORTS the list of COREDLL exports the image may import.
// Each check prints one line, "ok" or "FAIL" and what it found; any failure exits 1.
#include "elf32.h"
#include "exportlist.h"
#include "peimage.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace {

int g_failures;

void Report(bool ok, const std::string &what)
{
    printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    if (!ok)
        ++g_failures;
}

std::string Hex(uint64_t v)
{
    char buf[24];
    snprintf(buf, sizeof(buf), "0x%llx", (unsigned long long)v);
    return buf;
}

// Why an ARM-state instruction word is not one an ARMv4T core runs as the handheld
// needs it, or "" when it is. Returns that a return must go through BX: on ARMv4T a
// load into the PC never switches to Thumb, so only BX returns to a Thumb caller (the
// core library's code may be Thumb); code built for ARMv5 returns by loading the PC.
std::string V4TProblem(uint32_t w)
{
    if ((w >> 28) == 0xF)
        return "an unconditional-space instruction (ARMv5 and later)";
    switch ((w >> 25) & 7) {
    case 0:
        if ((w & 0x90) == 0x90) {
            if (((w >> 5) & 3) == 0) {
                if ((w & 0x0FC000F0) == 0x00000090)
                    return "";  // MUL, MLA
                if ((w & 0x0F8000F0) == 0x00800090)
                    return "";  // UMULL, UMLAL, SMULL, SMLAL
                if ((w & 0x0FB00FF0) == 0x01000090)
                    return "";  // SWP, SWPB
                return "a multiply or exclusive access ARMv4T lacks";
            }
            if (!(w & (1u << 20)) && ((w >> 5) & 3) >= 2)
                return "LDRD or STRD (ARMv5TE)";
            if (!(w & (1u << 22)) && (w & 0xF00))
                return "an undefined halfword transfer";
            return "";  // LDRH, STRH, LDRSB, LDRSH
        }
        if ((w & 0x01900000) == 0x01000000) {
            if ((w & 0x0FBF0FFF) == 0x010F0000)
                return "";  // MRS
            if ((w & 0x0FB0FFF0) == 0x0120F000)
                return "";  // MSR from a register
            if ((w & 0x0FFFFFF0) == 0x012FFF10)
                return "";  // BX
            if ((w & 0x0FFFFFF0) == 0x012FFF30)
                return "BLX (ARMv5)";
            if ((w & 0x0FFF0FF0) == 0x016F0F10)
                return "CLZ (ARMv5)";
            return "a miscellaneous instruction ARMv4T lacks (ARMv5 and later)";
        }
        if ((w & 0x0FFFFFFF) == 0x01A0F00E)
            return "a return by MOV PC, LR, which does not return to Thumb callers on ARMv4T";
        return "";  // data processing
    case 1:
        if ((w & 0x01900000) == 0x01000000) {
            if ((w & 0x0FB0F000) == 0x0320F000 && (w & 0x000F0000))
                return "";  // MSR of an immediate
            return "MOVW, MOVT or a hint (ARMv6 and later)";
        }
        return "";
    case 2:
    case 3:
        if (((w >> 25) & 7) == 3 && (w & 0x10))
            return "a media instruction (ARMv6) or an undefined one";
        if ((w & (1u << 20)) && ((w >> 12) & 0xF) == 15 && ((w >> 16) & 0xF) == 13)
            return "a return by loading the PC from the stack, which does not return to Thumb callers on ARMv4T";
        return "";
    case 4:
        if ((w & (1u << 20)) && (w & (1u << 15)))
            return "a return by LDM into the PC, which does not return to Thumb callers on ARMv4T";
        return "";
    case 5:
        return "";  // B, BL
    case 6:
        return "a coprocessor load or store (the handheld has no coprocessor for it)";
    default:
        return (w & (1u << 24)) ? "" : "a coprocessor instruction (the handheld has no coprocessor for it)";
    }
}

void CheckHeaders(const pe::Image &img, const pe::Image &desktop)
{
    const pe::FileHeader &fh = img.fileHeader();
    const pe::OptionalHeader32 &oh = img.header();
    Report(fh.Machine == pe::kMachineThumb, "header: machine " + Hex(fh.Machine) + " (ARM with Thumb interworking is 0x1c2)");
    Report(img.magic() == pe::kMagicPe32, "header: a 32-bit image (magic " + Hex(img.magic()) + ")");
    Report(oh.Subsystem == pe::kSubsystemCeGui && oh.MajorSubsystemVersion == 5 && oh.MinorSubsystemVersion == 0,
           "header: subsystem " + std::to_string(oh.Subsystem) + " version " + std::to_string(oh.MajorSubsystemVersion) +
               "." + std::to_string(oh.MinorSubsystemVersion) + " (Windows CE GUI 5.0 is 9, 5.0)");
    Report(img.imageBase() == 0x10000 && oh.SectionAlignment == 0x1000,
           "header: base " + Hex(img.imageBase()) + ", section alignment " + Hex(oh.SectionAlignment) +
               " (0x10000, 0x1000)");
    bool relocs = !(fh.Characteristics & pe::kFileRelocsStripped) && img.directory(pe::kDirBaseReloc).Size > 0;
    Report(relocs, "header: base relocations kept");
    uint32_t sum = pe::Checksum(img.bytes(), img.checksumOffset());
    Report(oh.CheckSum == 0 || oh.CheckSum == sum,
           "header: checksum " + Hex(oh.CheckSum) + " (the file's is " + Hex(sum) + ")");

    // Sections in order, page-aligned, not overlapping, and the image's size their end.
    bool ordered = true;
    uint32_t end = oh.SectionAlignment;
    for (const pe::SectionHeader &s : img.sections()) {
        ordered = ordered && s.VirtualAddress >= end && s.VirtualAddress % oh.SectionAlignment == 0;
        end = (s.VirtualAddress + s.VirtualSize + oh.SectionAlignment - 1) & ~(oh.SectionAlignment - 1);
    }
    Report(ordered && oh.SizeOfImage == end, "header: sections page-aligned in order, image size " + Hex(oh.SizeOfImage));
    const pe::SectionHeader *entry = img.sectionAt(oh.AddressOfEntryPoint);
    Report(entry && (entry->Characteristics & pe::kScnExecute) && oh.AddressOfEntryPoint % 4 == 0,
           "header: entry point " + Hex(oh.AddressOfEntryPoint) + " is ARM code in an executable section");
    Report(img.bytes().size() <= desktop.bytes().size(),
           "size: " + std::to_string(img.bytes().size()) + " bytes, the desktop build " +
               std::to_string(desktop.bytes().size()));
}

void CheckImports(const pe::Image &img, const std::set<std::string> &allowed)
{
    std::vector<pe::Import> imports = img.imports();
    std::string others, ordinals, unlisted, readOnly;
    for (const pe::Import &imp : imports) {
        if (imp.dll != "COREDLL.dll" && others.find(imp.dll) == std::string::npos)
            others += " " + imp.dll;
        if (imp.name.empty())
            ordinals += " #" + std::to_string(imp.ordinal);
        else if (!allowed.count(imp.name))
            unlisted += " " + imp.name;
        const pe::SectionHeader *s = img.sectionAt(imp.slotRva);
        if (!s || !(s->Characteristics & pe::kScnWrite))
            readOnly += " " + imp.name;
    }
    Report(!imports.empty() && others.empty(), "imports: " + std::to_string(imports.size()) +
                                                   " functions, all from COREDLL.dll" + (others.empty() ? "" : "; also from" + others));
    Report(ordinals.empty(), "imports: all by name" + (ordinals.empty() ? "" : "; by ordinal:" + ordinals));
    Report(unlisted.empty(), "imports: all on the CE 5.0 export list" + (unlisted.empty() ? "" : "; not on it:" + unlisted));
    Report(readOnly.empty(), "imports: address table writable by the loader" + (readOnly.empty() ? "" : "; not:" + readOnly));
}

std::string ResourceName(const pe::Resource &r)
{
    auto part = [](bool isId, uint16_t id, const std::u16string &s) {
        if (isId)
            return std::to_string(id);
        std::string out = "\"";
        for (char16_t c : s)
            out += c < 128 ? char(c) : '?';
        return out + "\"";
    };
    return part(r.typeIsId, r.typeId, r.typeName) + "/" + part(r.nameIsId, r.nameId, r.nameName) + "/" +
           std::to_string(r.language);
}

void CheckResources(const pe::Image &img, const pe::Image &desktop)
{
    std::map<std::string, std::vector<uint8_t>> mine, theirs;
    for (const pe::Resource &r : img.resources())
        mine[ResourceName(r)] = r.data;
    for (const pe::Resource &r : desktop.resources())
        theirs[ResourceName(r)] = r.data;
    std::string diff;
    for (auto &t : theirs) {
        if (!mine.count(t.first))
            diff += " missing " + t.first + ";";
        else if (mine[t.first] != t.second)
            diff += " differs " + t.first + ";";
    }
    for (auto &m : mine) {
        if (!theirs.count(m.first))
            diff += " extra " + m.first + ";";
    }
    Report(!theirs.empty() && diff.empty(), "resources: " + std::to_string(mine.size()) +
                                                " the same as the desktop build's" + (diff.empty() ? "" : ":" + diff));
}

// Code regions of the ELF's .text by its mapping symbols: $a ARM, $t Thumb, $d data.
struct Region {
    uint32_t start;
    char kind;
};

std::vector<Region> MappingRegions(const elf32::File &elf, size_t textIndex)
{
    std::vector<Region> regions;
    for (const elf32::Symbol &s : elf.symbols()) {
        if (s.sym.st_shndx == textIndex && s.name.size() >= 2 && s.name[0] == '$' &&
            (s.name[1] == 'a' || s.name[1] == 't' || s.name[1] == 'd') && (s.name.size() == 2 || s.name[2] == '.'))
            regions.push_back({s.sym.st_value, s.name[1]});
    }
    std::sort(regions.begin(), regions.end(), [](const Region &a, const Region &b) { return a.start < b.start; });
    return regions;
}

void CheckCode(const pe::Image &img, const elf32::File &elf)
{
    const elf32::Section *text = elf.find(".text");
    if (!text) {
        Report(false, "code: the ELF file has no .text");
        return;
    }
    size_t textIndex = size_t(text - &elf.sections()[0]);
    const uint32_t base = uint32_t(img.imageBase());
    std::vector<uint8_t> code = elf.contents(*text);
    // The ELF file is the one the image was written from: same code at the same place.
    bool same = true;
    for (const char *name : {".text", ".rdata"}) {
        const elf32::Section *s = elf.find(name);
        if (s && s->hdr.sh_size)
            same = same && img.read(s->hdr.sh_addr - base, s->hdr.sh_size) == elf.contents(*s);
    }
    Report(same && elf.header().e_entry - base == img.header().AddressOfEntryPoint,
           "code: the image's code and constants are the linked file's");

    std::vector<Region> regions = MappingRegions(elf, textIndex);
    std::string thumb, bad;
    size_t words = 0, pools = 0, badCount = 0;
    uint32_t start = text->hdr.sh_addr, end = start + text->hdr.sh_size;
    if (regions.empty() || regions[0].start != start)
        bad = " no mapping symbol at the start of .text;";
    for (size_t i = 0; i < regions.size(); ++i) {
        uint32_t from = regions[i].start, to = i + 1 < regions.size() ? regions[i + 1].start : end;
        if (regions[i].kind == 't') {
            thumb += " " + Hex(from);
            continue;
        }
        if (regions[i].kind == 'd') {
            pools += (to - from) / 4;
            continue;
        }
        for (uint32_t a = from; a + 4 <= to; a += 4) {
            const uint8_t *p = &code[a - start];
            uint32_t w = p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
            ++words;
            std::string why = V4TProblem(w);
            if (!why.empty() && ++badCount <= 5)
                bad += " " + Hex(a) + " " + Hex(w) + ": " + why + ";";
        }
    }
    Report(thumb.empty(), "code: ARM state only" + (thumb.empty() ? "" : "; Thumb code at" + thumb));
    Report(bad.empty(), "code: " + std::to_string(words) + " instructions, all ARMv4T, returns through BX (" +
                            std::to_string(pools) + " literal words)" + (bad.empty() ? "" : ";" + bad) +
                            (badCount > 5 ? " and " + std::to_string(badCount - 5) + " more" : ""));
    bool ctors = false;
    for (const char *name : {".init_array", ".preinit_array", ".ctors"})
        ctors = ctors || (elf.find(name) && elf.find(name)->hdr.sh_size);
    Report(!ctors, "code: no static constructors");
}

// Every word that holds an address in the image has a base relocation, and every base
// relocation is of such a word: data sections and literal pools, word by word.
void CheckRelocations(const pe::Image &img, const elf32::File &elf)
{
    const uint32_t base = uint32_t(img.imageBase()), size = img.header().SizeOfImage;
    std::set<uint32_t> relocs;
    std::string bad;
    for (const pe::BaseReloc &r : img.baseRelocs()) {
        if (r.type == pe::kRelAbsolute)
            continue;
        if (r.type != pe::kRelHighLow) {
            bad += " type " + std::to_string(r.type) + " at " + Hex(r.rva) + ";";
            continue;
        }
        uint32_t v = img.read32(r.rva);
        if (v < base || v - base >= size)
            bad += " " + Hex(r.rva) + " holds " + Hex(v) + ", no image address;";
        relocs.insert(r.rva);
    }
    std::vector<std::pair<uint32_t, uint32_t>> data;  // RVA ranges of data words
    for (const pe::SectionHeader &s : img.sections()) {
        if (!(s.Characteristics & pe::kScnExecute) && memcmp(s.Name, ".rsrc", 6) && memcmp(s.Name, ".reloc", 7))
            data.push_back({s.VirtualAddress, s.VirtualAddress + std::min(s.VirtualSize, s.SizeOfRawData)});
    }
    if (const elf32::Section *text = elf.find(".text")) {
        std::vector<Region> regions = MappingRegions(elf, size_t(text - &elf.sections()[0]));
        for (size_t i = 0; i < regions.size(); ++i) {
            if (regions[i].kind == 'd') {
                uint32_t to = i + 1 < regions.size() ? regions[i + 1].start : text->hdr.sh_addr + text->hdr.sh_size;
                data.push_back({regions[i].start - base, to - base});
            }
        }
    }
    size_t addresses = 0;
    for (auto &range : data) {
        for (uint32_t rva = (range.first + 3) & ~3u; rva + 4 <= range.second; rva += 4) {
            uint32_t v = img.read32(rva);
            if (v < base || v - base >= size)
                continue;
            ++addresses;
            if (!relocs.count(rva))
                bad += " " + Hex(rva) + " holds " + Hex(v) + " without a relocation;";
        }
    }
    Report(!relocs.empty() && bad.empty(), "relocations: " + std::to_string(relocs.size()) + " cover the " +
                                               std::to_string(addresses) + " image addresses in data and literal pools" +
                                               (bad.empty() ? "" : ";" + bad));
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: imagecheck IMAGE.exe LINKED.elf DESKTOP.exe EXPORTS\n");
        return 2;
    }
    try {
        pe::Image img(argv[1]);
        elf32::File elf(argv[2]);
        pe::Image desktop(argv[3]);
        CheckHeaders(img, desktop);
        std::vector<std::string> list = ReadExportList(argv[4]);
        CheckImports(img, std::set<std::string>(list.begin(), list.end()));
        CheckResources(img, desktop);
        CheckCode(img, elf);
        CheckRelocations(img, elf);
    } catch (const std::exception &e) {
        fprintf(stderr, "imagecheck: %s\n", e.what());
        return 1;
    }
    return g_failures ? 1 : 0;
}
