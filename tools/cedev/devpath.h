// Device paths, read once, on the host: "\Flash Disk\registry.dat" names a file of the
// device, whose root "\" is its drive C:. Every command that takes a device path reads
// it here and hands on only what this gives.
#ifndef CEDEV_DEVPATH_H
#define CEDEV_DEVPATH_H

#include "device.h"

#include <string>
#include <vector>

class Session;

// The longest device path (or argument) a command takes: a command line in the device
// holds 32,767 characters, its program's name and quotes included.
constexpr size_t kMaxDeviceArgs = 32000;

// The names of a device path as the device's file system reads it: "." and ".."
// resolved, "/" and repeated separators taken as one "\", trailing dots and spaces of
// names dropped. Refused, as a usage Failure, with the reason: a path that does not
// start with "\" (a host path, a drive letter, "\\server"), one that climbs above the
// root, one too long, or one whose last name names a device of the system (CON, NUL,
// COM1, ...).
std::vector<std::string> DeviceNames(const std::string &path);

// The device path resolved against the device's files: each name that exists as it is
// written on disk (names match without regard to case, as they do inside the device;
// a short name such as FLASHD~1 is asked of the helper), and the rest as given. The
// walk stops at a link or a mount point, which the command that uses the path refuses
// in its own words. Returns the names joined by "\", "" for the root.
std::string ResolveDevicePath(const Device &device, const std::string &path, Session *session);

// Case folding as the device's file system does it, for names in UTF-8.
bool SameName(const std::string &a, const std::string &b);

#endif
