#!/usr/bin/env bash
# RegSave.exe imports from one library only, COREDLL.dll, as on the handheld.
set -euo pipefail
exe=$1
dlls=$("${OBJDUMP:-objdump}" -p "$exe" | sed -n 's/^\s*DLL Name: //p')
if [ "$dlls" != "COREDLL.dll" ]; then
    echo "RegSave.exe imports from: $(echo $dlls)" >&2
    exit 1
fi
echo "RegSave.exe imports only COREDLL.dll"
