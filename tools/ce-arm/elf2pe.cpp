// elf2pe: the last steps of the handheld's build, which no packaged linker does for an
// ARM Windows CE image.
//
//   elf2pe imports --allow LIST --dll NAME -o IMPORTS.s OBJECT...
//       The functions the objects call but do not define are imported from NAME. Each
//       must be on LIST (the library's exports the program may use); for each one this
//       writes an ARM-state thunk that jumps through its import address table slot.
//
//   elf2pe image --res RESOURCES.res --dll NAME -o IMAGE.exe LINKED.elf
//       Writes the handheld's PE image from the linked ELF file (linked at the image's
//       base with --emit-relocs): its sections, the import directory for the slots the
//       thunks use, the resources from the resource compiler's .res file, and base
//       relocations for every absolute address the linker wrote.
#include "elf32.h"
#include "pe.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

namespace {

[[noreturn]] void Fail(const std::string &why)
{
    throw std::runtime_error(why);
}

constexpr uint32_t kFileAlignment = 0x200;
constexpr uint32_t kSectionAlignment = 0x1000;
const char kImpPrefix[] = "__imp_";

uint32_t AlignUp(uint32_t v, uint32_t a)
{
    return (v + a - 1) & ~(a - 1);
}

void Put16(std::vector<uint8_t> &b, size_t at, uint16_t v)
{
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}

void Put32(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = uint8_t(v >> (8 * i));
}

void Append16(std::vector<uint8_t> &b, uint16_t v)
{
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}

void Append32(std::vector<uint8_t> &b, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(uint8_t(v >> (8 * i)));
}

void Pad(std::vector<uint8_t> &b, size_t alignment)
{
    while (b.size() % alignment)
        b.push_back(0);
}

std::vector<uint8_t> ReadAll(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        Fail(path + " cannot be read");
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
        if (!out)
            Fail("cannot write " + tmp);
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0)
        Fail("cannot write " + path);
}

// ---------------------------------------------------------------------------
// imports

// The export list: one name per line, then why the library is known to export it.
// Blank lines and lines starting with # are comments.
std::set<std::string> ReadExportList(const std::string &path)
{
    std::ifstream in(path);
    if (!in)
        Fail(path + " cannot be read");
    std::set<std::string> names;
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        std::istringstream words(line);
        std::string name, reason;
        if (!(words >> name) || name[0] == '#')
            continue;
        if (!(words >> reason))
            Fail(path + ":" + std::to_string(n) + ": " + name + " has no reason given for being an export");
        if (!names.insert(name).second)
            Fail(path + ":" + std::to_string(n) + ": " + name + " is listed twice");
    }
    return names;
}

bool ValidCName(const std::string &s)
{
    if (s.empty() || isdigit(static_cast<unsigned char>(s[0])))
        return false;
    for (char c : s) {
        if (!isalnum(static_cast<unsigned char>(c)) && c != '_')
            return false;
    }
    return true;
}

int Imports(const std::string &allowPath, const std::string &dll, const std::string &outPath,
            const std::vector<std::string> &objects)
{
    std::set<std::string> defined, wanted;
    for (const std::string &path : objects) {
        elf32::File obj(path);
        if (obj.header().e_type != ET_REL)
            Fail(path + " is not an object file");
        for (const elf32::Symbol &s : obj.symbols()) {
            if (s.name.empty() || s.bind() == STB_LOCAL)
                continue;
            if (s.defined())
                defined.insert(s.name);
            else
                wanted.insert(s.name);
        }
    }
    std::set<std::string> allowed = ReadExportList(allowPath);
    std::vector<std::string> imports, refused;
    for (const std::string &name : wanted) {
        if (defined.count(name))
            continue;
        if (allowed.count(name) && ValidCName(name))
            imports.push_back(name);
        else
            refused.push_back(name);
    }
    if (!refused.empty()) {
        std::string list;
        for (const std::string &name : refused)
            list += (list.empty() ? "" : ", ") + name;
        Fail("the program calls " + list + ", which " + (refused.size() == 1 ? "is" : "are") + " not in " +
             allowPath + " (the " + dll + " exports it may import)");
    }

    std::ostringstream s;
    s << "@ Generated by elf2pe: calls of the functions imported from " << dll << ".\n"
      << "@ Each thunk loads its import address table slot, which the loader fills,\n"
      << "@ and jumps there with BX, so the library's code may be ARM or Thumb.\n"
      << "\t.syntax unified\n\t.arm\n\t.section .text.imports,\"ax\",%progbits\n\t.p2align 2\n";
    for (const std::string &name : imports) {
        s << "\t.globl " << name << "\n\t.type " << name << ",%function\n"
          << name << ":\n\tldr ip, 1f\n\tldr ip, [ip]\n\tbx ip\n1:\t.word " << kImpPrefix << name << "\n";
    }
    s << "\n@ The import address table: one slot per function, then a zero.\n"
      << "\t.section .idata.iat,\"aw\",%progbits\n\t.p2align 2\n";
    for (const std::string &name : imports)
        s << "\t.globl " << kImpPrefix << name << "\n" << kImpPrefix << name << ":\t.word 0\n";
    s << "\t.word 0\n";
    std::string text = s.str();
    WriteAll(outPath, std::vector<uint8_t>(text.begin(), text.end()));
    return 0;
}

// ---------------------------------------------------------------------------
// resources

// Reads one resource id or name of a .res entry: 0xFFFF and an id, or a string.
void ReadResName(const std::vector<uint8_t> &b, size_t &at, size_t end, bool &isId, uint16_t &id,
                 std::u16string &name)
{
    auto word = [&](size_t p) -> uint16_t {
        if (p + 2 > end)
            Fail("the .res file has a resource header cut short");
        return uint16_t(b[p] | (b[p + 1] << 8));
    };
    if (word(at) == 0xFFFF) {
        isId = true;
        id = word(at + 2);
        at += 4;
        return;
    }
    isId = false;
    for (uint16_t c; (c = word(at)) != 0; at += 2)
        name.push_back(char16_t(c));
    at += 2;
}

std::vector<pe::Resource> ReadRes(const std::string &path)
{
    std::vector<uint8_t> b = ReadAll(path);
    std::vector<pe::Resource> out;
    size_t at = 0;
    while (at + 8 <= b.size()) {
        uint32_t dataSize = b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
        uint32_t headerSize = b[at + 4] | b[at + 5] << 8 | b[at + 6] << 16 | uint32_t(b[at + 7]) << 24;
        if (headerSize < 32 || uint64_t(at) + headerSize + dataSize > b.size())
            Fail(path + " is not a resource file (an entry runs past its end)");
        size_t hdrEnd = at + headerSize;
        size_t p = at + 8;
        pe::Resource r;
        ReadResName(b, p, hdrEnd, r.typeIsId, r.typeId, r.typeName);
        ReadResName(b, p, hdrEnd, r.nameIsId, r.nameId, r.nameName);
        p = at + AlignUp(uint32_t(p - at), 4);
        if (p + 16 > hdrEnd)
            Fail(path + " is not a resource file (a header is cut short)");
        r.language = uint16_t(b[p + 6] | b[p + 7] << 8);
        // The first entry of every .res file is an empty one that marks the format.
        if (!(dataSize == 0 && r.typeIsId && r.typeId == 0)) {
            r.data.assign(b.begin() + hdrEnd, b.begin() + hdrEnd + dataSize);
            out.push_back(r);
        }
        at = AlignUp(uint32_t(hdrEnd + dataSize), 4);
    }
    return out;
}

// Names sort before ids; names by their upper-case code units, ids by value.
struct ResKey {
    bool isId;
    uint16_t id;
    std::u16string name;
    bool operator<(const ResKey &o) const
    {
        if (isId != o.isId)
            return !isId;
        if (isId)
            return id < o.id;
        auto up = [](char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c; };
        return std::lexicographical_compare(name.begin(), name.end(), o.name.begin(), o.name.end(),
                                            [&](char16_t a, char16_t c) { return up(a) < up(c); });
    }
    bool operator==(const ResKey &o) const { return isId == o.isId && id == o.id && name == o.name; }
};

// The .rsrc section for resources at RVA: the three levels of directories (type, name,
// language), then the names, the data entries and the data.
std::vector<uint8_t> BuildRsrc(const std::vector<pe::Resource> &resources, uint32_t rva)
{
    typedef std::map<uint16_t, const pe::Resource *> Langs;
    typedef std::map<ResKey, Langs> Names;
    std::map<ResKey, Names> types;
    for (const pe::Resource &r : resources) {
        Langs &langs = types[ResKey{r.typeIsId, r.typeId, r.typeName}][ResKey{r.nameIsId, r.nameId, r.nameName}];
        if (langs.count(r.language))
            Fail("the resources hold one resource twice");
        langs[r.language] = &r;
    }

    // Sizes first, so that every offset is known when the tables are written.
    auto dirSize = [](size_t entries) { return uint32_t(sizeof(pe::ResourceDirectory) + entries * 8); };
    uint32_t dirs = dirSize(types.size());
    size_t leaves = 0;
    std::vector<std::u16string> strings;
    for (auto &t : types) {
        dirs += dirSize(t.second.size());
        if (!t.first.isId)
            strings.push_back(t.first.name);
        for (auto &n : t.second) {
            dirs += dirSize(n.second.size());
            leaves += n.second.size();
            if (!n.first.isId)
                strings.push_back(n.first.name);
        }
    }
    std::map<std::u16string, uint32_t> stringAt;
    uint32_t stringsSize = 0;
    for (const std::u16string &s : strings) {
        if (!stringAt.count(s)) {
            stringAt[s] = dirs + stringsSize;
            stringsSize += uint32_t(2 + 2 * s.size());
        }
    }
    uint32_t entriesAt = AlignUp(dirs + stringsSize, 4);
    uint32_t dataAt = entriesAt + uint32_t(leaves * sizeof(pe::ResourceDataEntry));

    std::vector<uint8_t> out(dataAt, 0);
    uint32_t nextDir = 0, nextEntry = entriesAt;
    auto writeDir = [&](uint32_t at, uint16_t named, uint16_t ids) {
        Put16(out, at + 12, named);
        Put16(out, at + 14, ids);
    };
    auto keyWord = [&](const ResKey &k) { return k.isId ? uint32_t(k.id) : (0x80000000u | stringAt[k.name]); };
    auto counts = [](const auto &m, uint16_t &named, uint16_t &ids) {
        named = ids = 0;
        for (auto &e : m)
            ++(e.first.isId ? ids : named);
    };

    // Places a directory of COUNT entries next, and points the entry at SLOT, named
    // KEY, to it; returns the directory's first entry.
    auto openDir = [&](uint32_t &slot, uint32_t key, size_t count, uint16_t named, uint16_t ids) {
        uint32_t dir = nextDir;
        writeDir(dir, named, ids);
        nextDir += dirSize(count);
        Put32(out, slot, key);
        Put32(out, slot + 4, 0x80000000u | dir);
        slot += 8;
        return uint32_t(dir + sizeof(pe::ResourceDirectory));
    };

    uint16_t named, ids;
    counts(types, named, ids);
    writeDir(0, named, ids);
    nextDir += dirSize(types.size());
    uint32_t typeSlot = sizeof(pe::ResourceDirectory);
    for (auto &t : types) {
        counts(t.second, named, ids);
        uint32_t nameSlot = openDir(typeSlot, keyWord(t.first), t.second.size(), named, ids);
        for (auto &n : t.second) {
            uint32_t langSlot = openDir(nameSlot, keyWord(n.first), n.second.size(), 0, uint16_t(n.second.size()));
            for (auto &l : n.second) {
                Put32(out, langSlot, l.first);
                Put32(out, langSlot + 4, nextEntry);
                langSlot += 8;
                // The data itself goes at the end, each block on an 8-byte boundary.
                Pad(out, 8);
                Put32(out, nextEntry, rva + uint32_t(out.size()));
                Put32(out, nextEntry + 4, uint32_t(l.second->data.size()));
                Put32(out, nextEntry + 8, l.second->codePage);
                nextEntry += sizeof(pe::ResourceDataEntry);
                out.insert(out.end(), l.second->data.begin(), l.second->data.end());
            }
        }
    }
    for (auto &s : stringAt) {
        Put16(out, s.second, uint16_t(s.first.size()));
        for (size_t i = 0; i < s.first.size(); ++i)
            Put16(out, s.second + 2 + 2 * i, uint16_t(s.first[i]));
    }
    return out;
}

// ---------------------------------------------------------------------------
// image

struct OutSection {
    std::string name;
    uint32_t rva;
    uint32_t virtualSize;
    uint32_t characteristics;
    std::vector<uint8_t> data;  // as in the file; shorter than virtualSize for zeros
};

// What each of the linker script's output sections becomes in the image.
bool SectionKind(const std::string &name, uint32_t &characteristics)
{
    static const struct {
        const char *name;
        uint32_t characteristics;
    } kinds[] = {
        {".text", pe::kScnCode | pe::kScnExecute | pe::kScnRead},
        {".rdata", pe::kScnInitData | pe::kScnRead},
        {".data", pe::kScnInitData | pe::kScnRead | pe::kScnWrite},
        {".idata", pe::kScnInitData | pe::kScnRead | pe::kScnWrite},
    };
    for (const auto &k : kinds) {
        if (name == k.name) {
            characteristics = k.characteristics;
            return true;
        }
    }
    return false;
}

// Relocation types whose target is PC-relative: the image may move without them
// changing.
bool PcRelative(unsigned type)
{
    switch (type) {
    case R_ARM_NONE:
    case R_ARM_PC24:
    case R_ARM_REL32:
    case R_ARM_CALL:
    case R_ARM_JUMP24:
    case R_ARM_V4BX:
    case R_ARM_PREL31:
        return true;
    }
    return false;
}

std::string Hex(uint32_t v)
{
    char buf[16];
    snprintf(buf, sizeof(buf), "0x%x", v);
    return buf;
}

// The .reloc section: blocks of 4 KB pages, each a list of 12-bit offsets of the
// addresses in that page, padded to a 4-byte boundary.
std::vector<uint8_t> BuildReloc(const std::set<uint32_t> &rvas)
{
    std::vector<uint8_t> out;
    auto it = rvas.begin();
    while (it != rvas.end()) {
        uint32_t page = *it & ~0xFFFu;
        size_t start = out.size();
        Append32(out, page);
        Append32(out, 0);
        for (; it != rvas.end() && (*it & ~0xFFFu) == page; ++it)
            Append16(out, uint16_t(pe::kRelHighLow << 12 | (*it & 0xFFF)));
        if ((out.size() - start) % 4)
            Append16(out, pe::kRelAbsolute << 12);
        Put32(out, start + 4, uint32_t(out.size() - start));
    }
    return out;
}

int Image(const std::string &resPath, const std::string &dll, const std::string &outPath, const std::string &elfPath)
{
    elf32::File elf(elfPath);
    if (elf.header().e_type != ET_EXEC)
        Fail(elfPath + " is not a linked executable");
    const elf32::Symbol *baseSym = elf.symbol("__ImageBase");
    if (!baseSym || baseSym->sym.st_shndx != SHN_ABS)
        Fail(elfPath + " does not define __ImageBase (the linker script gives the image's base)");
    const uint32_t base = baseSym->sym.st_value;
    if (base % 0x10000)
        Fail("the image base " + Hex(base) + " is not a multiple of 64 KB");

    // The sections, in address order, each on its own page after the headers' page.
    std::vector<OutSection> sections;
    std::vector<size_t> elfIndex;
    for (size_t i = 0; i < elf.sections().size(); ++i) {
        const elf32::Section &s = elf.sections()[i];
        if (!(s.hdr.sh_flags & SHF_ALLOC) || s.hdr.sh_size == 0)
            continue;
        uint32_t characteristics;
        if (!SectionKind(s.name, characteristics)) {
            if (s.name == ".init_array" || s.name == ".ctors" || s.name == ".preinit_array")
                Fail(elfPath + " has static constructors (" + s.name +
                     "): nothing would run them, as the image has no C run-time");
            Fail(elfPath + " has a section " + s.name + " that the image has no place for");
        }
        if (s.hdr.sh_addr < base + kSectionAlignment || s.hdr.sh_addr % kSectionAlignment)
            Fail("section " + s.name + " is not page-aligned above the headers (at " + Hex(s.hdr.sh_addr) + ")");
        OutSection o{s.name, s.hdr.sh_addr - base, s.hdr.sh_size, characteristics, elf.contents(s)};
        // A section of zeros only (uninitialised data) takes no room in the file.
        if (s.hdr.sh_type == SHT_NOBITS) {
            o.data.clear();
            o.characteristics = (characteristics & ~pe::kScnInitData) | pe::kScnUninitData;
        }
        if (!sections.empty() && o.rva < sections.back().rva + AlignUp(sections.back().virtualSize, kSectionAlignment))
            Fail("section " + s.name + " overlaps the one before it");
        sections.push_back(o);
        elfIndex.push_back(i);
    }
    if (sections.empty() || sections[0].name != ".text")
        Fail(elfPath + " has no code");
    if (elf.header().e_entry < base + sections[0].rva ||
        elf.header().e_entry >= base + sections[0].rva + sections[0].virtualSize || (elf.header().e_entry & 3))
        Fail("the entry point " + Hex(elf.header().e_entry) + " is not ARM code in .text");

    // Base relocations: every absolute address the linker wrote into the image.
    std::set<uint32_t> relocs;
    for (const elf32::Relocation &r : elf.relocations()) {
        const elf32::Section &target = elf.sections()[r.section];
        if (!(target.hdr.sh_flags & SHF_ALLOC))
            continue;
        if (PcRelative(r.type))
            continue;
        if (r.type != R_ARM_ABS32 && r.type != R_ARM_TARGET1)
            Fail("relocation type " + std::to_string(r.type) + " at " + Hex(r.offset) +
                 " cannot be expressed in the image");
        const elf32::Symbol &sym = elf.symbols()[r.symbol];
        if (sym.sym.st_shndx == SHN_ABS)
            continue;  // a constant, not an address in the image
        if (r.offset % 4 || r.offset < base)
            Fail("an address at " + Hex(r.offset) + " is not on a 4-byte boundary in the image");
        relocs.insert(r.offset - base);
    }

    // The import directory, after the address table the thunks use, in .idata.
    std::vector<std::pair<uint32_t, std::string>> slots;
    for (const elf32::Symbol &s : elf.symbols()) {
        if (s.defined() && s.name.compare(0, sizeof(kImpPrefix) - 1, kImpPrefix) == 0)
            slots.push_back({s.sym.st_value - base, s.name.substr(sizeof(kImpPrefix) - 1)});
    }
    std::sort(slots.begin(), slots.end());
    OutSection *idata = nullptr;
    for (OutSection &s : sections) {
        if (s.name == ".idata")
            idata = &s;
    }
    uint32_t importDir = 0, iatRva = 0, iatSize = 0;
    if (!slots.empty()) {
        if (!idata || idata != &sections.back())
            Fail("the import address table is not in .idata, the last section");
        iatRva = idata->rva;
        iatSize = uint32_t(4 * (slots.size() + 1));
        for (size_t i = 0; i < slots.size(); ++i) {
            if (slots[i].first != iatRva + 4 * i)
                Fail("the import address table is not one run of slots from the start of .idata");
        }
        if (idata->data.size() != iatSize)
            Fail(".idata holds more than the import address table");
        std::vector<uint8_t> &d = idata->data;
        importDir = iatRva + uint32_t(d.size());
        d.resize(d.size() + 2 * sizeof(pe::ImportDescriptor), 0);
        uint32_t lookup = iatRva + uint32_t(d.size());
        d.resize(d.size() + iatSize, 0);
        uint32_t dllName = iatRva + uint32_t(d.size());
        d.insert(d.end(), dll.begin(), dll.end());
        d.push_back(0);
        Pad(d, 2);
        for (size_t i = 0; i < slots.size(); ++i) {
            uint32_t hintName = iatRva + uint32_t(d.size());
            Append16(d, 0);
            d.insert(d.end(), slots[i].second.begin(), slots[i].second.end());
            d.push_back(0);
            Pad(d, 2);
            // The lookup table keeps the names; the address table starts out the same
            // and the loader writes the functions' addresses over it.
            Put32(d, lookup - iatRva + 4 * i, hintName);
            Put32(d, 4 * i, hintName);
        }
        size_t desc = importDir - iatRva;
        Put32(d, desc + 0, lookup);
        Put32(d, desc + 12, dllName);
        Put32(d, desc + 16, iatRva);
        Pad(d, 4);
        idata->virtualSize = uint32_t(d.size());
    }

    uint32_t next = AlignUp(sections.back().rva + sections.back().virtualSize, kSectionAlignment);
    std::vector<pe::Resource> resources = ReadRes(resPath);
    uint32_t rsrcRva = 0, rsrcSize = 0;
    if (!resources.empty()) {
        OutSection rsrc{".rsrc", next, 0, pe::kScnInitData | pe::kScnRead, BuildRsrc(resources, next)};
        rsrc.virtualSize = uint32_t(rsrc.data.size());
        rsrcRva = rsrc.rva;
        rsrcSize = rsrc.virtualSize;
        sections.push_back(rsrc);
        next = AlignUp(next + rsrc.virtualSize, kSectionAlignment);
    }
    uint32_t relocRva = 0, relocSize = 0;
    if (!relocs.empty()) {
        OutSection reloc{".reloc", next, 0, pe::kScnInitData | pe::kScnRead | pe::kScnDiscardable,
                         BuildReloc(relocs)};
        reloc.virtualSize = uint32_t(reloc.data.size());
        relocRva = reloc.rva;
        relocSize = reloc.virtualSize;
        sections.push_back(reloc);
        next = AlignUp(next + reloc.virtualSize, kSectionAlignment);
    }

    // Headers: a DOS header with no stub, the PE signature, the file header, the
    // optional header and the section table, together on the first page.
    const uint32_t peAt = sizeof(pe::DosHeader);
    const uint32_t tableAt = peAt + 4 + sizeof(pe::FileHeader) + sizeof(pe::OptionalHeader32);
    const uint32_t headersSize = AlignUp(tableAt + uint32_t(sections.size() * sizeof(pe::SectionHeader)), kFileAlignment);
    if (headersSize > kSectionAlignment)
        Fail("the headers do not fit their page");

    pe::DosHeader dos{};
    dos.e_magic = 0x5A4D;
    dos.e_lfanew = peAt;
    pe::FileHeader fh{};
    fh.Machine = pe::kMachineThumb;
    fh.NumberOfSections = uint16_t(sections.size());
    fh.SizeOfOptionalHeader = sizeof(pe::OptionalHeader32);
    fh.Characteristics = pe::kFileExecutable | pe::kFile32BitMachine;
    pe::OptionalHeader32 oh{};
    oh.Magic = pe::kMagicPe32;
    oh.AddressOfEntryPoint = elf.header().e_entry - base;
    oh.ImageBase = base;
    oh.SectionAlignment = kSectionAlignment;
    oh.FileAlignment = kFileAlignment;
    oh.MajorOperatingSystemVersion = 5;
    oh.MajorSubsystemVersion = 5;
    oh.SizeOfImage = next;
    oh.SizeOfHeaders = headersSize;
    oh.Subsystem = pe::kSubsystemCeGui;
    oh.SizeOfStackReserve = 0x10000;
    oh.SizeOfStackCommit = 0x1000;
    oh.SizeOfHeapReserve = 0x100000;
    oh.SizeOfHeapCommit = 0x1000;
    oh.NumberOfRvaAndSizes = pe::kDirCount;
    oh.Directory[pe::kDirImport] = {importDir, importDir ? uint32_t(2 * sizeof(pe::ImportDescriptor)) : 0};
    oh.Directory[pe::kDirIat] = {iatRva, iatSize};
    oh.Directory[pe::kDirResource] = {rsrcRva, rsrcSize};
    oh.Directory[pe::kDirBaseReloc] = {relocRva, relocSize};

    std::vector<pe::SectionHeader> table;
    uint32_t fileAt = headersSize;
    for (const OutSection &s : sections) {
        pe::SectionHeader h{};
        memcpy(h.Name, s.name.data(), std::min<size_t>(8, s.name.size()));
        h.VirtualSize = s.virtualSize;
        h.VirtualAddress = s.rva;
        h.SizeOfRawData = AlignUp(uint32_t(s.data.size()), kFileAlignment);
        h.PointerToRawData = h.SizeOfRawData ? fileAt : 0;
        h.Characteristics = s.characteristics;
        fileAt += h.SizeOfRawData;
        if (s.characteristics & pe::kScnCode) {
            oh.SizeOfCode += h.SizeOfRawData;
            if (!oh.BaseOfCode)
                oh.BaseOfCode = s.rva;
        } else {
            if (s.characteristics & pe::kScnUninitData)
                oh.SizeOfUninitializedData += AlignUp(s.virtualSize, kFileAlignment);
            else
                oh.SizeOfInitializedData += h.SizeOfRawData;
            if (!oh.BaseOfData)
                oh.BaseOfData = s.rva;
        }
        table.push_back(h);
    }

    std::vector<uint8_t> file(fileAt, 0);
    memcpy(file.data(), &dos, sizeof(dos));
    memcpy(file.data() + peAt, "PE\0\0", 4);
    memcpy(file.data() + peAt + 4, &fh, sizeof(fh));
    memcpy(file.data() + peAt + 4 + sizeof(fh), &oh, sizeof(oh));
    for (size_t i = 0; i < sections.size(); ++i) {
        memcpy(file.data() + tableAt + i * sizeof(pe::SectionHeader), &table[i], sizeof(pe::SectionHeader));
        if (!sections[i].data.empty())
            memcpy(file.data() + table[i].PointerToRawData, sections[i].data.data(), sections[i].data.size());
    }
    const size_t checksumAt = peAt + 4 + sizeof(fh) + offsetof(pe::OptionalHeader32, CheckSum);
    Put32(file, checksumAt, pe::Checksum(file, checksumAt));
    WriteAll(outPath, file);
    return 0;
}

int Usage()
{
    fprintf(stderr,
            "usage: elf2pe imports --allow LIST --dll NAME -o IMPORTS.s OBJECT...\n"
            "       elf2pe image --res RESOURCES.res --dll NAME -o IMAGE.exe LINKED.elf\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return Usage();
    std::string mode = argv[1], allow, dll, res, out;
    std::vector<std::string> inputs;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if ((a == "--allow" || a == "--dll" || a == "--res" || a == "-o") && i + 1 < argc) {
            std::string &v = a == "--allow" ? allow : a == "--dll" ? dll : a == "--res" ? res : out;
            v = argv[++i];
        } else if (!a.empty() && a[0] == '-') {
            return Usage();
        } else {
            inputs.push_back(a);
        }
    }
    try {
        if (mode == "imports" && !allow.empty() && !dll.empty() && !out.empty() && !inputs.empty())
            return Imports(allow, dll, out, inputs);
        if (mode == "image" && !res.empty() && !dll.empty() && !out.empty() && inputs.size() == 1)
            return Image(res, dll, out, inputs[0]);
    } catch (const std::exception &e) {
        fprintf(stderr, "elf2pe: %s\n", e.what());
        return 1;
    }
    return Usage();
}
