#!/usr/bin/env bash
# The handheld's install cabinet, as far as the host can check it: cabextract lists it,
# its setup file reads back to the description, the image in it is the handheld's image
# byte for byte, and two builds give the same bytes. A damaged description is refused
# with its file and line and leaves no cabinet; a damaged setup file or cabinet is
# refused in one line by the reading the device's installer shares (cecab show).
set -euo pipefail
cab=$1 image=$2 inf=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/ce_cab.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0

pass() { echo "ok   $1"; }
flunk() { echo "FAIL $1"; failures=$((failures + 1)); }

# Runs a command that must fail with one line matching REGEX.
refused() { # WHAT REGEX COMMAND...
    local what=$1 re=$2 out rc=0
    shift 2
    out=$("$@" 2>&1) || rc=$?
    if [ $rc = 0 ]; then
        flunk "$what: accepted"
    elif ! [[ $out =~ $re ]] || [ "$(grep -c . <<<"$out")" != 1 ]; then
        flunk "$what: said '$out', expected one line matching /$re/"
    else
        pass "$what: $out"
    fi
}

# The image for the cabinets the test makes: a copy, with a time of its own.
mkdir "$work/images"
cp "$image" "$work/images/RegSave.exe"
makecab() { # DESCRIPTION OUT.cab
    "$MAKECAB" "$CECAB" "$GCAB" "$1" "$work/images" "$2"
}

# --- The cabinet the build made -------------------------------------------------------

listing=$(cabextract -l "$cab" | awk '/\| / && !/Name$/ { print $NF }' | tr '\n' ' ')
[ "$listing" = "0RegSave.000 0RegSave.001 " ] && pass "cabextract lists the setup file, then the image" ||
    flunk "cabextract lists '$listing'"

# What the description says, read back from the cabinet by the installer's reading.
expected="member 0RegSave.000: setup file
member 0RegSave.001: file 1
app: RegSave
provider: RegSave Project
package: RegSave Project RegSave
processor: 2577
versions: 5.0 to 5.99
builds: 0 to 0
unsupported:
folder 1: %CE1%\\RegSave
file 1: %CE1%\\RegSave\\RegSave.exe flags 0x00000000
shortcut 1: %CE11%\\RegSave.lnk -> file 1"
fields=$("$CECAB" show "$cab")
[ "$fields" = "$expected" ] && pass "the setup file's fields read back to RegSave.inf" ||
    flunk "the setup file's fields differ from RegSave.inf:
$(diff <(echo "$expected") <(echo "$fields") || true)"

mkdir "$work/out"
cabextract -q -d "$work/out" "$cab"
cmp -s "$work/out/0RegSave.001" "$image" && pass "the image in the cabinet is build/ce-arm/RegSave.exe" ||
    flunk "the image in the cabinet differs from $image"

# Another build, in another time zone and from a copy of the image made now, gives the
# same bytes.
TZ=Pacific/Kiritimati makecab "$inf" "$work/again.cab"
cmp -s "$cab" "$work/again.cab" && pass "a second build gives the same bytes" ||
    flunk "a second build gives other bytes: $(cmp "$cab" "$work/again.cab" || true)"

# Every table the writer fills reads back as the description says: several folders, file
# flags, registry values of each type with their flags, shortcuts to a file and to a
# folder, platforms and builds.
cat >"$work/full.inf" <<'INF'
[Version]
Signature = "$Windows NT$"
CESignature = "$Windows CE$"
Provider = "Test"
[CEStrings]
AppName = "Full"
InstallDir = %CE1%\%AppName%
[Strings]
Data = "%InstallDir%\Data"
[CEDevice]
ProcessorType = 2577
UnsupportedPlatforms = "Palm PC","HPC"
VersionMin = 4.20
VersionMax = 5.99
BuildMin = 1400
BuildMax = 0xE0000000
[DefaultInstall]
CopyFiles = Files.App,Files.Data
AddReg = Reg
CEShortcuts = Links
[SourceDisksNames]
1 = ,"images",,.
[SourceDisksFiles]
RegSave.exe = 1
[DestinationDirs]
Files.App = 0,%InstallDir%
Files.Data = 0,%Data%
Links = 0,%CE11%\Tools
[Files.App]
"Full.exe","RegSave.exe",,0x40000000
[Files.Data]
"Copy.bin","RegSave.exe",,0x00000010
[Reg]
HKLM,Software\Full,Count,0x00010001,0x12345678
HKLM,Software\Full,Where,0x00000000,"%InstallDir%\Full.exe"
HKCU,Software\Full\Lists,Names,0x00010002,"one","two, three"
HKCU,Software\Full\Lists,,0x00000001,01,fe
[Links]
"Full",0,"Full.exe"
"Full data",1,%Data%
INF
mkdir "$work/full"
"$CECAB" stage --files "$work/images" -o "$work/full" "$work/full.inf" >/dev/null
expected='app: Full
provider: Test
package: Test Full
processor: 2577
versions: 4.20 to 5.99
builds: 1400 to 3758096384
unsupported: "Palm PC" "HPC"
folder 1: %CE1%\Full
folder 2: %CE1%\Full\Data
file 1: %CE1%\Full\Full.exe flags 0x40000000
file 2: %CE1%\Full\Data\Copy.bin flags 0x00000010
shortcut 1: %CE11%\Tools\Full.lnk -> file 1
shortcut 2: %CE11%\Tools\Full data.lnk -> folder 2
registry 1: HKLM\Software\Full "Count" dword 0x12345678
registry 2: HKLM\Software\Full "Where" sz "%InstallDir%\Full.exe" substituted
registry 3: HKCU\Software\Full\Lists "Names" multi_sz "one" "two, three" noclobber
registry 4: HKCU\Software\Full\Lists "" binary 01 fe'
fields=$("$CECAB" show "$work/full/0000Full.000")
[ "$fields" = "$expected" ] && pass "every table of a fuller description reads back as it says" ||
    flunk "a fuller description reads back otherwise:
$(diff <(echo "$expected") <(echo "$fields") || true)"

# --- Damaged descriptions: refused with the file and line, and no cabinet ---------------

# Each: what is wrong, the line it is on (a pattern), a sed edit, what is said.
damaged() { # WHAT LINE_PATTERN SED REGEX
    local line
    line=$(grep -n -m1 -- "$2" "$inf" | cut -d: -f1)
    sed "$3" "$inf" >"$work/damaged.inf"
    refused "$1" "^$work/damaged.inf:$line: $4" makecab "$work/damaged.inf" "$work/damaged.cab"
    [ ! -e "$work/damaged.cab" ] || flunk "$1: a cabinet was written"
}
damaged "a quote not closed" '^Provider' 's/^Provider .*/Provider = "RegSave Project/' 'a quote is not closed'
damaged "a folder macro that does not exist" '^Shortcuts.StartMenu' 's/%CE11%/%CE18%/' '%CE18% is no folder macro'
damaged "a file name that climbs out of its folder" '^"RegSave.exe"' 's/^"RegSave.exe",,,0/"..",,,0/' \
    '"\.\." is not a file name'
damaged "a string that is not defined" '^InstallDir' 's/%AppName%/%AppNam%/' 'no string is named %AppNam%'
damaged "a version that is no version" '^VersionMin' 's/^VersionMin .*/VersionMin = five/' \
    'the version "five" is not of the form MAJOR.MINOR'
damaged "a processor type that is no number" '^ProcessorType' 's/2577/ARM/' 'ProcessorType "ARM" is not a number'
damaged "a shortcut to a file not installed" '^"RegSave",0' 's/"RegSave",0,"RegSave.exe"/"RegSave",0,"Other.exe"/' \
    "the shortcut's target Other.exe is no installed file"
damaged "a file list no section holds" '^CopyFiles' 's/^CopyFiles .*/CopyFiles = Files.Missing/' \
    'CopyFiles names \[Files.Missing\], which is not in the description'
damaged "a setup library, which the device cannot run" '^CEShortcuts' 's/^CEShortcuts .*/CESetupDLL = setup.dll/' \
    'CESetupDLL is not supported'
damaged "a source file not listed" '^"RegSave.exe"' 's/^"RegSave.exe",,,0/"RegSave.exe","Other.exe",,0/' \
    'Other.exe is not listed in \[SourceDisksFiles\]'
damaged "an application name with a backslash" '^AppName' 's/^AppName .*/AppName = "Reg\\Save"/' \
    'AppName needs 1 to 40 printable ASCII characters'
sed 's/^"RegSave.exe",,,0/"RegSave.exe",,,0x08000000/' "$inf" >"$work/flags.inf"
refused "file flags no installer knows" 'the file flags 0x08000000 hold bits no installer knows' \
    makecab "$work/flags.inf" "$work/flags.cab"
sed '/^\[CEStrings\]/,$d' "$inf" >"$work/short.inf"
refused "a description without [CEStrings]" "^$work/short.inf: there is no \[CEStrings\] section" \
    makecab "$work/short.inf" "$work/short.cab"

# --- Damaged setup files: refused whole, in one line -------------------------------------

setup=$work/out/0RegSave.000
u16() { od -An -tu2 -j"$2" -N2 "$1" | tr -d ' '; }
u32() { od -An -tu4 -j"$2" -N4 "$1" | tr -d ' '; }
# A number as four bytes, little-endian, in hex.
le32() { printf '%02x%02x%02x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }
# Writes the bytes HEX (such as 1027) at OFFSET.
poke() { # FILE OFFSET HEX
    printf "$(sed 's/../\\x&/g' <<<"$3")" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
# A copy of the setup file, changed by COMMAND (run with the copy's name last), must be
# refused with REGEX.
bad_setup() { # WHAT REGEX COMMAND...
    local what=$1 re=$2
    shift 2
    cp "$setup" "$work/bad.000"
    "$@" "$work/bad.000"
    refused "$what" "^cecab: $work/bad.000: $re" "$CECAB" show "$work/bad.000"
}
at() { poke "$3" "$1" "$2"; }  # at OFFSET HEX FILE
strings=$(u32 "$setup" 60) files=$(u32 "$setup" 68) links=$(u32 "$setup" 80)
appname=$(u16 "$setup" 84) applen=$(u16 "$setup" 86)

bad_setup "no MSCE signature" 'it is not a Windows CE setup file' at 0 58
bad_setup "a length that is not the file's" 'its header gives its length as 4096 bytes' at 8 00100000
bad_setup "10,000 strings" 'its STRINGS table has 10000 entries; at most 1000 are accepted' at 48 1027
bad_setup "a table's offset out of range" 'its FILES table is at offset 16777215, outside the file' at 68 ffffff00
bad_setup "a table that runs past the file's end" 'its LINKS table runs past the end of the file' at 80 "$(le32 $(($(stat -c %s "$setup") - 2)))"
bad_setup "an application name not terminated" "the application's name is not terminated" \
    at $((appname + applen - 1)) 58
bad_setup "a string not terminated" 'string 1 is not terminated' at $((strings + 4 + $(u16 "$setup" $((strings + 2))) - 1)) 58
bad_setup "a string past the end of the file" 'string 1 runs past the end of the file' at $((strings + 2)) f0ff
bad_setup "a file name that climbs out of its folder" 'file 1 is named "\.\.\\Regs\.exe", which no file may be' \
    perl -0777 -pi -e 's/RegSave\.exe/..\\Regs.exe/'
bad_setup "a folder macro that does not exist" 'folder 1 names the folder macro %CE0%, which does not exist' \
    perl -0777 -pi -e 's/%CE1%/%CE0%/'
bad_setup "a file in a folder that is not listed" 'file 1 goes to folder 7, which is not in the DIRS table' \
    at $((files + 2)) 0700
bad_setup "a file numbered past 998" 'file 999 has no cabinet member' at "$files" e703
bad_setup "unknown file flags" 'file 1 has the unknown flags 0x00000100' at $((files + 6)) 00010000
bad_setup "a shortcut made in a macro that does not exist" 'shortcut 1 is made in folder macro %CE18%' \
    at $((links + 4)) 1200
bad_setup "a shortcut to a file that is not listed" 'shortcut 1 points to file 5, which is not in the FILES table' \
    at $((links + 6)) 0500

# A name too long once its folder macro is resolved: a file name that fits below
# %CE1%\RegSave (\Program Files\RegSave) is too long below %CE9% (\Program Files\Pocket
# Outlook\RegSave).
long=$(printf 'a%.0s' {1..210}).exe
sed "s/^\"RegSave.exe\",,,0/\"$long\",\"RegSave.exe\",,0/; s/\"RegSave\",0,\"RegSave.exe\"/\"RegSave\",0,\"$long\"/" \
    "$inf" >"$work/long.inf"
mkdir "$work/long"
"$CECAB" stage --files "$work/images" -o "$work/long" "$work/long.inf" >/dev/null
setup=$work/long/0RegSave.000
bad_setup "a path too long for the device" "file 1's path is 252 characters long; at most 240 are accepted" \
    perl -0777 -pi -e 's/%CE1%/%CE9%/'

# --- Damaged cabinets ---------------------------------------------------------------------

bad_cab() { # WHAT REGEX CABINET
    refused "$1" "^cecab: $3: $2" "$CECAB" show "$3"
}
cp "$cab" "$work/sum.cab"
last=$(($(stat -c %s "$cab") - 1))
poke "$work/sum.cab" $last "$(printf '%02x' $(($(od -An -tu1 -j$last -N1 "$cab") ^ 0xff)))"
bad_cab "a data block that does not match its checksum" 'folder 0.s data block 0 does not match its checksum' \
    "$work/sum.cab"
# The image's entry in the file table: after the setup file's (16 bytes and its name).
cp "$cab" "$work/size.cab"
poke "$work/size.cab" $(($(u32 "$cab" 16) + 16 + 13)) 0000ff00
bad_cab "a file past the end of its folder" '0RegSave.001 runs past the end of its folder.s data' "$work/size.cab"
cp "$cab" "$work/set.cab"
poke "$work/set.cab" 30 0200
bad_cab "one of a set of cabinets" 'it is one of a set of cabinets, which is not supported' "$work/set.cab"
(cd "$work/out" && TZ=UTC "$GCAB" -c -n -z "$work/zip.cab" 0RegSave.000 0RegSave.001)
bad_cab "a compressed cabinet" 'folder 0 is compressed with MSZIP, which is not supported' "$work/zip.cab"
(cd "$work/out" && "$GCAB" -c -n "$work/lone.cab" 0RegSave.000)
bad_cab "a file the cabinet does not hold" 'its setup file installs file 1 \(RegSave.exe\), which the cabinet does not hold' \
    "$work/lone.cab"
cp "$image" "$work/out/0RegSave.002"
(cd "$work/out" && "$GCAB" -c -n "$work/extra.cab" 0RegSave.000 0RegSave.002 0RegSave.001)
bad_cab "a file the setup file does not install" 'it holds 0RegSave.002, which its setup file does not install' \
    "$work/extra.cab"
mv "$work/out/0RegSave.002" "$work/out/0RegSave.999"
(cd "$work/out" && "$GCAB" -c -n "$work/dll.cab" 0RegSave.000 0RegSave.999 0RegSave.001)
bad_cab "a setup library" 'it carries a setup library \(0RegSave.999\), which this installer cannot run' "$work/dll.cab"
(cd "$work/out" && "$GCAB" -c -n "$work/plain.cab" 0RegSave.001)
bad_cab "a cabinet without a setup file" 'it holds no setup file' "$work/plain.cab"

[ $failures = 0 ] || { echo "$failures checks failed"; exit 1; }
