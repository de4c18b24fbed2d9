// What comes out of a device is data: before it reaches a terminal or a log, control
// and format characters and bytes that are not UTF-8 are written as escapes, so that
// nothing a program inside the device names or prints can move the cursor, retitle a
// window, clear a screen, turn text around or forge a line of cedev's own output.
#ifndef CEDEV_HOST_TEXT_H
#define CEDEV_HOST_TEXT_H

#include <string>
#include <string_view>

// How a stream is passed on: as it is, or as text with its control characters escaped.
enum class TextMode {
    Raw,
    // Line breaks and tabs pass; a carriage return passes only before a line feed.
    // Other C0 controls, DEL and bytes that are not UTF-8 become \xHH, the C1 controls
    // (U+0080 to U+009F, which some terminals obey) \u00HH, and the format characters
    // (bidirectional controls, zero-width characters, separators...) \uHHHH or
    // \UHHHHHHHH, as escape.h says.
    Text,
    // As Text, but every carriage return passes: a program's own output to a terminal,
    // whose lines end in CR LF.
    Program,
};

// Escapes a stream given in pieces: what may be the start of a character or of a CR LF
// at the end of one piece is kept in *carry for the next. With last, nothing is kept.
void EscapeText(std::string_view in, TextMode mode, bool last, std::string *carry, std::string *out);

// Whether s is well-formed UTF-8: no stray or missing continuation bytes, no overlong
// forms, no surrogates, nothing above U+10FFFF.
bool IsUtf8(std::string_view s);

#endif
