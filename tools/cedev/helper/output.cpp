// What the helper's commands print: their output, one line for what they could not
// do, names and texts escaped for plain output, and JSON.
#include "helper.h"
#include "../escape.h"

#include <stdio.h>

// Where a command's output goes: the process's own stdout and stderr, or, while the
// helper serves cedev, the answer being made.
static std::string *s_out, *s_err;

void CaptureOutput(std::string *out, std::string *err)
{
    s_out = out;
    s_err = err;
}

void Out(const std::string &s)
{
    if (s_out)
        s_out->append(s);
    else
        fwrite(s.data(), 1, s.size(), stdout);
}

void OutBytes(const void *data, size_t size)
{
    Out(std::string(static_cast<const char *>(data), size));
}

// Control and format characters as escapes, the way plain output shows them (see
// escape.h). A name or text from the device then stays on its line, moves no cursor
// and shows every character it holds.
std::string Printable(const std::wstring &s)
{
    static_assert(sizeof(wchar_t) == sizeof(char16_t), "the device's strings are UTF-16");
    return PrintableUtf16(reinterpret_cast<const char16_t *>(s.data()), s.size());
}

int Fail(const std::wstring &message)
{
    std::string line = "cedev: " + Printable(message) + "\n";
    if (s_err) {
        s_err->append(line);
        return kExitFail;
    }
    fflush(stdout);
    fwrite(line.data(), 1, line.size(), stderr);
    return kExitFail;
}

int Usage(const std::wstring &message)
{
    Fail(message);
    return kExitUsage;
}

std::string JsonString(const std::wstring &s)
{
    std::string out = "\"";
    for (wchar_t c : s) {
        if (c == L'"' || c == L'\\') {
            out += '\\';
            out += (char)c;
        } else if (c >= 0x20 && c < 0x7f) {
            out += (char)c;
        } else if (c == L'\n') {
            out += "\\n";
        } else if (c == L'\r') {
            out += "\\r";
        } else if (c == L'\t') {
            out += "\\t";
        } else {
            char buf[8];
            snprintf(buf, sizeof(buf), "\\u%04x", (unsigned)(c & 0xffff));
            out += buf;
        }
    }
    return out + "\"";
}

JsonObject &JsonObject::Raw(const char *key, const std::string &json)
{
    if (!m_fields.empty())
        m_fields += ",";
    m_fields += JsonString(Wide(key)) + ":" + json;
    return *this;
}
