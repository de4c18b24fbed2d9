// cedev-seal: see seal.h.
//
//   cedev-seal rm ROOT PATH [-r]               remove a device file (inside the sandbox)
//   cedev-seal put ROOT PATH NAME [--size N]   write standard input into the device (N
//                                              bytes of it, or nothing at all)
#include "seal.h"
#include "text.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int Say(const std::string &message, int code)
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

}  // namespace

int Fail(const std::string &message)
{
    return Say(message, kFail);
}

int Refuse(const std::string &message)
{
    return Say(message, kUsage);
}

int Usage()
{
    fprintf(stderr, "cedev: usage: cedev-seal rm ROOT PATH [-r] | put ROOT PATH NAME [--size N]\n");
    return kUsage;
}

int main(int argc, char **argv)
{
    std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "rm")
        return RemoveCommand(argc - 2, argv + 2);
    if (cmd == "put")
        return PutCommand(argc - 2, argv + 2);
    return Usage();
}
