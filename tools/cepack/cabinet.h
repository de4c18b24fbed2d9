// Reading a Microsoft cabinet whole, with no system calls, for the host's cabinet tool
// and the simulated handheld's installer alike. Only what install cabinets use is
// accepted: one cabinet (no set spanning several), stored uncompressed. Everything is
// checked before anything is returned: the header, each folder's data blocks and their
// checksums, and each file's place in its folder.
#ifndef CE_CABINET_H
#define CE_CABINET_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cabinet {

// At most this many files and folders, and this many bytes in all.
const size_t kMaxFiles = 1000;
const size_t kMaxSize = 64 << 20;

struct Member {
    std::string name;
    std::vector<uint8_t> data;
};

// The cabinet's files in their order. False with the reason in *why.
bool Read(const uint8_t *data, size_t size, std::vector<Member> *members, std::string *why);

// The checksum of a data block as the cabinet format defines it, over BYTES starting
// from SEED.
uint32_t Checksum(const uint8_t *bytes, size_t n, uint32_t seed);

}  // namespace cabinet

#endif
