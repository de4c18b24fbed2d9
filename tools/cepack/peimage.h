// A reader of PE images (32-bit, and 64-bit for comparison with the desktop build):
// headers, sections, imports, base relocations and resources, with every RVA and
// size checked against the file before it is followed.
#ifndef CEARM_PEIMAGE_H
#define CEARM_PEIMAGE_H

#include "pe.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace pe {

struct Import {
    std::string dll;
    std::string name;       // empty when imported by ordinal
    uint16_t ordinal = 0;
    uint32_t slotRva = 0;   // its slot in the import address table
};

struct BaseReloc {
    uint32_t rva;
    uint16_t type;
};

// What a reader takes from an image before it calls the image malformed: enough for
// any program of the handheld many times over, little enough that a hostile image
// cannot make the reader use much memory or time.
constexpr uint32_t kMaxImportDescriptors = 64;  // libraries, or runs of one library
constexpr uint32_t kMaxImports = 4096;          // functions, over all libraries
constexpr uint32_t kMaxNameLength = 255;        // of a library's or a function's name

class Image {
public:
    // Reads PATH; throws std::runtime_error naming the file and the fault.
    explicit Image(const std::string &path);
    // The image whose file holds BYTES; NAME names it in errors.
    Image(const std::string &name, std::vector<uint8_t> bytes);

    const std::string &path() const { return path_; }
    const std::vector<uint8_t> &bytes() const { return bytes_; }
    const FileHeader &fileHeader() const { return fh_; }
    bool is64() const { return magic_ == kMagicPe32Plus; }
    uint16_t magic() const { return magic_; }
    // The 32-bit optional header; for a 64-bit image only the fields both share.
    const OptionalHeader32 &header() const { return oh_; }
    uint64_t imageBase() const { return imageBase_; }
    const DataDir &directory(DataDirectory d) const { return dirs_[d]; }
    const std::vector<SectionHeader> &sections() const { return sections_; }
    size_t checksumOffset() const { return checksumOffset_; }

    // The section that holds RVA, or null.
    const SectionHeader *sectionAt(uint32_t rva) const;
    // SIZE bytes at RVA, zeros past a section's file data; throws when they are not
    // all inside one section.
    std::vector<uint8_t> read(uint32_t rva, uint32_t size) const;
    uint32_t read32(uint32_t rva) const;
    uint16_t read16(uint32_t rva) const;
    // The string at RVA, of at most MAXLENGTH characters before its terminator.
    std::string readString(uint32_t rva, uint32_t maxLength = kMaxNameLength) const;

    // Throws when there are more than kMaxImportDescriptors descriptors or kMaxImports
    // functions, or a name longer than kMaxNameLength.
    std::vector<Import> imports() const;
    std::vector<BaseReloc> baseRelocs() const;
    // Each base relocation in turn, without gathering them: an image's relocation
    // table may be as large as the image.
    template <class F> void forEachBaseReloc(F visit) const;
    std::vector<Resource> resources() const;

private:
    void parse();
    [[noreturn]] void fail(const std::string &why) const;
    // The bytes of one base-relocation block at AT, at most END; its page and entries.
    bool relocBlock(uint32_t &at, uint32_t end, uint32_t &page, std::vector<uint8_t> &entries) const;
    void walkResources(uint32_t dirOffset, int level, Resource &r, std::vector<Resource> &out) const;

    std::string path_;
    std::vector<uint8_t> bytes_;
    FileHeader fh_{};
    uint16_t magic_ = 0;
    OptionalHeader32 oh_{};
    uint64_t imageBase_ = 0;
    DataDir dirs_[kDirCount]{};
    std::vector<SectionHeader> sections_;
    size_t checksumOffset_ = 0;
};

template <class F> void Image::forEachBaseReloc(F visit) const
{
    const DataDir &d = dirs_[kDirBaseReloc];
    uint32_t at = d.VirtualAddress, page = 0;
    const uint32_t end = uint64_t(d.VirtualAddress) + d.Size > 0xFFFFFFFFu ? 0xFFFFFFFFu : d.VirtualAddress + d.Size;
    std::vector<uint8_t> entries;
    while (relocBlock(at, end, page, entries)) {
        for (size_t i = 0; i + 1 < entries.size(); i += 2) {
            uint16_t e = uint16_t(entries[i] | entries[i + 1] << 8);
            visit(BaseReloc{page + (e & 0xFFFu), uint16_t(e >> 12)});
        }
    }
}

}  // namespace pe

#endif
