// wait exit | window TITLE | nowindow TITLE | box | nobox | focus TEXT [--timeout S]:
// waits for the program started with 'cedev run --detach' to end (and exits with its
// code), or for the screen to show or lose something.
#include "commands.h"
#include "../attached.h"
#include "../session.h"

#include <unistd.h>

namespace {

const double kMaxTimeout = 3600;

int WaitExit(Context &ctx, double timeout)
{
    std::string id;
    if (!ReadRecord(ctx.device.Record("jobs/last"), &id) || (id = id.substr(0, id.find('\n'))).empty())
        Fail("no program was started with 'cedev run --detach'");
    std::string record = ctx.device.Record("jobs/" + id + ".rc");
    auto ended = [&](const std::string &code, const std::string &reason) -> int {
        if (!reason.empty())
            Fail("the program was ended: " + EndedBecause(reason, ctx.device.ReadLimits()));
        return atoi(code.c_str());
    };
    std::string text;
    if (!ReadRecord(record, &text)) {
        Session session(ctx.device, ctx.build);
        if (session.Connect()) {
            bool timedOut = false;
            Message m;
            if (session.Send({"waitjob", id}) && session.Next(&m, static_cast<int>(timeout * 1000), &timedOut) &&
                m[0] == "exit")
                return ended(m[2], m[3]);
            if (timedOut)
                Fail("timed out after " + std::to_string(static_cast<long long>(timeout)) +
                     "s waiting for the program to end");
        }
        if (!ReadRecord(record, &text))
            Fail("the program's exit code was not recorded");
    }
    size_t nl = text.find('\n');
    std::string code = text.substr(0, nl), reason = nl == std::string::npos ? "" : text.substr(nl + 1);
    while (!reason.empty() && reason.back() == '\n')
        reason.pop_back();
    return ended(code, reason);
}

}  // namespace

int CmdWait(Context &ctx, Args &args)
{
    std::vector<std::string> words;
    double timeout = -1;
    while (!args.Empty()) {
        std::string w = args.Next();
        if (w == "--timeout") {
            std::string v = args.Value("--timeout");
            if (!ParseSeconds(v, kMaxTimeout, &timeout))
                UsageError("--timeout takes a plain number of seconds from 0 to 3600, such as 5 or 0.5");
        } else {
            words.push_back(w);
        }
    }
    std::string what = words.empty() ? "" : words[0];
    if (what == "exit") {
        if (words.size() != 1)
            UsageError("wait exit: unknown argument '" + words[1] + "'");
        ctx.device.Need();
        return WaitExit(ctx, timeout < 0 ? 30 : timeout);
    }
    bool needsArg = what == "window" || what == "nowindow" || what == "focus";
    if (words.size() != (needsArg ? 2u : 1u) || (!needsArg && what != "box" && what != "nobox"))
        UsageError("usage: cedev wait exit|window TITLE|nowindow TITLE|box|nobox|focus TEXT [--timeout SECONDS]");
    ctx.device.Need();
    Session session(ctx.device, ctx.build);
    session.Ensure(true, nullptr);
    // The screen is asked until it shows what is waited for: each question is answered
    // at once, so that the helper serves other commands meanwhile.
    std::vector<std::string> check = {"wait"};
    check.insert(check.end(), words.begin(), words.end());
    check.push_back("--timeout");
    check.push_back("0");
    long long deadline = NowMs() + static_cast<long long>((timeout < 0 ? 10 : timeout) * 1000);
    for (;;) {
        HelperAnswer a = session.Helper(check);
        if (a.code == kExitOk)
            return kExitOk;
        if (a.code != kExitFail || NowMs() >= deadline) {
            Say(HelperReason(a, "timed out"));
            return a.code;
        }
        usleep(20000);
    }
}
