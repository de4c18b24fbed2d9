// A device's log, and the output of its detached programs: text that comes out of the
// device, escaped, kept within a limit. When the file reaches half its limit it becomes
// FILE.1 (replacing the one before), so that the newest part is always kept and both
// together never pass the limit.
#ifndef CEDEV_DEVLOG_H
#define CEDEV_DEVLOG_H

#include "text.h"

#include <cstdint>
#include <string>
#include <string_view>

class DevLog {
public:
    DevLog() = default;
    DevLog(const DevLog &) = delete;
    DevLog &operator=(const DevLog &) = delete;
    ~DevLog();
    bool Open(const std::string &path, uint64_t limit);
    void Close();
    // Text already escaped.
    void Write(std::string_view text);
    const std::string &Path() const { return path_; }

private:
    void Rotate();
    std::string path_;
    uint64_t limit_ = 0, size_ = 0;
    int fd_ = -1;
};

// One stream of a device process's output on its way to a log: escaped as text, a
// character or a CR LF cut by the end of one read joined with the next.
struct LogStream {
    DevLog *log = nullptr;
    std::string carry;
    void Take(std::string_view piece, bool last);
};

#endif
