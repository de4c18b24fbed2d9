// A process of the device run in the foreground of a command: the keeper starts it and
// hands the command its output (and, for a copy into the device, its input); the
// command passes them on, escaped where they are text, passes Ctrl+C on to it, and
// ends with its exit code once the keeper says it has ended.
#ifndef CEDEV_ATTACHED_H
#define CEDEV_ATTACHED_H

#include "text.h"
#include "session.h"

#include <string>
#include <vector>

struct Attached {
    // What to start, and in which folder of the device; name is how messages call it.
    std::vector<std::string> argv;
    std::string cwd = "/device/drive_c", name;
    bool fixedLayout = false;
    // How its output reaches ours: "raw", "text" (escaped), "tty" (escaped when it
    // goes to a terminal, with its CR LF line ends) or "none" (read and dropped).
    std::string out = "tty", err = "tty";
    // Wine's own messages on its stderr go to the device's log; the first "wine: ..."
    // line is kept, as the reason Wine gives when it cannot start a program at all.
    bool wineLines = false;
    std::string wineReason;
    // A host file to give it as its input (a copy into the device).
    int input = -1;
    // Why it ended, when not by itself: see keeper.h; "lost:NOTE" when the device ended
    // without a word to this command (NOTE says why).
    std::string reason;
};

// Returns its exit code (128 + the signal's number when a signal ended it).
int RunAttached(Session &session, Attached *a);

// Why a process of the device was ended, for a line "X was ended: WHY", from the reason
// the keeper gave (see keeper.h) and the device's limits.
struct Limits;
std::string EndedBecause(const std::string &reason, const Limits &limits);

// Wine's own messages: "wine: ...", or a thread id and a class ("0024:err:...").
bool IsWineLine(const std::string &line);

#endif
