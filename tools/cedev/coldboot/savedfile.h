// Reading the saved registry, as the handheld's persistence writes it to
// "\Flash Disk\registry.dat" (its format, limits and rules: savedreg.h, which the
// writer shares). Reading is strict: a file that would not come back exactly is
// refused, with the line that shows why.
#ifndef CEDEV_HOST_SAVEDFILE_H
#define CEDEV_HOST_SAVEDFILE_H

#include "savedreg.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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

struct SavedCounts {
    size_t keys = 0, values = 0;
};

// Whether a saved registry of SIZE bytes that starts with HEAD (its first
// kSavedHeadSize bytes: the byte-order mark, the header line and its line break; or
// all of a shorter file) can be one, before it is read whole:
// UTF-16 with a byte-order mark, the header line first, and no larger than
// kMaxSavedSize. On failure *error says why, as ReadSavedRegistry would, or that it is
// too large ("is too large: ...").
bool CheckSavedHead(std::string_view head, uint64_t size, std::string *error);

// Reads a saved registry from its bytes, handing its keys and values to sink as it
// goes. On damage returns false, and *error says where and what ("line 12: ..."), as
// one line; what sink received by then is to be thrown away.
bool ReadSavedRegistry(std::string_view bytes, SavedSink *sink, SavedCounts *counts, std::string *error);

#endif
