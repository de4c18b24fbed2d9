// Reporting for cedev's host programs: see report.h.
#include "report.h"
#include "text.h"

#include <cstdio>

int Report(ExitCode code, const std::string &message)
{
    std::string line, carry;
    EscapeText(message, TextMode::Text, true, &carry, &line);
    std::string oneLine;
    for (char c : line)
        oneLine += c == '\n' ? std::string("\\n") : std::string(1, c);
    fflush(stdout);
    fprintf(stderr, "cedev: %s\n", oneLine.c_str());
    return code;
}

int Fail(const std::string &message)
{
    return Report(kExitFail, message);
}

int Refuse(const std::string &message)
{
    return Report(kExitUsage, message);
}

int Usage(const char *usage)
{
    return Report(kExitUsage, std::string("usage: ") + usage);
}
