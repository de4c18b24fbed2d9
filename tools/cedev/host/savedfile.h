// The saved registry as the handheld's persistence writes it to "\Flash Disk\registry.dat":
// regedit's syntax, UTF-16LE with a byte-order mark, HKEY_LOCAL_MACHINE and
// HKEY_CURRENT_USER only, ending with the line "; End of registry". Reading is strict:
// a file that would not come back exactly is refused, with the line that shows why.
#ifndef CEDEV_HOST_SAVEDFILE_H
#define CEDEV_HOST_SAVEDFILE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The registry's own limits on names, measured under Wine 8 with RegCreateKeyExW and
// RegSetValueExW: one more character and the call fails with error 87.
constexpr size_t kMaxKeyNameLength = 256;     // one component of a key path
constexpr size_t kMaxValueNameLength = 16383;

enum class Root { Machine, User };

// Receives the keys and values of a saved registry in the order the file has them.
// Names and data are only valid during the call.
class SavedSink {
public:
    virtual ~SavedSink() = default;
    // path is below the root, its names joined by '\'; empty for the root itself.
    virtual void Key(Root root, std::u16string_view path) = 0;
    // name is empty for the default value; data holds the value's bytes.
    virtual void Value(std::u16string_view name, uint32_t type, std::string_view data) = 0;
};

// The largest saved registry cedev reads: 256 MiB. The whole registry of a target
// device saves to about 3 MB, so this is some eighty times that. A cold boot holds the
// file and a little more (twice the file when it is one long string), so this bounds
// its memory too. A larger file is refused, as a damaged one is, before it is read.
constexpr uint64_t kMaxSavedSize = 256ull << 20;

// What CheckSavedHead reads: the byte-order mark, the header line and its line break.
constexpr size_t kSavedHeadSize = 2 + 2 * 38;

struct SavedCounts {
    size_t keys = 0, values = 0;
};

// Whether a saved registry of SIZE bytes that starts with HEAD (its first
// kSavedHeadSize bytes, or all of a shorter file) can be one, before it is read whole:
// UTF-16 with a byte-order mark, the header line first, and no larger than
// kMaxSavedSize. On failure *error says why, as ReadSavedRegistry would, or that it is
// too large ("is too large: ...").
bool CheckSavedHead(std::string_view head, uint64_t size, std::string *error);

// Reads a saved registry from its bytes, handing its keys and values to sink as it
// goes. On damage returns false, and *error says where and what ("line 12: ..."), as
// one line; what sink received by then is to be thrown away.
bool ReadSavedRegistry(std::string_view bytes, SavedSink *sink, SavedCounts *counts, std::string *error);

#endif
