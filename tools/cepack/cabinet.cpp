// A Microsoft cabinet: a header, its folders (each a run of data blocks holding the
// folder's bytes), and its files (each a run of bytes in one folder). All integers are
// little-endian.
#include "cabinet.h"
#include "bytes.h"

#include <cstring>

namespace cabinet {

namespace {

const size_t kHeaderSize = 36, kFolderSize = 8, kFileSize = 16, kBlockSize = 8;
const size_t kMaxBlock = 32768;
const uint16_t kPrevious = 1, kNext = 2, kReserve = 4;

char Lower(char c)
{
    return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}

using Reader = ByteReader;

const char *Method(uint32_t type)
{
    switch (type & 0x0f) {
    case 1: return "MSZIP";
    case 2: return "Quantum";
    case 3: return "LZX";
    }
    return "an unknown method";
}

// A folder's bytes: its data blocks one after another, each checked.
bool ReadFolder(Reader &r, size_t index, const uint8_t *f, size_t total, std::vector<uint8_t> *out)
{
    std::string what = "folder " + std::to_string(index);
    uint32_t type = Get16(f + 6);
    if (type != 0)
        return r.Fail(what + " is compressed with " + Method(type) +
                      ", which is not supported: build the cabinet uncompressed");
    size_t at = Get32(f), blocks = Get16(f + 4);
    for (size_t b = 0; b < blocks; ++b) {
        const uint8_t *h = r.At(at, kBlockSize);
        if (!h)
            return r.Fail(what + "'s data block " + std::to_string(b) + " is outside the cabinet");
        size_t stored = Get16(h + 4), unpacked = Get16(h + 6);
        const uint8_t *d = r.At(at + kBlockSize, stored);
        if (!d)
            return r.Fail(what + "'s data block " + std::to_string(b) + " runs past the end of the cabinet");
        if (stored != unpacked || stored > kMaxBlock)
            return r.Fail(what + "'s data block " + std::to_string(b) + " holds " + std::to_string(stored) +
                          " bytes but gives " + std::to_string(unpacked) + " as their length");
        uint32_t sum = Get32(h);
        if (sum != 0 && Checksum(h + 4, 4, Checksum(d, stored, 0)) != sum)
            return r.Fail(what + "'s data block " + std::to_string(b) + " does not match its checksum");
        if (total + out->size() + stored > kMaxSize)
            return r.Fail("it holds more than " + std::to_string(kMaxSize) + " bytes");
        out->insert(out->end(), d, d + stored);
        at += kBlockSize + stored;
    }
    return true;
}

}  // namespace

uint32_t Checksum(const uint8_t *bytes, size_t n, uint32_t seed)
{
    uint32_t sum = seed, tail = 0;
    size_t i = 0;
    for (; i + 4 <= n; i += 4)
        sum ^= Get32(bytes + i);
    // The last one to three bytes, the first of them highest.
    switch (n - i) {
    case 3: tail |= uint32_t(bytes[i++]) << 16; [[fallthrough]];
    case 2: tail |= uint32_t(bytes[i++]) << 8; [[fallthrough]];
    case 1: tail |= bytes[i];
    }
    return sum ^ tail;
}

bool Read(const uint8_t *data, size_t size, std::vector<Member> *members, std::string *why)
{
    Reader r(data, size, why);
    members->clear();
    if (size < kHeaderSize || memcmp(data, "MSCF", 4))
        return r.Fail("it is not a cabinet (no MSCF header)");
    if (size > kMaxSize)
        return r.Fail("it is " + std::to_string(size) + " bytes long; at most " + std::to_string(kMaxSize) +
                      " are accepted");
    if (Get32(data + 8) != size)
        return r.Fail("its header gives its length as " + std::to_string(Get32(data + 8)) + " bytes, but it has " +
                      std::to_string(size));
    if (data[25] != 1 || data[24] != 3)
        return r.Fail("it is a cabinet of format " + std::to_string(data[25]) + "." + std::to_string(data[24]) +
                      "; only 1.3 is supported");
    size_t folders = Get16(data + 26), files = Get16(data + 28), flags = Get16(data + 30);
    if (flags & (kPrevious | kNext))
        return r.Fail("it is one of a set of cabinets, which is not supported");
    if (flags & ~size_t(kReserve))
        return r.Fail("its header has unknown flags");
    if (folders > kMaxFiles || files > kMaxFiles)
        return r.Fail("it has " + std::to_string(files) + " files in " + std::to_string(folders) +
                      " folders; at most " + std::to_string(kMaxFiles) + " of each are accepted");

    // An optional reserved area after the header, in each folder entry and in each data
    // block; the last is not supported.
    size_t at = kHeaderSize, folderReserve = 0;
    if (flags & kReserve) {
        const uint8_t *p = r.At(at, 4);
        if (!p)
            return r.Fail("its reserved area runs past the end of the cabinet");
        if (p[3] != 0)
            return r.Fail("its data blocks carry reserved areas, which are not supported");
        folderReserve = p[2];
        at += 4 + Get16(p);
    }

    std::vector<std::vector<uint8_t>> bytes(folders);
    size_t total = 0;
    for (size_t i = 0; i < folders; ++i) {
        const uint8_t *f = r.At(at + i * (kFolderSize + folderReserve), kFolderSize + folderReserve);
        if (!f)
            return r.Fail("its folder table runs past the end of the cabinet");
        if (!ReadFolder(r, i, f, total, &bytes[i]))
            return false;
        total += bytes[i].size();
    }

    at = Get32(data + 16);
    for (size_t i = 0; i < files; ++i) {
        const uint8_t *p = r.At(at, kFileSize);
        if (!p)
            return r.Fail("its file table runs past the end of the cabinet");
        uint64_t length = Get32(p), offset = Get32(p + 4);
        size_t folder = Get16(p + 8);
        size_t nameLength = 0;
        while (at + kFileSize + nameLength < size && data[at + kFileSize + nameLength] && nameLength <= 255)
            ++nameLength;
        if (nameLength > 255 || !r.At(at + kFileSize, nameLength + 1) || data[at + kFileSize + nameLength])
            return r.Fail("the name of its file " + std::to_string(i) + " is not terminated within 256 bytes");
        Member m;
        m.name.assign(reinterpret_cast<const char *>(p + kFileSize), nameLength);
        if (m.name.empty())
            return r.Fail("its file " + std::to_string(i) + " has an empty name");
        for (char c : m.name)
            if (c < 0x20 || c > 0x7e)
                return r.Fail("the name of its file " + std::to_string(i) + " is not printable ASCII");
        if (folder >= 0xfffd)
            return r.Fail(m.name + " continues from or into another cabinet, which is not supported");
        if (folder >= folders)
            return r.Fail(m.name + " is in folder " + std::to_string(folder) + ", which the cabinet does not have");
        if (offset + length > bytes[folder].size())
            return r.Fail(m.name + " runs past the end of its folder's data (" + std::to_string(offset + length) +
                          " of " + std::to_string(bytes[folder].size()) + " bytes)");
        for (const Member &other : *members) {
            bool same = other.name.size() == m.name.size();
            for (size_t c = 0; same && c < m.name.size(); ++c)
                same = Lower(other.name[c]) == Lower(m.name[c]);
            if (same)
                return r.Fail("it holds two files named " + m.name);
        }
        m.data.assign(bytes[folder].begin() + offset, bytes[folder].begin() + offset + length);
        members->push_back(m);
        at += kFileSize + nameLength + 1;
    }
    return true;
}

}  // namespace cabinet
