// File work cedev does on the host, in a device folder while nothing of the device
// runs, or in the template cache: never following a link.
#ifndef CEDEV_HOSTFILES_H
#define CEDEV_HOSTFILES_H

#include <string>
#include <sys/types.h>

// Removes NAME in the folder dir (a file, a link, or a folder with all it holds).
bool RemoveTree(int dir, const std::string &name);
bool RemoveTree(const std::string &path);
// Gives every file below path to uid:gid, but the folders named in skip (paths below
// path, joined by '/').
bool ChownTree(const std::string &path, uid_t uid, gid_t gid, const std::initializer_list<const char *> &skip);
bool CopyFile(const std::string &from, const std::string &to, mode_t mode = 0644);
bool AppendFile(const std::string &path, const std::string &text);
// A file of the device (path below the device folder root, names joined by '/'), read
// and replaced without following a link on the way: whether it equals source, and
// source written in its place (as uid:gid), in one step.
bool SameAsBelow(int root, const std::string &path, const std::string &source);
bool ReplaceBelow(int root, const std::string &path, const std::string &source, uid_t uid, gid_t gid);

#endif
