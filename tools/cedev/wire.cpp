#include "wire.h"
#include "device.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const std::string kEmpty;
const size_t kMaxFds = 8;

}  // namespace

const std::string &Message::operator[](size_t i) const
{
    return i < fields.size() ? fields[i] : kEmpty;
}

bool WriteAll(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= w;
    }
    return true;
}

bool SendMessage(int socket, const Message &m)
{
    std::string frame = Frame(m.fields);
    size_t done = 0;
    bool fdsSent = m.fds.empty();
    while (done < frame.size()) {
        iovec iov = {const_cast<char *>(frame.data() + done), frame.size() - done};
        msghdr mh = {};
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        char control[CMSG_SPACE(sizeof(int) * kMaxFds)] = {};
        if (!fdsSent) {
            size_t n = m.fds.size() > kMaxFds ? kMaxFds : m.fds.size();
            mh.msg_control = control;
            mh.msg_controllen = CMSG_SPACE(sizeof(int) * n);
            cmsghdr *c = CMSG_FIRSTHDR(&mh);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int) * n);
            memcpy(CMSG_DATA(c), m.fds.data(), sizeof(int) * n);
        }
        ssize_t w = sendmsg(socket, &mh, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno == EAGAIN) {
            pollfd p = {socket, POLLOUT, 0};
            poll(&p, 1, 1000);
            continue;
        }
        if (w <= 0)
            return false;
        fdsSent = true;
        done += w;
    }
    return true;
}

bool MessageReader::Feed(int socket)
{
    char buf[65536];
    iovec iov = {buf, sizeof(buf)};
    msghdr mh = {};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    char control[CMSG_SPACE(sizeof(int) * kMaxFds)];
    mh.msg_control = control;
    mh.msg_controllen = sizeof(control);
    ssize_t n;
    do {
        n = recvmsg(socket, &mh, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno == EAGAIN)
        return true;
    for (cmsghdr *c = n >= 0 ? CMSG_FIRSTHDR(&mh) : nullptr; c; c = CMSG_NXTHDR(&mh, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
            size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            const int *got = reinterpret_cast<const int *>(CMSG_DATA(c));
            fds_.insert(fds_.end(), got, got + count);
        }
    }
    if (n <= 0)
        return false;
    buffer_.append(buf, n);
    return true;
}

bool MessageReader::Take(Message *m)
{
    if (broken_ || buffer_.size() < 4)
        return false;
    uint32_t size = GetU32(buffer_.data());
    if (size > kMaxMessage) {
        broken_ = true;
        return false;
    }
    if (buffer_.size() - 4 < size)
        return false;
    if (!SplitFields(buffer_.substr(4, size), &m->fields)) {
        broken_ = true;
        return false;
    }
    buffer_.erase(0, 4 + size);
    m->fds = fds_;
    fds_.clear();
    return true;
}

bool ReceiveMessage(int socket, MessageReader *reader, Message *m, int timeoutMs, bool *timedOut)
{
    long long deadline = timeoutMs < 0 ? 0 : NowMs() + timeoutMs;
    if (timedOut)
        *timedOut = false;
    for (;;) {
        if (reader->Take(m))
            return true;
        if (reader->Broken())
            return false;
        int wait = -1;
        if (timeoutMs >= 0) {
            long long left = deadline - NowMs();
            wait = left > 0 ? static_cast<int>(left) : 0;
        }
        pollfd p = {socket, POLLIN, 0};
        int r = poll(&p, 1, wait);
        if (r < 0 && errno != EINTR)
            return false;
        if (r == 0 && timeoutMs >= 0 && NowMs() >= deadline) {
            if (timedOut)
                *timedOut = true;
            return false;
        }
        if (r > 0 && !reader->Feed(socket))
            return reader->Take(m);
    }
}

void CloseAll(std::vector<int> *fds)
{
    for (int fd : *fds)
        close(fd);
    fds->clear();
}
