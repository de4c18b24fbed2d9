// The saved registry: the file the handheld's persistence writes to
// "\Flash Disk\registry.dat" and a cold boot reads back. Its writer (COREDLL.dll's
// RegFlushKey, and cedev's reg export) and its reader (cedev-coldboot, on the host) both
// include this header, so that what one writes is what the other takes. It calls
// nothing of any system.
//
// The file is regedit's syntax, UTF-16LE with a byte-order mark, CR LF line ends:
//
//   Windows Registry Editor Version 5.00   the header line, first
//   [HKEY_LOCAL_MACHINE\path]               a key of the two saved roots, after a blank line
//   "name"="text" / @="text"                a REG_SZ; @ is the default value
//   "name"=dword:0000002a                   a REG_DWORD: eight hex digits (one to eight read)
//   "name"=hex:01,02 / hex(7):61,00,...     any other data as bytes; a backslash at the end
//                                           of a line continues them on the next
//   ; End of registry                       the last line: a file without it was cut short
//
// Names and texts stand in quotes, where only \\ \" \n \r are escapes. Nothing in the
// file deletes: it replaces the two roots whole.
#ifndef SAVEDREG_H
#define SAVEDREG_H

#include <cstddef>
#include <cstdint>

// The text around the keys. A file starts with kSavedHead and ends with kSavedTail.
#define SAVEDREG_HEADER u"Windows Registry Editor Version 5.00"
#define SAVEDREG_END_MARK u"; End of registry"
constexpr char16_t kSavedHeader[] = SAVEDREG_HEADER;
constexpr char16_t kSavedEndMark[] = SAVEDREG_END_MARK;
constexpr char16_t kSavedHead[] = u"\xfeff" SAVEDREG_HEADER u"\r\n";
constexpr char16_t kSavedTail[] = u"\r\n" SAVEDREG_END_MARK u"\r\n";

// The byte-order mark, the header line and its line break, in bytes.
constexpr size_t kSavedHeadSize = sizeof(kSavedHead) - sizeof(char16_t);

// The two roots a saved registry holds, in the order the file has them.
enum class Root { Machine, User };
constexpr Root kSavedRoots[] = {Root::Machine, Root::User};

constexpr const char16_t *SavedRootName(Root root)
{
    return root == Root::Machine ? u"HKEY_LOCAL_MACHINE" : u"HKEY_CURRENT_USER";
}

// The value types the file names by their numbers (hex(N)), as Win32 numbers them.
enum : uint32_t {
    kSavedNone = 0,
    kSavedString = 1,        // REG_SZ: written as "text" when it can be (SavedAsText)
    kSavedExpandString = 2,  // REG_EXPAND_SZ
    kSavedBinary = 3,        // REG_BINARY: written as hex: without a type
    kSavedDword = 4,         // REG_DWORD: written as dword:
    kSavedMultiString = 7,   // REG_MULTI_SZ
};

// The escapes of a quoted name or text: each unit that is written as a backslash and a
// letter, and the letter. Every other unit stands as itself.
struct SavedEscape {
    char16_t unit, letter;
};
constexpr SavedEscape kSavedEscapes[] = {{u'\\', u'\\'}, {u'"', u'"'}, {u'\n', u'n'}, {u'\r', u'r'}};

// The letter after the backslash that stands for UNIT, or 0 when UNIT stands as itself.
constexpr char16_t SavedEscapeLetter(char16_t unit)
{
    for (const SavedEscape &e : kSavedEscapes) {
        if (e.unit == unit)
            return e.letter;
    }
    return 0;
}

// The unit a backslash and LETTER stand for, or 0 when that is no escape.
constexpr char16_t SavedEscapedUnit(char16_t letter)
{
    for (const SavedEscape &e : kSavedEscapes) {
        if (e.letter == letter)
            return e.unit;
    }
    return 0;
}

// A REG_SZ is written as a quoted text when it ends in its one terminator and every
// unit before it is one of these; otherwise as hex(1):, which carries any data.
constexpr bool SavedAsText(char16_t unit)
{
    return unit >= 0x20 || unit == u'\n' || unit == u'\r' || unit == u'\t';
}

// The registry's own limits on names, in UTF-16 units, measured under Wine 8 with
// RegCreateKeyExW and RegSetValueExW: one more and the call fails with error 87.
constexpr size_t kMaxKeyNameLength = 256;  // one name of a key's path
constexpr size_t kMaxValueNameLength = 16383;

// What makes a name one that no registry holds, or that no key line can carry.
enum class NameFault {
    None,
    Empty,      // a key's path with an empty name in it
    TooLong,    // over kMaxKeyNameLength or kMaxValueNameLength
    Nul,        // a NUL unit
    LineBreak,  // a CR or LF in a key's name: a key line has no escapes
};

// The first fault of a key's path below its root (its names joined by '\'; empty for
// the root itself), from its start.
constexpr NameFault SavedKeyPathFault(const char16_t *path, size_t len)
{
    size_t name = 0;
    for (size_t i = 0; i <= len; ++i) {
        if (i == len || path[i] == u'\\') {
            if (len && name == 0)
                return NameFault::Empty;
            name = 0;
            continue;
        }
        if (path[i] == 0)
            return NameFault::Nul;
        if (path[i] == u'\r' || path[i] == u'\n')
            return NameFault::LineBreak;
        if (++name > kMaxKeyNameLength)
            return NameFault::TooLong;
    }
    return NameFault::None;
}

// A value's name may be empty (the default value) and hold anything but a NUL.
constexpr bool SavedValueNameUnit(char16_t unit)
{
    return unit != 0;
}

constexpr NameFault SavedValueNameFault(const char16_t *name, size_t len)
{
    if (len > kMaxValueNameLength)
        return NameFault::TooLong;
    for (size_t i = 0; i < len; ++i) {
        if (!SavedValueNameUnit(name[i]))
            return NameFault::Nul;
    }
    return NameFault::None;
}

// The largest saved registry a cold boot reads: 256 MiB. The whole registry of a target
// device saves to about 3 MB, so this is some eighty times that; a cold boot holds the
// file and a little more, so this bounds its memory too. A flush never writes a larger
// one, and a larger file is refused, as a damaged one is, before it is read.
constexpr uint64_t kMaxSavedSize = 256ull << 20;

#endif
