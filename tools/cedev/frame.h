// The framing of what cedev's keeper and the resident helper inside a device say to
// each other (and cedev's commands to the keeper): lengths are 4 bytes, little-endian;
// a frame is its length, then its body; a body is fields, each its length and its
// bytes. Only the standard library: the helper, a Windows program, includes it too.
#ifndef CEDEV_FRAME_H
#define CEDEV_FRAME_H

#include <cstdint>
#include <string>
#include <vector>

inline void PutU32(std::string *s, uint32_t v)
{
    char b[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    s->append(b, 4);
}

inline uint32_t GetU32(const char *p)
{
    const unsigned char *u = reinterpret_cast<const unsigned char *>(p);
    return u[0] | u[1] << 8 | u[2] << 16 | static_cast<uint32_t>(u[3]) << 24;
}

inline std::string JoinFields(const std::vector<std::string> &fields)
{
    std::string body;
    for (const std::string &f : fields) {
        PutU32(&body, f.size());
        body += f;
    }
    return body;
}

// The fields of a frame's body; false when they do not fill it exactly.
inline bool SplitFields(const std::string &body, std::vector<std::string> *fields)
{
    fields->clear();
    for (size_t at = 0; at < body.size();) {
        if (body.size() - at < 4)
            return false;
        uint32_t n = GetU32(body.data() + at);
        at += 4;
        if (n > body.size() - at)
            return false;
        fields->push_back(body.substr(at, n));
        at += n;
    }
    return true;
}

// A whole frame of these fields: its length, then its body.
inline std::string Frame(const std::vector<std::string> &fields)
{
    std::string body = JoinFields(fields), frame;
    PutU32(&frame, body.size());
    return frame + body;
}

#endif
