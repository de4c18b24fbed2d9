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

// Appends a key's line in Wine's format; the time is in seconds since 1970.
void AppendWineKey(std::string *out, std::u16string_view path, unsigned long long time);
// Appends a value of the key last appended.
void AppendWineValue(std::string *out, std::u16string_view name, uint32_t type, std::string_view data);

#endif
