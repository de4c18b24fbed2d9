// The names cedev-seal takes for a device's files: a host file's name that put gives
// the device, and the path the helper hands over for rm and put.
#ifndef CEDEV_HOST_NAMES_H
#define CEDEV_HOST_NAMES_H

#include <string>
#include <vector>

// Whether NAME can be one file name in the device; empty when it can, else why not.
// Refused: nothing, only dots, a separator or one of : * ? " < > |, a control
// character, a byte that is not UTF-8 (the device's names are Unicode, so such a name
// would not be the same name inside), a trailing dot or space (which the device drops),
// more than 255 bytes, and the names of the system's devices (CON, NUL, COM1...).
std::string NameProblem(const std::string &name);

// Splits the helper's answer ("Flash Disk\x", empty for the root) into names, or says
// why it cannot. It comes from inside the device, so it is checked as any other data
// from there.
std::string SplitDevicePath(const std::string &path, std::vector<std::string> *names);

#endif
