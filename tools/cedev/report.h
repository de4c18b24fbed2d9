// How cedev's host programs (cedev-seal and cedev-coldboot) report what they could not do:
// one line on stderr, "cedev: MESSAGE", escaped as all plain output is (text.h), and
// the exit code that says what happened (exitcodes.h).
#ifndef CEDEV_HOST_REPORT_H
#define CEDEV_HOST_REPORT_H

#include "exitcodes.h"

#include <string>

// Prints MESSAGE as one line and returns CODE.
int Report(ExitCode code, const std::string &message);
// What could not be done; returns kExitFail.
int Fail(const std::string &message);
// What cedev refuses to do; returns kExitUsage.
int Refuse(const std::string &message);
// "cedev: usage: USAGE"; returns kExitUsage.
int Usage(const char *usage);

#endif
