#include "attached.h"
#include "cli.h"
#include "device.h"
#include "keeper.h"
#include "wire.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

// After the process has ended, what it started may still hold its output; that is read
// for this long at most.
const int kDrainMs = 2000;

TextMode ModeFor(const std::string &name, int fd)
{
    if (name == "text")
        return TextMode::Text;
    if (name == "tty")
        return isatty(fd) ? TextMode::Program : TextMode::Raw;
    return TextMode::Raw;
}

struct Stream {
    int from = -1, to = -1;
    TextMode mode = TextMode::Raw;
    std::string carry, line;
    bool broken = false;
    bool wine = false;
    Session *session = nullptr;
    std::string *wineReason = nullptr;

    void Emit(std::string_view piece, bool last)
    {
        if (to < 0)
            return;
        std::string out;
        EscapeText(piece, mode, last, &carry, &out);
        if (!broken && !out.empty() && !WriteAll(to, out.data(), out.size()))
            broken = true;
    }

    void Take(const char *p, size_t n, bool last)
    {
        if (!wine) {
            Emit(std::string_view(p, n), last);
            return;
        }
        line.append(p, n);
        size_t start = 0, nl;
        while ((nl = line.find('\n', start)) != std::string::npos || (last && start < line.size())) {
            size_t end = nl == std::string::npos ? line.size() : nl + 1;
            std::string l = line.substr(start, end - start);
            if (IsWineLine(l)) {
                std::string escaped, c;
                EscapeText(l, TextMode::Text, true, &c, &escaped);
                session->Send({"log", escaped});
                if (wineReason->empty() && l.compare(0, 6, "wine: ") == 0) {
                    *wineReason = l.substr(6);
                    while (!wineReason->empty() && (wineReason->back() == '\n' || wineReason->back() == '\r'))
                        wineReason->pop_back();
                }
            } else {
                Emit(l, false);
            }
            start = end;
        }
        line.erase(0, start);
        if (last)
            Emit("", true);
    }
};

}  // namespace

bool IsWineLine(const std::string &l)
{
    if (l.compare(0, 6, "wine: ") == 0)
        return true;
    size_t colon = l.find(':');
    if (colon == 0 || colon == std::string::npos || l.find_first_not_of("0123456789abcdef") != colon)
        return false;
    for (const char *c : {"err:", "fixme:", "warn:", "trace:"}) {
        if (l.compare(colon + 1, strlen(c), c) == 0)
            return true;
    }
    return false;
}

int RunAttached(Session &session, Attached *a)
{
    sigset_t mask, old;
    sigemptyset(&mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&mask, s);
    sigprocmask(SIG_BLOCK, &mask, &old);
    signal(SIGPIPE, SIG_IGN);
    int sfd = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);

    std::vector<std::string> req = {"spawn", "0", a->cwd, a->name, a->input >= 0 ? "pipe" : "null",
                                    a->fixedLayout ? "1" : "0", std::to_string(a->argv.size())};
    req.insert(req.end(), a->argv.begin(), a->argv.end());
    Message m = session.Ask(req, 30000);
    if (m[0] == "error") {
        CloseAll(&m.fds);
        Fail(m[1]);
    }
    if (m[0] != "spawned" || m.fds.size() != (a->input >= 0 ? 3u : 2u)) {
        CloseAll(&m.fds);
        Fail("the device's keeper answered in a form cedev does not take");
    }
    std::string job = m[1];
    Stream streams[2];
    streams[0].from = m.fds[0];
    streams[0].to = a->out == "none" ? -1 : 1;
    streams[0].mode = ModeFor(a->out, 1);
    streams[1].from = m.fds[1];
    streams[1].to = a->err == "none" ? -1 : 2;
    streams[1].mode = ModeFor(a->err, 2);
    streams[1].wine = a->wineLines;
    streams[1].session = &session;
    streams[1].wineReason = &a->wineReason;
    int inPipe = a->input >= 0 ? m.fds[2] : -1;
    if (inPipe >= 0)
        fcntl(inPipe, F_SETFL, O_NONBLOCK);
    std::string pending;
    bool exited = false, lost = false;
    int code = 1;
    long long deadline = 0;
    char buf[65536];
    while (streams[0].from >= 0 || streams[1].from >= 0 || !exited) {
        pollfd fds[5];
        int n = 0;
        fds[n++] = {sfd, POLLIN, 0};
        fds[n++] = {exited ? -1 : session.Socket(), POLLIN, 0};
        for (Stream &s : streams)
            fds[n++] = {s.from, POLLIN, 0};
        fds[n++] = {inPipe, POLLOUT, 0};
        int timeout = -1;
        if (exited) {
            long long left = deadline - NowMs();
            if (left <= 0)
                break;
            timeout = static_cast<int>(left);
        }
        if (poll(fds, n, timeout) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents) {
            signalfd_siginfo si;
            while (read(sfd, &si, sizeof(si)) == sizeof(si)) {
                if (!exited)
                    session.Send({"signal", job, std::to_string(si.ssi_signo)});
                if (inPipe >= 0) {
                    // An interrupted copy stops here: the other side sees it cut short.
                    close(inPipe);
                    inPipe = -1;
                }
            }
        }
        if (fds[1].revents) {
            Message e;
            bool partial = false;
            if (session.Next(&e, 0, &partial)) {
                if (e[0] == "exit" && e[1] == job) {
                    exited = true;
                    code = atoi(e[2].c_str());
                    a->reason = e[3];
                    deadline = NowMs() + kDrainMs;
                }
                CloseAll(&e.fds);
            } else if (!partial) {
                // The keeper went away: the device ended, which says why.
                exited = lost = true;
                code = 128 + SIGKILL;
                deadline = NowMs() + kDrainMs;
            }
        }
        for (int i = 2; i < 4; ++i) {
            Stream &s = streams[i - 2];
            if (!fds[i].revents || s.from < 0)
                continue;
            ssize_t r = read(s.from, buf, sizeof(buf));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0) {
                s.Take(nullptr, 0, true);
                close(s.from);
                s.from = -1;
            } else {
                s.Take(buf, r, false);
            }
        }
        if (inPipe >= 0 && fds[4].revents) {
            if (pending.empty()) {
                ssize_t r = read(a->input, buf, sizeof(buf));
                if (r > 0)
                    pending.assign(buf, r);
                else if (r == 0 || errno != EINTR) {
                    close(inPipe);
                    inPipe = -1;
                }
            }
            if (!pending.empty() && inPipe >= 0) {
                ssize_t w = write(inPipe, pending.data(), pending.size());
                if (w > 0)
                    pending.erase(0, w);
                else if (w < 0 && errno != EAGAIN && errno != EINTR) {
                    close(inPipe);
                    inPipe = -1;
                }
            }
        }
    }
    for (Stream &s : streams) {
        if (s.from >= 0) {
            s.Take(nullptr, 0, true);
            close(s.from);
        }
    }
    if (inPipe >= 0)
        close(inPipe);
    close(sfd);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (lost)
        a->reason = "lost:" + session.LostWhy(a->name);
    return code;
}

std::string EndedBecause(const std::string &reason, const Limits &limits)
{
    if (reason == CEDEV_END_MEMORY)
        return "the device reached its memory limit (" + SizeText(limits.memory) + "; 'cedev limits --memory' raises it)";
    if (reason == CEDEV_END_FILE_SIZE)
        return "it wrote a file past the device's limit on one file (" + SizeText(limits.fileSize) + ")";
    if (reason.compare(0, 5, "lost:") == 0 || reason.compare(0, 5, "note:") == 0)
        return reason.substr(5);
    return "the device was stopped or cold-booted while it ran";
}
