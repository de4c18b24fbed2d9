#include "peimage.h"
#include "bytes.h"

#include <algorithm>

namespace pe {

namespace {

uint32_t Get32(const std::vector<uint8_t> &b, size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

// The optional header of a 64-bit image differs from the 32-bit one in its base and
// in four sizes; these are its offsets.
constexpr size_t kPlusImageBase = 24;
constexpr size_t kPlusCheckSum = 64;
constexpr size_t kPlusRvaCount = 108;
constexpr size_t kPlusDirectories = 112;

}  // namespace

Image::Image(const std::string &path) : path_(path)
{
    if (!ReadFileBytes(path, &bytes_))
        fail("cannot be read");
    parse();
}

Image::Image(const std::string &name, std::vector<uint8_t> bytes) : path_(name), bytes_(std::move(bytes))
{
    parse();
}

void Image::parse()
{
    DosHeader dos;
    if (bytes_.size() < sizeof(dos))
        fail("is too short to be a program");
    memcpy(&dos, bytes_.data(), sizeof(dos));
    if (dos.e_magic != 0x5A4D)
        fail("is not a program (no MZ header)");
    size_t at = dos.e_lfanew;
    if (at > bytes_.size() || bytes_.size() - at < 4 + sizeof(FileHeader) + 2 || memcmp(&bytes_[at], "PE\0\0", 4))
        fail("is not a PE image (no PE signature)");
    memcpy(&fh_, &bytes_[at + 4], sizeof(fh_));
    size_t opt = at + 4 + sizeof(FileHeader);
    if (bytes_.size() - opt < fh_.SizeOfOptionalHeader)
        fail("has its optional header cut short");
    magic_ = uint16_t(bytes_[opt] | bytes_[opt + 1] << 8);
    if (magic_ == kMagicPe32) {
        if (fh_.SizeOfOptionalHeader < sizeof(OptionalHeader32))
            fail("has a short optional header");
        memcpy(&oh_, &bytes_[opt], sizeof(oh_));
        imageBase_ = oh_.ImageBase;
        checksumOffset_ = opt + offsetof(OptionalHeader32, CheckSum);
        if (oh_.NumberOfRvaAndSizes > kDirCount)
            fail("has too many data directories");
        for (uint32_t i = 0; i < oh_.NumberOfRvaAndSizes; ++i)
            dirs_[i] = oh_.Directory[i];
    } else if (magic_ == kMagicPe32Plus) {
        if (fh_.SizeOfOptionalHeader < kPlusDirectories + kDirCount * sizeof(DataDir))
            fail("has a short optional header");
        // The fields up to the image base and from the section alignment to the
        // subsystem sit where the 32-bit header has them, less BaseOfData.
        memcpy(&oh_, &bytes_[opt], offsetof(OptionalHeader32, BaseOfData));
        memcpy(&oh_.SectionAlignment, &bytes_[opt + 32], offsetof(OptionalHeader32, SizeOfStackReserve) -
                                                             offsetof(OptionalHeader32, SectionAlignment));
        imageBase_ = Get32(bytes_, opt + kPlusImageBase) | uint64_t(Get32(bytes_, opt + kPlusImageBase + 4)) << 32;
        checksumOffset_ = opt + kPlusCheckSum;
        uint32_t count = Get32(bytes_, opt + kPlusRvaCount);
        if (count > kDirCount)
            fail("has too many data directories");
        for (uint32_t i = 0; i < count; ++i)
            memcpy(&dirs_[i], &bytes_[opt + kPlusDirectories + i * sizeof(DataDir)], sizeof(DataDir));
    } else {
        fail("has an unknown optional header");
    }
    size_t table = opt + fh_.SizeOfOptionalHeader;
    if ((bytes_.size() - table) / sizeof(SectionHeader) < fh_.NumberOfSections)
        fail("has its section table cut short");
    for (unsigned i = 0; i < fh_.NumberOfSections; ++i) {
        SectionHeader s;
        memcpy(&s, &bytes_[table + i * sizeof(SectionHeader)], sizeof(s));
        if (s.SizeOfRawData && (s.PointerToRawData > bytes_.size() || bytes_.size() - s.PointerToRawData < s.SizeOfRawData))
            fail("has a section outside the file");
        sections_.push_back(s);
    }
}

void Image::fail(const std::string &why) const
{
    throw std::runtime_error(path_ + " " + why);
}

const SectionHeader *Image::sectionAt(uint32_t rva) const
{
    for (const SectionHeader &s : sections_) {
        uint32_t size = std::max(s.VirtualSize, s.SizeOfRawData);
        if (rva >= s.VirtualAddress && rva - s.VirtualAddress < size)
            return &s;
    }
    return nullptr;
}

std::vector<uint8_t> Image::read(uint32_t rva, uint32_t size) const
{
    const SectionHeader *s = sectionAt(rva);
    if (!s || uint64_t(rva - s->VirtualAddress) + size > std::max(s->VirtualSize, s->SizeOfRawData))
        fail("refers to bytes outside its sections (RVA " + std::to_string(rva) + ")");
    std::vector<uint8_t> out(size, 0);
    uint32_t off = rva - s->VirtualAddress;
    for (uint32_t i = 0; i < size && off + i < s->SizeOfRawData; ++i)
        out[i] = bytes_[s->PointerToRawData + off + i];
    return out;
}

uint32_t Image::read32(uint32_t rva) const
{
    return Get32(read(rva, 4), 0);
}

uint16_t Image::read16(uint32_t rva) const
{
    std::vector<uint8_t> b = read(rva, 2);
    return uint16_t(b[0] | b[1] << 8);
}

std::string Image::readString(uint32_t rva, uint32_t maxLength) const
{
    const SectionHeader *s = sectionAt(rva);
    if (!s)
        fail("refers to a name outside its sections (RVA " + std::to_string(rva) + ")");
    // Past the section's file data it holds zeros, which end the string.
    const uint32_t off = rva - s->VirtualAddress, size = std::max(s->VirtualSize, s->SizeOfRawData);
    std::string out;
    for (uint32_t i = off; i < size; ++i) {
        char c = i < s->SizeOfRawData ? char(bytes_[s->PointerToRawData + i]) : 0;
        if (!c)
            return out;
        if (out.size() == maxLength)
            fail("has a name longer than " + std::to_string(maxLength) + " characters");
        out.push_back(c);
    }
    fail("has a name that runs past its section");
}

std::vector<Import> Image::imports() const
{
    std::vector<Import> out;
    const DataDir &d = dirs_[kDirImport];
    if (!d.VirtualAddress)
        return out;
    const uint32_t entry = is64() ? 8 : 4;
    for (uint32_t n = 0;; ++n) {
        std::vector<uint8_t> raw = read(d.VirtualAddress + n * uint32_t(sizeof(ImportDescriptor)), sizeof(ImportDescriptor));
        ImportDescriptor desc;
        memcpy(&desc, raw.data(), sizeof(desc));
        if (!desc.Name && !desc.FirstThunk)
            break;
        if (n == kMaxImportDescriptors)
            fail("has more than " + std::to_string(kMaxImportDescriptors) + " import descriptors");
        std::string dll = readString(desc.Name);
        uint32_t lookup = desc.OriginalFirstThunk ? desc.OriginalFirstThunk : desc.FirstThunk;
        for (uint32_t i = 0;; ++i) {
            uint64_t v = read32(lookup + i * entry);
            if (is64())
                v |= uint64_t(read32(lookup + i * entry + 4)) << 32;
            if (!v)
                break;
            if (out.size() == kMaxImports)
                fail("imports more than " + std::to_string(kMaxImports) + " functions");
            Import imp;
            imp.dll = dll;
            imp.slotRva = desc.FirstThunk + i * entry;
            bool byOrdinal = is64() ? (v >> 63) != 0 : (v & kOrdinalFlag32) != 0;
            if (byOrdinal)
                imp.ordinal = uint16_t(v);
            else
                imp.name = readString(uint32_t(v) + 2);
            out.push_back(imp);
        }
    }
    return out;
}

bool Image::relocBlock(uint32_t &at, uint32_t end, uint32_t &page, std::vector<uint8_t> &entries) const
{
    if (end < 8 || at > end - 8)
        return false;
    page = read32(at);
    uint32_t size = read32(at + 4);
    if (size < 8 || size % 2 || size > end - at)
        fail("has a malformed base relocation block");
    if (size > 8)
        entries = read(at + 8, size - 8);
    else
        entries.clear();
    at += size;
    return true;
}

std::vector<BaseReloc> Image::baseRelocs() const
{
    std::vector<BaseReloc> out;
    forEachBaseReloc([&](const BaseReloc &r) { out.push_back(r); });
    return out;
}

void Image::walkResources(uint32_t dirOffset, int level, Resource &r, std::vector<Resource> &out) const
{
    const DataDir &d = dirs_[kDirResource];
    if (level > 2)
        fail("has resources nested too deeply");
    uint16_t named = read16(d.VirtualAddress + dirOffset + 12), ids = read16(d.VirtualAddress + dirOffset + 14);
    for (unsigned i = 0; i < unsigned(named) + ids; ++i) {
        uint32_t entry = d.VirtualAddress + dirOffset + sizeof(ResourceDirectory) + i * 8;
        uint32_t name = read32(entry), target = read32(entry + 4);
        bool isId = !(name & 0x80000000u);
        std::u16string str;
        if (!isId) {
            uint32_t at = d.VirtualAddress + (name & 0x7FFFFFFF);
            uint16_t len = read16(at);
            for (uint16_t k = 0; k < len; ++k)
                str.push_back(char16_t(read16(at + 2 + 2 * k)));
        }
        if (level == 0) {
            r.typeIsId = isId, r.typeId = uint16_t(name), r.typeName = str;
        } else if (level == 1) {
            r.nameIsId = isId, r.nameId = uint16_t(name), r.nameName = str;
        } else {
            r.language = uint16_t(name);
        }
        if (target & 0x80000000u) {
            walkResources(target & 0x7FFFFFFF, level + 1, r, out);
        } else {
            if (level != 2)
                fail("has a resource that is not under a type, a name and a language");
            Resource leaf = r;
            uint32_t dataRva = read32(d.VirtualAddress + target), size = read32(d.VirtualAddress + target + 4);
            leaf.codePage = read32(d.VirtualAddress + target + 8);
            leaf.data = read(dataRva, size);
            out.push_back(leaf);
        }
    }
}

std::vector<Resource> Image::resources() const
{
    std::vector<Resource> out;
    if (!dirs_[kDirResource].VirtualAddress)
        return out;
    Resource r;
    walkResources(0, 0, r, out);
    return out;
}

}  // namespace pe
