// The device's registry as the saved registry's text (savedreg.h): what the handheld's
// persistence writes to flash, and what the device tool exports. The Wine server hands
// each root over in one call and winedump.cpp converts it as it comes.
#ifndef COREDLL_REGTEXT_H
#define COREDLL_REGTEXT_H

#include "widebuffer.h"

// The text is made by a worker thread, which takes a while to start. A caller whose
// OUT passes the text on prepares it meanwhile: PREPARE runs before any of the text is
// made (it may give OUT its drain), and returns 0 or a Win32 error code.
struct TextTarget {
    uint32_t (*prepare)(void *context, WideBuffer *out);
    void *context;
};

// HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER as one saved registry, kSavedHead first and
// kSavedTail last, into OUT (what is left in it has not been drained). Returns 0 or a
// Win32 error code: ERROR_INVALID_DATA for a registry that holds a name the saved
// registry cannot carry.
uint32_t BuildRegistryText(WideBuffer *out, const TextTarget *target = nullptr);

#endif
