// The exit codes of the device tool's programs: cedev, its helper and its installer
// inside a device, and the host programs that work on a device's files (cedev-seal)
// and saved registry (cedev-coldboot). A program run with 'cedev run' ends with its own
// code instead, which cedev passes on.
#ifndef CEDEV_EXITCODES_H
#define CEDEV_EXITCODES_H

enum ExitCode {
    kExitOk = 0,
    kExitFail = 1,     // could not do what was asked; one line on stderr says why
    kExitUsage = 2,    // the command was given wrongly, or refused what it was given
    kExitDamaged = 3,  // the saved registry is damaged: it is kept, the factory registry booted
};

#endif
