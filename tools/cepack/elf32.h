// A reader of 32-bit little-endian ARM ELF files, the compiler's and linker's output
// for the handheld: sections, symbols and REL relocations, every offset checked
// against the file before it is used.
#ifndef CEARM_ELF32_H
#define CEARM_ELF32_H

#include <elf.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace elf32 {

struct Section {
    std::string name;
    Elf32_Shdr hdr;
};

struct Symbol {
    std::string name;
    Elf32_Sym sym;
    unsigned bind() const { return ELF32_ST_BIND(sym.st_info); }
    unsigned type() const { return ELF32_ST_TYPE(sym.st_info); }
    bool defined() const { return sym.st_shndx != SHN_UNDEF; }
};

struct Relocation {
    uint32_t offset;   // a virtual address in a linked file, a section offset in an object
    unsigned type;     // R_ARM_*
    uint32_t symbol;   // index into symbols
    size_t section;    // the section the relocation applies to
};

class File {
public:
    // Reads PATH; throws std::runtime_error naming the file and the fault.
    explicit File(const std::string &path);

    const std::string &path() const { return path_; }
    const Elf32_Ehdr &header() const { return ehdr_; }
    const std::vector<Section> &sections() const { return sections_; }
    const std::vector<Symbol> &symbols() const { return symbols_; }
    const std::vector<Relocation> &relocations() const { return relocations_; }

    // The bytes of a section that has them in the file.
    std::vector<uint8_t> contents(const Section &s) const;
    // The section named NAME, or null.
    const Section *find(const std::string &name) const;
    // A global or local symbol by name, or null.
    const Symbol *symbol(const std::string &name) const;

private:
    [[noreturn]] void fail(const std::string &why) const;
    std::string stringAt(size_t table, uint32_t offset) const;

    std::string path_;
    std::vector<uint8_t> bytes_;
    Elf32_Ehdr ehdr_{};
    std::vector<Section> sections_;
    std::vector<Symbol> symbols_;
    std::vector<Relocation> relocations_;
};

}  // namespace elf32

#endif
