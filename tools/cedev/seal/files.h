// rm and put as cedev-seal does them inside a device's sandbox (files.cpp).
#ifndef CEDEV_HOST_FILES_H
#define CEDEV_HOST_FILES_H

// How cedev-seal is called.
constexpr char kSealUsage[] = "cedev-seal rm ROOT PATH [-r] | put ROOT PATH NAME [--size N] [--folders]";

// rm ROOT PATH [-r] and put ROOT PATH NAME [--size N] [--folders], their arguments
// after the command's name; each returns its exit code (exitcodes.h).
int RemoveCommand(int argc, char **argv);
int PutCommand(int argc, char **argv);

#endif
