// cedev-seal: the part of the device tool that keeps a device sealed. On the host it
// starts every process that enters a device; inside the device's sandbox (mounted
// read-only with the device's other tools) it changes the device's files without
// following a link or waiting on a file that is not one (files.cpp).
//
//   cedev-seal rm ROOT PATH [-r]               remove a device file (inside the sandbox)
//   cedev-seal put ROOT PATH NAME [--size N] [--folders]
//       write standard input into the device (N bytes of it, or nothing at all),
//       making the missing folders on the way with --folders
//
// Exit codes: exitcodes.h.
#include "files.h"
#include "../report.h"

#include <string>

int main(int argc, char **argv)
{
    std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "rm")
        return RemoveCommand(argc - 2, argv + 2);
    if (cmd == "put")
        return PutCommand(argc - 2, argv + 2);
    return Usage(kSealUsage);
}
