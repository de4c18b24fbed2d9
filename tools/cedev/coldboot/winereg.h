// Wine's own registry files (system.reg, user.reg, userdef.reg in the device folder),
// which the Wine server loads when a device starts:
//
//   WINE REGISTRY Version 2
//   ;; All keys relative to REGISTRY\\Machine
//   #arch=win64
//   [Software\\Key] 1700000000          path escaped, then the time in seconds
//   #link                                a symbolic-link key
//   "name"="text" / str(2):"..." / str(7):"..."   terminated strings, C escapes
//   "name"=dword:0000002a / hex:... / hex(b):...  everything else
#ifndef CEDEV_HOST_WINEREG_H
#define CEDEV_HOST_WINEREG_H

#include "savedfile.h"

#include <string>
#include <string_view>
#include <vector>

// A symbolic-link key of a Wine registry file, as its text stands there.
struct WineLink {
    std::u16string path;    // unescaped, names joined by '\\'
    std::string_view text;  // from its "[" line up to the next key's
};

struct WineLinks {
    std::string_view header;  // everything before the first key
    std::vector<WineLink> links;
};

// Reads the header and the links of a Wine registry file. The views point into text,
// which must outlive them. Returns false when it is not such a file.
bool ReadWineLinks(std::string_view text, WineLinks *out);

// Text in Wine's format as it is written: held whole, or with a drain handed over in
// pieces of about kPiece bytes as it grows, so that a large registry is never whole in
// memory, not even one large value of it.
class WineText {
public:
    static constexpr size_t kPiece = 1 << 20;
    // Takes a piece; false when it cannot (the text then stays failed).
    using Drain = bool (*)(void *context, std::string_view piece);

    WineText() = default;
    WineText(Drain drain, void *context) : drain_(drain), context_(context) {}
    WineText(const WineText &) = delete;
    WineText &operator=(const WineText &) = delete;

    // What has not been handed over: with no drain, the whole text.
    std::string &Held() { return held_; }
    // Hands over what is held once it is a piece or more.
    void Pass()
    {
        if (drain_ && held_.size() >= kPiece)
            Hand();
    }
    // Hands over the rest; false when any piece could not be taken.
    bool Finish()
    {
        if (drain_ && !held_.empty())
            Hand();
        return !failed_;
    }
    bool Failed() const { return failed_; }

private:
    void Hand()
    {
        if (!failed_ && !drain_(context_, held_))
            failed_ = true;
        held_.clear();
    }

    std::string held_;
    Drain drain_ = nullptr;
    void *context_ = nullptr;
    bool failed_ = false;
};

// Appends a key's line in Wine's format; the time is in seconds since 1970.
void AppendWineKey(WineText *out, std::u16string_view path, unsigned long long time);
// Appends a value of the key last appended. DATA holds the value's bytes, in any
// alignment.
void AppendWineValue(WineText *out, std::u16string_view name, uint32_t type, std::string_view data);

#endif
