#include "elf32.h"
#include "bytes.h"

#include <cstring>

namespace elf32 {

File::File(const std::string &path) : path_(path)
{
    if (!ReadFileBytes(path, &bytes_))
        fail("cannot be read");
    if (bytes_.size() < sizeof(ehdr_) || memcmp(bytes_.data(), ELFMAG, SELFMAG) != 0)
        fail("is not an ELF file");
    memcpy(&ehdr_, bytes_.data(), sizeof(ehdr_));
    if (ehdr_.e_ident[EI_CLASS] != ELFCLASS32 || ehdr_.e_ident[EI_DATA] != ELFDATA2LSB || ehdr_.e_machine != EM_ARM)
        fail("is not a 32-bit little-endian ARM ELF file");
    if (ehdr_.e_shentsize != sizeof(Elf32_Shdr) ||
        uint64_t(ehdr_.e_shoff) + uint64_t(ehdr_.e_shnum) * sizeof(Elf32_Shdr) > bytes_.size())
        fail("has a section table outside the file");

    sections_.resize(ehdr_.e_shnum);
    for (size_t i = 0; i < sections_.size(); ++i) {
        memcpy(&sections_[i].hdr, bytes_.data() + ehdr_.e_shoff + i * sizeof(Elf32_Shdr), sizeof(Elf32_Shdr));
        const Elf32_Shdr &h = sections_[i].hdr;
        if (h.sh_type != SHT_NOBITS && uint64_t(h.sh_offset) + h.sh_size > bytes_.size())
            fail("has a section outside the file");
    }
    if (ehdr_.e_shstrndx >= sections_.size())
        fail("has no section names");
    for (Section &s : sections_)
        s.name = stringAt(ehdr_.e_shstrndx, s.hdr.sh_name);

    size_t symtab = 0;
    for (size_t i = 0; i < sections_.size(); ++i) {
        if (sections_[i].hdr.sh_type == SHT_SYMTAB)
            symtab = i;
    }
    if (symtab) {
        const Elf32_Shdr &h = sections_[symtab].hdr;
        if (h.sh_entsize != sizeof(Elf32_Sym) || h.sh_link >= sections_.size())
            fail("has a malformed symbol table");
        for (uint32_t off = 0; off + sizeof(Elf32_Sym) <= h.sh_size; off += sizeof(Elf32_Sym)) {
            Symbol s;
            memcpy(&s.sym, bytes_.data() + h.sh_offset + off, sizeof(Elf32_Sym));
            s.name = stringAt(h.sh_link, s.sym.st_name);
            symbols_.push_back(s);
        }
    }

    for (size_t i = 0; i < sections_.size(); ++i) {
        const Elf32_Shdr &h = sections_[i].hdr;
        if (h.sh_type == SHT_RELA)
            fail("has RELA relocations in " + sections_[i].name + "; ARM objects use REL");
        if (h.sh_type != SHT_REL)
            continue;
        if (h.sh_entsize != sizeof(Elf32_Rel) || h.sh_info >= sections_.size())
            fail("has a malformed relocation section " + sections_[i].name);
        for (uint32_t off = 0; off + sizeof(Elf32_Rel) <= h.sh_size; off += sizeof(Elf32_Rel)) {
            Elf32_Rel r;
            memcpy(&r, bytes_.data() + h.sh_offset + off, sizeof(r));
            Relocation rel{r.r_offset, ELF32_R_TYPE(r.r_info), ELF32_R_SYM(r.r_info), h.sh_info};
            if (rel.symbol >= symbols_.size())
                fail("has a relocation against a symbol that does not exist");
            relocations_.push_back(rel);
        }
    }
}

std::vector<uint8_t> File::contents(const Section &s) const
{
    if (s.hdr.sh_type == SHT_NOBITS)
        return std::vector<uint8_t>(s.hdr.sh_size, 0);
    return std::vector<uint8_t>(bytes_.begin() + s.hdr.sh_offset, bytes_.begin() + s.hdr.sh_offset + s.hdr.sh_size);
}

const Section *File::find(const std::string &name) const
{
    for (const Section &s : sections_) {
        if (s.name == name)
            return &s;
    }
    return nullptr;
}

const Symbol *File::symbol(const std::string &name) const
{
    for (const Symbol &s : symbols_) {
        if (s.name == name && s.defined())
            return &s;
    }
    return nullptr;
}

void File::fail(const std::string &why) const
{
    throw std::runtime_error(path_ + " " + why);
}

std::string File::stringAt(size_t table, uint32_t offset) const
{
    if (table >= sections_.size())
        fail("names a string table that does not exist");
    const Elf32_Shdr &h = sections_[table].hdr;
    if (offset >= h.sh_size)
        fail("has a name outside its string table");
    const char *start = reinterpret_cast<const char *>(bytes_.data() + h.sh_offset + offset);
    size_t n = strnlen(start, h.sh_size - offset);
    if (n == h.sh_size - offset)
        fail("has an unterminated name");
    return std::string(start, n);
}

}  // namespace elf32
