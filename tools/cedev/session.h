// A command's side of a running device: finding its keeper, starting the device when
// it is off, and asking the keeper (and through it the resident helper) for what the
// command needs.
#ifndef CEDEV_SESSION_H
#define CEDEV_SESSION_H

#include "device.h"
#include "wire.h"

#include <string>
#include <vector>

struct HelperAnswer {
    int code;
    std::string out, err;
};

// The user's X authority file, as X clients find it: $XAUTHORITY, else ~/.Xauthority.
std::string UserXauthority();

// Why the helper failed a request: the first line of what it said, without its
// "cedev: ", or OTHERWISE when it said nothing.
std::string HelperReason(const HelperAnswer &a, const std::string &otherwise);

class Session {
public:
    Session(const Device &device, const Build &build) : device_(device), build_(build) {}
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    ~Session();

    // Connects to the running device; false when it is off. A device that ended badly
    // since the last command (its Wine server or display killed, a limit passed) is
    // reported once, as a Failure.
    bool Connect();
    // The device running, started if it is off; with noStart, a Failure if it is off.
    // held: the device lock the command already holds (a start takes it alone).
    void Ensure(bool noStart, FileLock *held);
    // The device running, and its lock held shared: for writes that must not land in
    // the middle of a cold boot (which a stop or reset, holding the lock alone, may have
    // ended the session this connected to while the lock was waited for).
    void EnsureShared(FileLock *lock);

    // Asks the resident helper; a Failure when there is no answer (the device or its
    // helper ended meanwhile: the line says which).
    HelperAnswer Helper(const std::vector<std::string> &args);
    // Sends a request and waits for its answer (timeoutMs < 0: no bound).
    Message Ask(const std::vector<std::string> &fields, int timeoutMs = -1, std::vector<int> fds = {});
    bool Send(const std::vector<std::string> &fields, std::vector<int> fds = {});
    // The next message from the keeper; false at its end.
    bool Next(Message *m, int timeoutMs, bool *timedOut = nullptr);
    int Socket() const { return fd_; }
    const std::string &Display() const { return display_; }
    bool PrivateDisplay() const { return display_ == ":0"; }
    // Why the keeper went away, for a command that lost it: the device's own record of
    // a bad end, or that it was stopped.
    std::string LostWhy(const std::string &what);

private:
    void Start();
    const Device &device_;
    const Build &build_;
    int fd_ = -1;
    MessageReader reader_;
    std::string display_;
};

// Whether the device's screen is a window on the user's display ($DISPLAY), whose every
// window and input its programs then see, or a private Xvfb: without $DISPLAY, or with
// CEDEV_DISPLAY=private. Returns the display's number, or -1 for a private one.
int HostDisplayNumber();

// A device that ended badly reports it once: the note, taken away as it is read.
bool TakeBrokenNote(const Device &device, std::string *note);

#endif
