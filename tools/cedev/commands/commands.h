// cedev's commands, one file each in this folder; main.cpp reads cedev's own options
// and hands each command the words after its name.
#ifndef CEDEV_COMMANDS_H
#define CEDEV_COMMANDS_H

#include "../cli.h"
#include "../device.h"

struct Context {
    Device device;
    Build build;
};

using Command = int (*)(Context &, Args &);

int CmdHelp(Context &, Args &);
int CmdInit(Context &, Args &);
int CmdLimits(Context &, Args &);
int CmdRun(Context &, Args &);
int CmdWait(Context &, Args &);
int CmdTap(Context &, Args &);
int CmdPen(Context &, Args &);
int CmdKey(Context &, Args &);
int CmdWindows(Context &, Args &);
int CmdBox(Context &, Args &);
int CmdScreenshot(Context &, Args &);
int CmdView(Context &, Args &);
int CmdReg(Context &, Args &);
int CmdLs(Context &, Args &);
int CmdRm(Context &, Args &);
int CmdPut(Context &, Args &);
int CmdHive(Context &, Args &);
int CmdReset(Context &, Args &);
int CmdStop(Context &, Args &);
int CmdInstall(Context &, Args &);
int CmdUninstall(Context &, Args &);

// What several commands share (shared.cpp).
class Session;
// Asks the resident helper and passes its answer on: what it printed (escaped as text,
// or as given with raw), and its one line on stderr; returns its exit code.
int PassHelper(Session &session, const std::vector<std::string> &args, bool raw = false);
// The screen commands: the device must be on.
int ScreenCommand(Context &ctx, const std::string &name, Args &args);
// Fails unless the sandbox's tools are there: bubblewrap, Wine, the build's own.
void NeedSandboxTools(const Build &build);
void NeedTool(const std::string &path, const std::string &package);
// Runs a program of the host (not of the device), its output passed on as it is, and
// returns its exit code; -1 when it could not be started.
int RunHost(const std::vector<std::string> &argv, std::string *output = nullptr);
// A device-side tool, the file tool cedev-seal (rm, put), run in the device.
int RunSeal(Context &ctx, Session &session, const std::vector<std::string> &args, int input = -1,
            const std::string &endedAs = "");
// Runs cedev-coldboot in a sandbox of the (stopped) device; returns its exit code.
int RunHive(Context &ctx, const std::vector<std::string> &args, bool writable, bool factory);
// Whether the session's keeper is gone and the device off; reports a bad end once.
void EndSession(Context &ctx, bool keepRegistry, bool reset);

#endif
