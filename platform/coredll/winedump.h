// Converting the Wine server's dump of one registry root (its own registry format, as
// NtSaveKey writes it) into the saved registry's lines (savedreg.h). It calls the
// system for nothing but memory, so that it builds for the host as well, where the
// saved registry's reader is tested against it.
#ifndef COREDLL_WINEDUMP_H
#define COREDLL_WINEDUMP_H

#include "savedreg.h"
#include "widebuffer.h"

#include <cstddef>

// What a dump is read in at a time.
constexpr size_t kDumpPiece = 64 * 1024;

// Fills BUFFER with up to SIZE more bytes of a dump; *GOT is 0 at its end. Returns
// false when it cannot be read.
typedef bool (*DumpRead)(void *context, char *buffer, size_t size, size_t *got);

// Converts one root's dump into the saved registry's key and value lines, each key
// prefixed with rootName and a blank line. Symbolic-link keys are left out: they are
// re-created by the device itself. Returns false on input it cannot read, and for a
// name that no saved registry carries or no registry holds (SavedKeyPathFault,
// SavedValueNameFault).
bool ConvertWineDump(const char *dump, size_t size, const char16_t *rootName, WideBuffer *out);
// The same, the dump read piece by piece from READ.
bool ConvertWineDumpFrom(DumpRead read, void *context, const char16_t *rootName, WideBuffer *out);

// Decodes a key path of Wine's registry text, from after its '[' up to its unescaped
// ']', into out as the Wine server reads it; false when the line holds no such end.
bool DecodeWineKeyPath(const char *p, const char *end, WideBuffer *out);

#endif
