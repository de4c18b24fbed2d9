// What the program did that the handheld would not survive, or that this runner cannot
// give it: each ends the process with one line on stderr ("armrun: ...") and the
// runner's own exit code. Otherwise the runner ends with the program's own code.
#ifndef ARMRUN_FAULT_H
#define ARMRUN_FAULT_H

constexpr int kExitLoadFailed = 1;  // the image could not be loaded
constexpr int kExitUsage = 2;       // the runner was given a wrong command line
constexpr int kExitFault = 4;       // the program faulted while it ran

[[noreturn]] void LoadFailed(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void Fault(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

#endif
