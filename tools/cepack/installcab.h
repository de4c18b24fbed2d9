// An install cabinet as a whole: a cabinet whose members carry 8.3 names with a
// three-digit number, NAME.000 its setup file and NAME.NNN the file the setup file
// numbers NNN. Shared by the host's cabinet tool and the simulated handheld's installer,
// so both accept exactly the same cabinets; no system calls.
#ifndef CE_INSTALLCAB_H
#define CE_INSTALLCAB_H

#include "cabinet.h"
#include "cesetup.h"

#include <map>

namespace installcab {

struct InstallCabinet {
    std::vector<cabinet::Member> members;
    cesetup::Setup setup;
    // Each installed file's bytes, by its id.
    std::map<uint16_t, const std::vector<uint8_t> *> files;
    std::string setupName;
};

// Reads the cabinet and its setup file, and checks that they agree: one setup file, a
// member for every file it installs and none it does not, no setup library. The
// InstallCabinet must not be copied afterwards (files point into members).
bool Open(const uint8_t *data, size_t size, InstallCabinet *out, std::string *why);

// The member name a file gets in the cabinet: up to eight letters and digits of NAME
// (padded on the left with 0) and the file's number as three digits.
std::string MemberName(const std::string &name, unsigned number);

}  // namespace installcab

#endif
