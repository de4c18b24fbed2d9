#include "devlog.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

DevLog::~DevLog()
{
    Close();
}

bool DevLog::Open(const std::string &path, uint64_t limit)
{
    Close();
    path_ = path;
    limit_ = limit < 4096 ? 4096 : limit;
    fd_ = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    struct stat st;
    size_ = fd_ >= 0 && fstat(fd_, &st) == 0 ? st.st_size : 0;
    if (size_ >= limit_ / 2)
        Rotate();
    return fd_ >= 0;
}

void DevLog::Close()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

void DevLog::Rotate()
{
    if (fd_ >= 0)
        close(fd_);
    rename(path_.c_str(), (path_ + ".1").c_str());
    fd_ = open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    size_ = 0;
}

void DevLog::Write(std::string_view text)
{
    while (!text.empty() && fd_ >= 0) {
        uint64_t room = limit_ / 2 - size_;
        if (room == 0) {
            Rotate();
            continue;
        }
        size_t n = text.size() < room ? text.size() : room;
        ssize_t w = write(fd_, text.data(), n);
        if (w <= 0)
            return;
        size_ += w;
        text.remove_prefix(w);
    }
}

void LogStream::Take(std::string_view piece, bool last)
{
    std::string out;
    EscapeText(piece, TextMode::Text, last, &carry, &out);
    if (log)
        log->Write(out);
}
