#!/usr/bin/env bash
# The handheld's install cabinet on a simulated handheld. The device's installer puts
# RegSave where RegSave.inf says, records the package and makes its shortcut, and
# deletes the cabinet; RegSave (the ARM image from the cabinet) starts from the
# shortcut's target and saves; removing the package leaves the device's files and
# registry as they were before. Registry values are written, and the ones replaced come
# back at removal. A cabinet for another handheld, one that would replace the device's
# files, and hostile ones are refused whole with nothing written; a write that fails
# midway is undone.
. "$(dirname "$0")/lib.sh"

INSTALLER='\Windows\cedev\cedev-install.exe'
PACKAGE='RegSave Project RegSave'
WORK=$TEST_DEVICES/$NAME.work
rm -rf "$WORK"
mkdir -p "$WORK/files" "$WORK/regsave"
trap 'cleanup; rm -rf "$WORK"' EXIT
echo "first file" >"$WORK/files/a.txt"
echo "second file" >"$WORK/files/b.txt"

# The device's files (path, type, size) and registry, to compare before and after. Plug
# and play stamps the display adapter's driver date whenever the device starts, so its
# keys are left out.
snapshot() { # NAME
    (cd "$CEDEV_DEVICE/drive_c" && find . -printf '%p %y %s\n' | LC_ALL=C sort) >"$WORK/$1.files"
    cedev reg export | awk '/^\[/ { skip = /^\[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\(Enum|Control\\(Class|DeviceClasses))\\/ } !skip' \
        >"$WORK/$1.reg"
}
expect_as_before() { # WHAT
    snapshot after
    { diff "$WORK/before.files" "$WORK/after.files" && diff "$WORK/before.reg" "$WORK/after.reg"; } >"$WORK/diff" ||
        fail "$1: the device is not as it was before: $(head -n 12 "$WORK/diff")"
}

installer() { cedev run "$INSTALLER" "$@"; }

# Installs a cabinet of the host's, as 'cedev install' does.
install() { # CABINET
    cedev install "$1"
}

# A cabinet made from the description on stdin, as the build makes RegSave.cab.
make_cab() { # NAME
    cat >"$WORK/$1.inf"
    "$SOURCE_DIR/tools/cepack/makecab.sh" "$CECAB" "$GCAB" "$WORK/$1.inf" "$WORK/files" "$WORK/$1.cab"
}

# The description of a test package, with the sections given on stdin added.
describe() { # APPNAME
    printf '[Version]\nSignature = "$Windows NT$"\nCESignature = "$Windows CE$"\nProvider = "Test"\n'
    printf '[CEStrings]\nAppName = "%s"\nInstallDir = %%CE1%%\\CabTest\n' "$1"
    printf '[SourceDisksNames]\n1 = ,"files",,.\n'
    cat
}

# The cabinet is refused in one line matching REGEX, and nothing changes: 'cedev
# install' takes the cabinet out again.
refused_whole() { # CABINET REGEX
    snapshot before
    expect_error "$2" cedev install "$1"
    expect_as_before "$(basename "$1")"
}

step "RegSave.cab puts RegSave into \\Program Files\\RegSave, its shortcut into the Start menu, and its record"
snapshot before
boot=$(reg_value 'HKLM\Comm' BootCount)
expect_eq "$(install "$CE_ARM/RegSave.cab")" "installed $PACKAGE into \\Program Files\\RegSave
wrote \\Program Files\\RegSave\\RegSave.exe
wrote \\Windows\\Programs\\RegSave.lnk" "what the installer says"
cmp -s "$CEDEV_DEVICE/drive_c/Program Files/RegSave/RegSave.exe" "$CE_ARM/RegSave.exe" ||
    fail "\\Program Files\\RegSave\\RegSave.exe is not build/ce-arm/RegSave.exe"
expect_eq "$(cedev ls '\Windows\AppMgr\Install')" "" "the installer's folder after the install (the cabinet is deleted)"
record="HKLM\\Software\\Apps\\$PACKAGE"
expect_eq "$(reg_value "$record" Instl)" "REG_DWORD 0x00000001" "Instl"
expect_eq "$(reg_value "$record" InstlDir)" 'REG_SZ \Program Files\RegSave' "InstlDir"
expect_eq "$(reg_value "$record" CabFile)" 'REG_SZ \Windows\AppMgr\Install\RegSave.cab' "CabFile"
link=$(cat "$CEDEV_DEVICE/drive_c/windows/Programs/RegSave.lnk")
expect_eq "$link" '36#"\Program Files\RegSave\RegSave.exe"' "the shortcut"
target=${link#*#}
expect_eq "${link%%#*}" "${#target}" "the shortcut's count of what follows '#'"

step "RegSave starts from its shortcut, the ARM image from the cabinet, and saves"
cedev run --detach '\Windows\Programs\RegSave.lnk'
cedev wait window Registry
[ -n "$(device_pids 'armrun\.exe\.so C:\\Program Files\\RegSave\\RegSave\.exe')" ] ||
    fail "the shortcut did not start the cabinet's image on the ARM runner: $(device_pids RegSave | xargs -r ps -o args= -p)"
tap_and_expect_box Save "Save OK" "$SAVED"
# What RegSave itself changed goes back, so that what is left is the installer's.
cedev rm "$HIVE"
cedev reg set 'HKLM\SYSTEM\ORV\REGLock' EnableSave REG_DWORD 0
cedev reg set 'HKLM\Comm' BootCount REG_DWORD "${boot#REG_DWORD }"

step "removing RegSave leaves the device's files and registry as they were before the install"
expect_eq "$(cedev uninstall "$PACKAGE")" "removed $PACKAGE" "what the installer says"
expect_as_before "after removing RegSave"
expect_error "no package named \"$PACKAGE\" is installed" cedev uninstall "$PACKAGE"

step "registry values are written with the install folder put in, and a replaced value comes back at removal"
cedev reg set 'HKLM\Comm' BootCount REG_DWORD 5
cedev reg set 'HKLM\Comm' Keep REG_SZ "the device's own"
describe Values <<'INF' | make_cab values
[SourceDisksFiles]
a.txt = 1
[DefaultInstall]
CopyFiles = Files.App
AddReg = Reg.All
CEShortcuts = Links
[DestinationDirs]
Files.App = 0,%InstallDir%\Deeper
Links = 0,%CE11%
[Files.App]
a.txt
[Reg.All]
HKLM,Comm,BootCount,0x00010001,7
HKLM,Comm,Keep,0x00000002,"the cabinet's"
HKLM,Software\CabTest\Deep,Path,0x00000000,%InstallDir%\Deeper\a.txt
HKCU,Software\CabTest,List,0x00010000,"one","two, three"
HKCU,Software\CabTest,Bytes,0x00000001,de,ad,be,ef
[Links]
"CabTest",1,%InstallDir%
INF
snapshot before
install "$WORK/values.cab" >/dev/null
expect_eq "$(reg_value 'HKLM\Comm' BootCount)" "REG_DWORD 0x00000007" "a replaced value"
expect_eq "$(reg_value 'HKLM\Comm' Keep)" "REG_SZ the device's own" "a value the cabinet does not replace"
expect_eq "$(reg_value 'HKLM\Software\CabTest\Deep' Path)" 'REG_SZ \Program Files\CabTest\Deeper\a.txt' "a path"
expect_eq "$(reg_value 'HKCU\Software\CabTest' List)" 'REG_MULTI_SZ one\0two, three' "strings"
expect_eq "$(reg_value 'HKCU\Software\CabTest' Bytes)" 'REG_BINARY de,ad,be,ef' "bytes"
expect_eq "$(cat "$CEDEV_DEVICE/drive_c/windows/Programs/CabTest.lnk")" '24#"\Program Files\CabTest"' \
    "a shortcut to a folder"
installer uninstall "Test Values" >/dev/null
expect_as_before "after removing a package with registry values"

step "a file of the package in use keeps all of it in place, and removal works once the file is free"
install "$WORK/values.cab" >/dev/null
# The shortcut is the package's last file: its first is moved aside before, and back.
cedev run --detach "$TEST_BIN/holder.exe" '\Windows\Programs\CabTest.lnk'
cedev run "$TEST_BIN/holder.exe" --held
expect_error 'could not remove \\Windows\\Programs\\CabTest.lnk: it is in use; nothing was removed$' \
    installer uninstall "Test Values"
expect_eq "$(cat "$CEDEV_DEVICE/drive_c/Program Files/CabTest/Deeper/a.txt")" "first file" "the package's first file"
expect_eq "$(reg_value 'HKLM\Software\Apps\Test Values' Instl)" "REG_DWORD 0x00000001" "the record"
cedev run "$TEST_BIN/holder.exe" --release
expect_eq "$(installer uninstall "Test Values")" "removed Test Values" "what the installer says"

step "the installer's exit codes: 2 for bad usage, 1 for a cabinet it cannot read"
rc=0
out=$(installer install 'RegSave.cab' 2>&1) || rc=$?
expect_eq "$rc:$out" "2:cedev: 'RegSave.cab' is not a device path such as \\Flash Disk\\RegSave.cab" "a path that is no device path"
rc=0
installer remove "$PACKAGE" 2>/dev/null || rc=$?
expect_eq "$rc" 2 "the exit code of an unknown mode"
expect_error 'cannot read \\Flash Disk\\none.cab: no such file or folder$' installer install '\Flash Disk\none.cab'

step "a cabinet for another processor or Windows CE version is refused"
describe Mips <<'INF' | make_cab mips
[SourceDisksFiles]
a.txt = 1
[CEDevice]
ProcessorType = 4000
[DefaultInstall]
CopyFiles = Files.App
[DestinationDirs]
Files.App = 0,%InstallDir%
[Files.App]
a.txt
INF
refused_whole "$WORK/mips.cab" 'is for processor 4000 \(MIPS\); this handheld.s is 2577 \(ARM\)$'
sed 's/^ProcessorType = 4000/VersionMin = 6.0/; s/"Mips"/"Six"/' "$WORK/mips.inf" | make_cab six
refused_whole "$WORK/six.cab" 'needs Windows CE 6.0 or later; this handheld runs Windows CE 5.0'

step "a cabinet that would replace the device's files, or one installed already, is refused whole"
describe Core <<'INF' | make_cab core
[SourceDisksFiles]
a.txt = 1
b.txt = 1
[DefaultInstall]
CopyFiles = Files.App,Files.Windows
[DestinationDirs]
Files.App = 0,%InstallDir%
Files.Windows = 0,%CE2%
[Files.App]
b.txt
[Files.Windows]
"COREDLL.dll","a.txt"
INF
refused_whole "$WORK/core.cab" '\\Windows\\COREDLL.dll is there already; file 2 \(COREDLL.dll\) would replace it$'
install "$CE_ARM/RegSave.cab" >/dev/null
refused_whole "$CE_ARM/RegSave.cab" "\"$PACKAGE\" is installed already; uninstall it first"
# Nor may a cabinet write into a package's record, which says what its removal deletes.
describe Record <<INF | make_cab record
[SourceDisksFiles]
a.txt = 1
[DefaultInstall]
CopyFiles = Files.App
AddReg = Reg.All
[DestinationDirs]
Files.App = 0,%InstallDir%
[Files.App]
a.txt
[Reg.All]
HKLM,Software\Apps\\$PACKAGE,Files,0x00010000,"\Windows\COREDLL.dll"
INF
refused_whole "$WORK/record.cab" 'it writes into HKLM\\Software\\Apps\\'"$PACKAGE"', where the device records its packages$'
installer uninstall "$PACKAGE" >/dev/null

step "a write that fails midway undoes every other: registry values, folders, files"
describe Midway <<'INF' | make_cab midway
[SourceDisksFiles]
a.txt = 1
b.txt = 1
[DefaultInstall]
CopyFiles = Files.App,Files.Rom
AddReg = Reg.All
[DestinationDirs]
Files.App = 0,%InstallDir%
Files.Rom = 0,%CE2%\system32
[Files.App]
a.txt
[Files.Rom]
b.txt
[Reg.All]
HKLM,Comm,BootCount,0x00010001,9
HKLM,Software\CabTest,Path,0x00000000,%InstallDir%\a.txt
INF
refused_whole "$WORK/midway.cab" 'could not write \\Windows\\system32\\b.txt: .*; nothing was installed$'

step "hostile cabinets are refused whole, with nothing written"
(cd "$WORK/regsave" && cabextract -q "$CE_ARM/RegSave.cab")
setup=$WORK/regsave/0RegSave.000
# Writes the bytes HEX (such as 1027) at OFFSET.
poke() { # OFFSET HEX FILE
    printf "$(sed 's/../\\x&/g' <<<"$2")" | dd of="$3" bs=1 seek="$1" conv=notrunc status=none
}
# RegSave's cabinet with its setup file changed by COMMAND (run on a copy, named last).
hostile() { # NAME REGEX COMMAND...
    local name=$1 re=$2
    shift 2
    mkdir -p "$WORK/$name"
    cp "$setup" "$WORK/regsave/0RegSave.001" "$WORK/$name"
    "$@" "$WORK/$name/0RegSave.000"
    (cd "$WORK/$name" && TZ=UTC "$GCAB" -c -n "$WORK/$name.cab" 0RegSave.000 0RegSave.001)
    refused_whole "$WORK/$name.cab" "$re"
}
strings=$(od -An -tu4 -j60 -N4 "$setup" | tr -d ' ')
first=$(od -An -tu2 -j$((strings + 2)) -N2 "$setup" | tr -d ' ')
hostile climb 'file 1 is named "\.\.\\Regs\.exe", which no file may be' perl -0777 -pi -e 's/RegSave\.exe/..\\Regs.exe/'
hostile macro 'folder 1 names the folder macro %CE0%, which does not exist' perl -0777 -pi -e 's/%CE1%/%CE0%/'
hostile entries 'its STRINGS table has 10000 entries' poke 48 1027
hostile unterminated 'string 1 is not terminated' poke $((strings + 4 + first - 1)) 58
hostile offsets 'its FILES table is at offset 16777215, outside the file' poke 68 ffffff00
hostile sizes 'string 1 runs past the end of the file' poke $((strings + 2)) f0ff
