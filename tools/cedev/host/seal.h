// cedev-seal: the part of the device tool that keeps a device sealed. On the host it
// starts every process that enters a device; inside the device's sandbox (mounted
// read-only with the device's other tools) it changes the device's files without
// following a link or waiting on a file that is not one.
#ifndef CEDEV_HOST_SEAL_H
#define CEDEV_HOST_SEAL_H

#include <string>

// Exit codes: 0 done, 1 could not do it (one line on stderr), 2 bad usage or refused.
enum { kOk = 0, kFail = 1, kUsage = 2 };

// Prints "cedev: MESSAGE" as one line, its control characters escaped; returns kFail.
int Fail(const std::string &message);
// The same, for what cedev refuses to do; returns kUsage.
int Refuse(const std::string &message);
int Usage();

// rm ROOT PATH [-r] and put ROOT PATH NAME: see files.cpp.
int RemoveCommand(int argc, char **argv);
int PutCommand(int argc, char **argv);

#endif
