// The parts of the Portable Executable format that the handheld's images use, for
// host tools that write or read them without the Windows headers: the headers of a
// 32-bit image, its sections, imports, base relocations and resources.
#ifndef CEARM_PE_H
#define CEARM_PE_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace pe {

constexpr uint16_t kMachineArm = 0x01C0;      // ARM, ARM state only
constexpr uint16_t kMachineThumb = 0x01C2;    // ARM with Thumb interworking (ARMV4I)
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint16_t kSubsystemCeGui = 9;

constexpr uint16_t kFileExecutable = 0x0002;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint16_t kFile32BitMachine = 0x0100;

constexpr uint32_t kScnCode = 0x00000020;
constexpr uint32_t kScnInitData = 0x00000040;
constexpr uint32_t kScnUninitData = 0x00000080;
constexpr uint32_t kScnDiscardable = 0x02000000;
constexpr uint32_t kScnExecute = 0x20000000;
constexpr uint32_t kScnRead = 0x40000000;
constexpr uint32_t kScnWrite = 0x80000000;

enum DataDirectory { kDirExport = 0, kDirImport = 1, kDirResource = 2, kDirBaseReloc = 5, kDirIat = 12, kDirCount = 16 };

constexpr uint16_t kRelAbsolute = 0;  // padding entry of a base-relocation block
constexpr uint16_t kRelHighLow = 3;   // a 32-bit address

constexpr uint32_t kOrdinalFlag32 = 0x80000000u;

#pragma pack(push, 1)
struct DosHeader {
    uint16_t e_magic;  // "MZ"
    uint16_t e_cblp, e_cp, e_crlc, e_cparhdr, e_minalloc, e_maxalloc, e_ss, e_sp, e_csum, e_ip, e_cs, e_lfarlc,
        e_ovno;
    uint16_t e_res[4];
    uint16_t e_oemid, e_oeminfo;
    uint16_t e_res2[10];
    uint32_t e_lfanew;  // file offset of the PE signature
};

struct FileHeader {
    uint16_t Machine;
    uint16_t NumberOfSections;
    uint32_t TimeDateStamp;
    uint32_t PointerToSymbolTable;
    uint32_t NumberOfSymbols;
    uint16_t SizeOfOptionalHeader;
    uint16_t Characteristics;
};

struct DataDir {
    uint32_t VirtualAddress;
    uint32_t Size;
};

struct OptionalHeader32 {
    uint16_t Magic;
    uint8_t MajorLinkerVersion, MinorLinkerVersion;
    uint32_t SizeOfCode, SizeOfInitializedData, SizeOfUninitializedData;
    uint32_t AddressOfEntryPoint, BaseOfCode, BaseOfData;
    uint32_t ImageBase, SectionAlignment, FileAlignment;
    uint16_t MajorOperatingSystemVersion, MinorOperatingSystemVersion;
    uint16_t MajorImageVersion, MinorImageVersion;
    uint16_t MajorSubsystemVersion, MinorSubsystemVersion;
    uint32_t Win32VersionValue, SizeOfImage, SizeOfHeaders, CheckSum;
    uint16_t Subsystem, DllCharacteristics;
    uint32_t SizeOfStackReserve, SizeOfStackCommit, SizeOfHeapReserve, SizeOfHeapCommit;
    uint32_t LoaderFlags, NumberOfRvaAndSizes;
    DataDir Directory[kDirCount];
};

struct SectionHeader {
    char Name[8];
    uint32_t VirtualSize, VirtualAddress;
    uint32_t SizeOfRawData, PointerToRawData;
    uint32_t PointerToRelocations, PointerToLinenumbers;
    uint16_t NumberOfRelocations, NumberOfLinenumbers;
    uint32_t Characteristics;
};

struct ImportDescriptor {
    uint32_t OriginalFirstThunk;  // the import lookup table
    uint32_t TimeDateStamp, ForwarderChain;
    uint32_t Name;        // the library's name
    uint32_t FirstThunk;  // the import address table, which the loader fills
};

struct ResourceDirectory {
    uint32_t Characteristics, TimeDateStamp;
    uint16_t MajorVersion, MinorVersion;
    uint16_t NumberOfNamedEntries, NumberOfIdEntries;
};

struct ResourceDirectoryEntry {
    uint32_t Name;          // high bit: offset of a counted name; else the id
    uint32_t OffsetToData;  // high bit: offset of a subdirectory; else of a data entry
};

struct ResourceDataEntry {
    uint32_t OffsetToData;  // an RVA
    uint32_t Size, CodePage, Reserved;
};
#pragma pack(pop)

static_assert(sizeof(DosHeader) == 64, "DOS header");
static_assert(sizeof(FileHeader) == 20, "file header");
static_assert(sizeof(OptionalHeader32) == 224, "PE32 optional header");
static_assert(sizeof(SectionHeader) == 40, "section header");
static_assert(sizeof(ImportDescriptor) == 20, "import descriptor");

// The image checksum: the file's 16-bit words summed with end-around carry, the
// checksum field itself counted as zero, plus the file's length.
inline uint32_t Checksum(const std::vector<uint8_t> &file, size_t checksumOffset)
{
    uint64_t sum = 0;
    for (size_t i = 0; i < file.size(); i += 2) {
        if (i == checksumOffset || i == checksumOffset + 2)
            continue;
        uint32_t word = file[i];
        if (i + 1 < file.size())
            word |= uint32_t(file[i + 1]) << 8;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return uint32_t(sum) + uint32_t(file.size());
}

// One resource, named as the resource compiler names it: a type and a name that are
// each an id or a string, and a language.
struct Resource {
    bool typeIsId = true;
    uint16_t typeId = 0;
    std::u16string typeName;
    bool nameIsId = true;
    uint16_t nameId = 0;
    std::u16string nameName;
    uint16_t language = 0;
    uint32_t codePage = 0;
    std::vector<uint8_t> data;
};

}  // namespace pe

#endif
