#!/usr/bin/env bash
# The device tool's promises to its users: one clear line on stderr and a nonzero exit
# for what it cannot do, a device that sees no host files, and a cold boot that keeps
# a damaged saved registry rather than importing or deleting it.
. "$(dirname "$0")/lib.sh"
# What the test makes beside its device goes with it, also when the test fails.
trap 'stop_devices; rm -rf "$TEST_DEVICES/$NAME".*; cleanup' EXIT

# ---------------------------------------------------------------------------
# The saved registry first: its reader and the cold boot need no program on the
# device, so that what goes wrong in them shows within seconds.
# A saved registry of these lines: UTF-16 with a byte-order mark, CR LF line ends.
# {U+XXXX} stands for that one UTF-16 unit: a NUL, a lone surrogate, any character.
write_hive() {
    perl -e 'my $out = "\xff\xfe";
        for my $line (@ARGV[1 .. $#ARGV]) {
            utf8::decode($line);
            for (split /(\{U\+[0-9A-F]{4}\})/, "$line\r\n") {
                $out .= /^\{U\+(....)\}$/ ? pack("v", hex $1) : pack("v*", map { $_ < 0x10000 ? $_ :
                    (0xD800 + (($_ - 0x10000) >> 10), 0xDC00 + ($_ & 0x3FF)) } unpack("W*", $_));
            }
        }
        open(my $f, ">:raw", $ARGV[0]) or die "$ARGV[0]: $!\n";
        print $f $out;' "$HOST_HIVE" "$@"
}
HEAD='Windows Registry Editor Version 5.00'
END='; End of registry'
# The limits count UTF-16 units: a character beyond the first plane is two.
WIDE_KEY256=$(printf '\xf0\x9f\x98\x80%.0s' {1..128})
WIDE_VALUE16384=$(printf '\xf0\xa0\x80\x80%.0s' {1..8192})
# Files of these lines ("^" between them) are refused whole, each by its line: by
# 'cedev hive', and by the code of the checks and of the cold boot, cedev-coldboot, run
# directly (as 'cedev reset' runs it in the device's sandbox), which writes the factory
# registry into a folder of the test's and leaves the file as it was. With --direct only
# the latter, which is quicker.
BOOTED=$TEST_DEVICES/$NAME.boot
# cedev-coldboot follows no link anywhere on a path, so it is given the device's real one.
REAL_HIVE="$(readlink -f "$CEDEV_DEVICE")/drive_c/Flash Disk/registry.dat"
expect_damaged() { # [--direct] LINES EXPECTED
    local commands=("cedev hive" "cedev-coldboot check" "cedev-coldboot boot") command body rc out f
    [ "$1" != --direct ] || { commands=("${commands[@]:1}") && shift; }
    IFS='^' read -r -a body <<<"$1"
    write_hive "$HEAD" "${body[@]}"
    cp "$HOST_HIVE" "$TEST_DEVICES/$NAME.bad"
    rm -rf "$BOOTED" && mkdir "$BOOTED"
    for command in "${commands[@]}"; do
        rc=0
        case $command in
        "cedev hive") out=$(cedev hive 2>&1 >/dev/null) || rc=$? ;;
        "cedev-coldboot check") out=$("$BIN/cedev-coldboot" check "$REAL_HIVE" '\Flash Disk\registry.dat' 2>&1 >/dev/null) || rc=$? ;;
        *) out=$("$BIN/cedev-coldboot" boot "$CEDEV_DEVICE/.cedev/factory" "$BOOTED" "$REAL_HIVE" '\Flash Disk\registry.dat' \
            2>&1 >/dev/null) || rc=$? ;;
        esac
        expect_eq "$rc" 3 "exit code of $command for [${1:0:60}]"
        expect_match "$out" "^cedev: \\\\Flash Disk\\\\registry.dat $2" "$command's report for [${1:0:60}]"
    done
    cmp -s "$HOST_HIVE" "$TEST_DEVICES/$NAME.bad" || fail "the cold boot changed the damaged hive [${1:0:60}]"
    for f in system.reg user.reg userdef.reg; do
        cmp -s "$BOOTED/$f" "$CEDEV_DEVICE/.cedev/factory/$f" ||
            fail "the cold boot did not write the factory $f after [${1:0:60}]"
    done
}

step "hive and reset read the saved registry with cedev-coldboot's reader: a damaged file is refused by its line"
# The reader's cases are the host tests' (tests/host); these show that the commands
# use it.
expect_damaged '[HKEY_LOCAL_MACHINE\Comm]^"Boot{U+0000}Count"=dword:00000001^'"$END" "line 3: a value name holds a NUL"
expect_damaged '[HKEY_CURRENT_USER\Software\ਪ一Ċ]^"ഊ{U+D800}{U+DC0A}"="ਪ一"^"x"="a\qb"^'"$END" \
    "line 4: a string has an escape other than"
rm -rf "$TEST_DEVICES/$NAME.bad" "$BOOTED"

step "one cold boot: names of every script and plane exactly, links where their parent key was saved"
# A name of each script, with the characters whose UTF-16 units hold the byte of a line
# break (U+010A, U+0A2A before U+4E00, U+0D0A), hex digits after a character beyond
# ASCII and a digit after a control character (which the device's registry files
# escape), marks, the byte-order mark, private and unassigned characters, a character
# of each plane beyond the first (its low surrogate ends in the byte of a line
# break) and a lone surrogate.
SCRIPTS=(café Ċ Ωμέγα Жук Բարև שלום سلام हिन्दी ਪ一 ഊ ไทย ქართ 한국 ひらがな 日本語 ሀሁ ᏣᎳᎩ ᠮᠣᠩ é1f 'e{U+0301}'
    '[x]' '{U+0001}7' 'tab{U+0009}x' '{U+200F}rtl' '{U+FEFF}bom' '{U+FFFD}' '{U+E000}' '{U+FFFF}' 😀 𐐷 𠀀
    '{U+D800}lone' "$WIDE_KEY256")
for plane in {1..16}; do
    SCRIPTS+=("$(printf 'p%d{U+%04X}{U+DC0A}' $plane $((0xD800 + (plane - 1) * 64)))")
done
# Each name is a key of its own and a value of the key above them, whose data is the
# name too; one more value has a name at the limit, in characters of the second plane.
WIDE_VALUE16383=$(printf '\xf0\xa0\x80\x80%.0s' {1..8191})v
lines=('[HKEY_CURRENT_USER\Software\Scripts]' "\"$WIDE_VALUE16383\"=\"wide\"")
for n in "${SCRIPTS[@]}"; do lines+=("\"$n\"=\"$n\""); done
for n in "${SCRIPTS[@]}"; do lines+=("[HKEY_CURRENT_USER\\Software\\Scripts\\$n]"); done
# The factory registry's links, the device's own structure, are left out of a save.
# Saved here: Software\Wow6432Node with Microsoft under it, and Software\Classes; not
# Software\Classes\Wow6432Node (as if deleted before the save), whose links must stay
# out. A saved key below a link, or naming a link in other letters, gives way to the
# link; a key whose name only begins with a link's is a key like any other.
lines+=('[HKEY_LOCAL_MACHINE\Software\Wow6432Node]' '[HKEY_LOCAL_MACHINE\Software\Wow6432Node\Microsoft]'
    '[HKEY_LOCAL_MACHINE\Software\Wow6432Node\Microsoft\RPC\Below]' '"Hidden"=dword:00000001'
    '[HKEY_LOCAL_MACHINE\SOFTWARE\wow6432node\microsoft\ole]' '"Hidden"=dword:00000001'
    '[HKEY_LOCAL_MACHINE\Software\Wow6432Node\Microsoft\RPCX]' '"Kept"=dword:00000001'
    '[HKEY_LOCAL_MACHINE\Software\Classes]' '[HKEY_CURRENT_USER\ControlPanel\QM410Key]')
write_hive "$HEAD" "${lines[@]}" "$END"
counts="$((${#SCRIPTS[@]} + 8)) keys, $((${#SCRIPTS[@]} + 4)) values"
expect_eq "$(cedev hive)" "\\Flash Disk\\registry.dat: reads back cleanly, $counts" "hive of names of every script"
expect_eq "$(cedev reset)" "cold boot: the registry saved in \\Flash Disk\\registry.dat ($counts)" "reset with links"

link_keys() { # REGFILE: the links it holds, one path a line
    awk '/^\[/ { key = $0; sub(/^\[/, "", key); sub(/\] [0-9]+$/, "", key) } /^#link$/ { print key }' "$1" | LC_ALL=C sort
}
expected=$(link_keys "$CEDEV_DEVICE/.cedev/factory/system.reg" | grep -E '^Software\\\\Wow6432Node\\\\(Microsoft\\\\)?[^\\]+$')
expect_match "$expected" 'Microsoft\\\\RPC' "the factory links this case counts on"
expect_eq "$(link_keys "$CEDEV_DEVICE/system.reg")" "$expected" "the links after the cold boot"
expect_eq "$(grep -ciE '^\[Software\\\\Wow6432Node\\\\Microsoft\\\\(OLE|RPC)[]\\]' "$CEDEV_DEVICE/system.reg")" 2 \
    "keys at or below the links OLE and RPC (the two links alone)"
grep -q '^\[Software\\\\Wow6432Node\\\\Microsoft\\\\RPCX\]' "$CEDEV_DEVICE/system.reg" || fail "the key RPCX was not restored"
expect_eq "$(reg_value 'HKLM\Software\Wow6432Node\Microsoft\RPCX' Kept)" "REG_DWORD 0x00000001" "the key beside the links"
# A link restored without its parent would bring that parent back.
for key in 'Wow6432Node\Wine' 'Wow6432Node\Microsoft\Cryptography'; do
    expect_error "no key" cedev reg query "HKLM\\Software\\$key"
done

# What 'reg query --json' must show: names and data in JSON's escapes, one object a line.
expected=$(/usr/bin/python3 -c 'import json, re, sys
def value(name, data):
    print("{\"name\":%s,\"type\":\"REG_SZ\",\"data\":%s}" % (json.dumps(name), json.dumps(data)))
names = [re.sub(r"\{U\+([0-9A-F]{4})\}", lambda m: chr(int(m.group(1), 16)), n) for n in sys.argv[2:]]
value(sys.argv[1], "wide")
for n in names:
    value(n, n)
    print("{\"subkey\":%s}" % json.dumps(n))' "$WIDE_VALUE16383" "${SCRIPTS[@]}" | LC_ALL=C sort)
actual=$(cedev reg query 'HKCU\Software\Scripts' --json | LC_ALL=C sort)
[ "$actual" == "$expected" ] || fail "names of every script after a cold boot (< expected, > actual):
$(diff <(echo "$expected") <(echo "$actual") | cut -c1-200 | head -n 12)"
# A lone surrogate has no UTF-8: reg export refuses it rather than write another name.
expect_error "lone surrogate, which UTF-8 cannot carry; nothing was written" cedev reg export 'HKCU\Software\Scripts'
# Back to the factory registry for what follows.
rm -f "$HOST_HIVE"
cedev reset >/dev/null

step "a saved registry is checked before it is read: too large, no registry, behind a link or no file, in one line"
cedev stop
# What a cold boot leaves when it refuses the file: the factory registry, the file kept.
expect_factory_boot() { # WHAT
    local f
    for f in system.reg user.reg userdef.reg; do
        cmp -s "$CEDEV_DEVICE/$f" "$CEDEV_DEVICE/.cedev/factory/$f" || fail "$1: $f is not the factory one"
    done
}
# The largest memory a command took, in MB, and its exit code.
peak_mb() { # COMMAND...
    /usr/bin/python3 -c 'import resource, subprocess, sys
rc = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss // 1024, rc)' "$@"
}
# 100 GB (sparse) behind a right start: refused by its size, never read.
write_hive "$HEAD" '[HKEY_LOCAL_MACHINE\Comm]' "$END"
truncate -s 100G "$HOST_HIVE"
CEDEV_BOUND=20 expect_error '^cedev: \\Flash Disk\\registry.dat is too large: 107374182400 bytes, over the 256 MiB' cedev hive
rc=0
out=$(CEDEV_BOUND=20 cedev reset 2>&1) || rc=$?
expect_eq "$rc" 3 "exit code of a cold boot with a 100 GB saved registry"
expect_match "$out" '^cedev: \\Flash Disk\\registry.dat is too large: .*; kept it, the device runs on its factory registry$' \
    "what the cold boot said"
expect_eq "$(stat -c %s "$HOST_HIVE")" 107374182400 "the size of the refused file"
expect_factory_boot "a 100 GB saved registry"
# 3 GB that are no registry at all: refused by the start, a few MB taken.
rm -f "$HOST_HIVE" && truncate -s 3G "$HOST_HIVE"
read -r mb rc <<<"$(peak_mb "$BIN/cedev-coldboot" boot "$CEDEV_DEVICE/.cedev/factory" "$CEDEV_DEVICE" "$REAL_HIVE")"
expect_eq "$rc" 3 "exit code of a cold boot with 3 GB of zeros"
[ "$mb" -lt 64 ] || fail "refusing 3 GB without a byte-order mark took $mb MB"
expect_factory_boot "3 GB of zeros"
expect_error 'registry.dat is damaged: it is not UTF-16 text with a byte-order mark' cedev hive
# A whole registry of 64 MB, and one that is a single 64 MB string: a cold boot takes
# about the file, twice it for the string, never the four times of a copy per step.
/usr/bin/python3 -c 'import sys
keys = "".join("[HKEY_LOCAL_MACHINE\\Software\\Big\\K%06d]\r\n\"Name\"=\"value %d, caf\u00e9\"\r\n\"Blob\"=hex:%s\r\n\r\n"
               % (i, i, ",".join("%02x" % (b & 255) for b in range(i % 40))) for i in range(150000))
line = "[HKEY_LOCAL_MACHINE\\Software\\Long]\r\n\"x\"=\"" + "\u00e9" * (32 << 20) + "\"\r\n"
for path, body in ((sys.argv[1], keys), (sys.argv[2], line)):
    open(path, "wb").write(b"\xff\xfe" + ("Windows Registry Editor Version 5.00\r\n\r\n" + body + "; End of registry\r\n").encode("utf-16-le"))' \
    "$TEST_DEVICES/$NAME.keys" "$TEST_DEVICES/$NAME.line"
mkdir -p "$BOOTED"
for kind in keys:1.3 line:2.3; do
    file=$TEST_DEVICES/$NAME.${kind%:*}
    size_mb=$(($(stat -c %s "$file") >> 20))
    read -r mb rc <<<"$(peak_mb "$BIN/cedev-coldboot" boot "$CEDEV_DEVICE/.cedev/factory" "$BOOTED" "$(readlink -f "$file")")"
    expect_eq "$rc" 0 "exit code of a cold boot with the ${kind%:*} file"
    awk -v mb="$mb" -v size="$size_mb" -v f="${kind#*:}" 'BEGIN { exit !(mb < size * f + 16) }' ||
        fail "a cold boot with a registry of $size_mb MB (${kind%:*}) took $mb MB, more than ${kind#*:} times it"
done
rm -rf "$TEST_DEVICES/$NAME.keys" "$TEST_DEVICES/$NAME.line" "$BOOTED"
# Behind a link anywhere on its path, or not a regular file: refused in one line.
mkdir -p "$CEDEV_DEVICE/drive_c/Flash Disk/real"
write_hive "$HEAD" '[HKEY_LOCAL_MACHINE\Comm]' "$END"
mv "$HOST_HIVE" "$CEDEV_DEVICE/drive_c/Flash Disk/real/x.dat"
ln -s real "$CEDEV_DEVICE/drive_c/Flash Disk/L"
expect_eq "$(cedev hive '\Flash Disk\real\x.dat')" '\Flash Disk\real\x.dat: reads back cleanly, 1 keys, 0 values' \
    "hive of the file itself"
expect_error "x.dat cannot be read: 'L' on its path is a link, which cedev does not follow" cedev hive '\Flash Disk\L\x.dat'
ln -s real/x.dat "$HOST_HIVE"
expect_error "registry.dat cannot be read: it is a link, which cedev does not follow" cedev hive
rm -rf "$CEDEV_DEVICE/drive_c/Flash Disk/L" "$CEDEV_DEVICE/drive_c/Flash Disk/real" "$HOST_HIVE"
/usr/bin/python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "$HOST_HIVE"
[ -S "$HOST_HIVE" ] || fail "no socket in place of the saved registry"
CEDEV_BOUND=20 expect_error "registry.dat cannot be read: it is not a regular file$" cedev hive
CEDEV_BOUND=20 expect_error "registry.dat is damaged: it cannot be read: it is not a regular file; kept it" cedev reset
expect_factory_boot "a socket as the saved registry"
rm -f "$HOST_HIVE"
# ---------------------------------------------------------------------------

step "errors are one clear line, with nothing left behind"
expect_error "unknown command 'frob'" cedev frob
expect_error "no device at /nonexistent/dev" cedev --device /nonexistent/dev windows
expect_error "--device needs a folder" cedev --device= windows
expect_error "device is off" cedev tap Nope
expect_error "no such program: /nonexistent.exe" cedev run /nonexistent.exe
expect_error "README.md is not a Windows program" cedev run "$SOURCE_DIR/README.md"
expect_error "already exists" cedev init
expect_error "no program was started" cedev wait exit
for bad in 5s -1 1e3 inf 3601; do
    expect_error "plain number of seconds from 0 to 3600" cedev wait window Nope --timeout "$bad"
done
readonly_parent=$TEST_DEVICES/$NAME.readonly
mkdir -p "$readonly_parent" && chmod 555 "$readonly_parent"
if ! touch "$readonly_parent/probe" 2>/dev/null; then
    expect_error "cannot create the device folder" cedev --device "$readonly_parent/dev" init
    expect_eq "$(ls -A "$readonly_parent")" "" "what init left under a read-only parent"
fi
rm -rf "$readonly_parent"
cedev put "$SOURCE_DIR/README.md" '\Flash Disk'
expect_error "is not a Windows program" cedev run '\Flash Disk\README.md'
cedev rm '\Flash Disk\README.md'
expect_error "no such program on the device" cedev run '\Windows\nonexistent.exe'
cedev run --detach "$PROG"
wait_program
expect_error 'no control shows "Nope"' cedev tap Nope
expect_error "off the screen" cedev tap 240,10
expect_error "unknown key" cedev key alt+nope
expect_error "timed out waiting for window \"Nope\"" cedev wait window Nope --timeout 0.2
expect_error "no message box" cedev box
cedev key alt+f4
expect_eq "$(exit_code)" 0 "exit code"
expect_error "does not start with a root key" cedev reg query 'HKXX\Comm'
expect_error "no key 'HKLM\\\\Nope'" cedev reg query 'HKLM\Nope'
expect_error "no value 'Nope'" cedev reg query 'HKLM\Comm' Nope
expect_error "unknown type" cedev reg set 'HKLM\Comm' X REG_FLOAT 1
expect_error "not valid data for REG_DWORD" cedev reg set 'HKLM\Comm' X REG_DWORD 0x100000000
expect_error "not a device path" cedev ls 'Z:\'
expect_error "no such file or folder" cedev ls '\Nope'
expect_error "refusing to remove the device's root" cedev rm -r '\'
expect_error "no such file: /nonexistent" cedev put /nonexistent '\Flash Disk'
expect_error "not a device path" cedev hive 'Z:\registry.dat'
expect_error "leaves the device" cedev hive '\..\registry.dat'
expect_error '\\Nope.dat: no such file' cedev hive '\Nope.dat'
rm -rf "$TEST_DEVICES/$NAME.plain"
mkdir -p "$TEST_DEVICES/$NAME.plain"
touch "$TEST_DEVICES/$NAME.plain/keep"
expect_error "is not a device; not touching it" cedev --device "$TEST_DEVICES/$NAME.plain" init --force
[ -f "$TEST_DEVICES/$NAME.plain/keep" ] || fail "init touched a folder that is not a device"
rm -rf "$TEST_DEVICES/$NAME.plain"

step "commands that succeed print nothing on stderr"
errors=$( {
    cedev stop
    cedev reg set 'HKLM\Software\RegSaveTest' Quiet REG_SZ yes
    cedev run "$PROG" --detach
    cedev wait window Registry
    cedev windows
    cedev screenshot "$TEST_DEVICES/$NAME.png"
    cedev tap Save
    cedev wait box
    cedev tap OK
    cedev wait exit
    cedev hive
    cedev reg export 'HKLM\Comm'
    cedev ls '\Flash Disk'
} 2>&1 >/dev/null)
rm -f "$TEST_DEVICES/$NAME.png"
expect_eq "$errors" "" "stderr of successful commands"

step "--detach works before or after the program"
cedev run "$PROG" --detach
wait_program
cedev key alt+f4
expect_eq "$(exit_code)" 0 "exit code"

step "the device has no drive but C: and no link out"
expect_eq "$(ls "$CEDEV_DEVICE/dosdevices" | grep -E '^[a-z]:$')" "c:" "drives of the device"
links=$(find "$CEDEV_DEVICE/drive_c" -type l | head -n 3)
[ -z "$links" ] || fail "the device links out to the host: $links"

step "files go in and out of the device"
printf 'hello' >"$TEST_DEVICES/$NAME.txt"
cedev put "$TEST_DEVICES/$NAME.txt" '\Flash Disk'
expect_match "$(cedev ls '\Flash Disk' | grep "$NAME")" "^ +5  $NAME.txt$" "listing after put"
cedev rm "\\Flash Disk\\$NAME.txt"
expect_eq "$(cedev ls '\Flash Disk' | grep "$NAME")" "" "listing after rm"
rm -f "$TEST_DEVICES/$NAME.txt"

step "a damaged saved registry is reported and kept; the device boots its factory registry"
cedev reg set 'HKLM\Software\RegSaveTest' Marker REG_SZ saved
start_program
tap_and_expect_box Save "Save OK" "$SAVED"
# Cut the file short, as a copy interrupted halfway would.
truncate -s 100000 "$HOST_HIVE"
cp "$HOST_HIVE" "$TEST_DEVICES/$NAME.cut"
rc=0
out=$(cedev reset 2>&1) || rc=$?
expect_eq "$rc" 3 "exit code of reset with a damaged hive"
expect_match "$out" '^cedev: \\Flash Disk\\registry.dat line [0-9]+: .*; kept it, the device runs on its factory' \
    "reset's report"
cmp -s "$HOST_HIVE" "$TEST_DEVICES/$NAME.cut" || fail "reset changed the damaged hive"
rm -f "$TEST_DEVICES/$NAME.cut"
expect_error "no key" cedev reg query 'HKLM\Software\RegSaveTest'
expect_eq "$(reg_value 'HKLM\Comm' BootCount)" "REG_DWORD 0x00000001" "BootCount of the factory registry"

step "a whole saved registry is applied whole, names at the registry's limits included"
cedev stop
KEY257=$(printf 'k%.0s' {1..257})
VALUE16384=$(printf 'v%.0s' {1..16384})
# Names at the registry's limits, and nothing left of the factory registry but them.
write_hive "$HEAD" "[HKEY_LOCAL_MACHINE\\Software\\${KEY257:1}]" "\"${VALUE16384:1}\"=dword:0000002a" \
    '[HKEY_CURRENT_USER\ControlPanel\QM410Key]' "$END"
expect_eq "$(cedev hive)" '\Flash Disk\registry.dat: reads back cleanly, 2 keys, 1 values' "hive of a whole file"
expect_eq "$(cedev reset)" 'cold boot: the registry saved in \Flash Disk\registry.dat (2 keys, 1 values)' \
    "reset of a whole file"
expect_eq "$(reg_value "HKLM\\Software\\${KEY257:1}" "${VALUE16384:1}")" "REG_DWORD 0x0000002a" "value at the limits"
expect_error "no key" cedev reg query 'HKLM\Comm'
expect_error "no value" cedev reg query 'HKCU\ControlPanel\QM410Key' KBD/SCAN

step "--json gives one object a line, its strings in JSON's escapes"
cedev reg set 'HKCU\Software\RegSaveTest' Odd REG_SZ $'tab\t"q" \\ café ☺ \x01'
cedev reg set 'HKCU\Software\RegSaveTest' List REG_MULTI_SZ 'a\0\0b'
cedev reg set 'HKCU\Software\RegSaveTest\Sub' '@' REG_DWORD 4294967295
expect_eq "$(cedev reg query 'HKCU\Software\RegSaveTest' --json)" '{"name":"List","type":"REG_MULTI_SZ","data":["a","","b"]}
{"name":"Odd","type":"REG_SZ","data":"tab\t\"q\" \\ caf\u00e9 \u263a \u0001"}
{"subkey":"Sub"}' "reg query --json"
expect_eq "$(cedev reg query --json 'HKCU\Software\RegSaveTest\Sub' @)" '{"name":"","type":"REG_DWORD","data":4294967295}' \
    "reg query --json of the default value"
expect_eq "$(cedev reg query 'HKCU\Software\RegSaveTest' Odd --json | /usr/bin/python3 -c 'import json, sys
print(json.load(sys.stdin)["data"] == sys.argv[1])' $'tab\t"q" \\ café ☺ \x01')" True "the string as JSON reads it"
start_program
expect_match "$(cedev windows --json | grep '"text":"Delete"')" \
    '^\{"type":"control","window":"Registry","id":111,"text":"Delete","class":"Button","x":5,"y":33,"w":76,"h":25,"screen_x":83,"screen_y":170,.*"enabled":true,' \
    "windows --json"
cedev tap Delete
cedev wait box
expect_match "$(cedev box --json)" '^\{"caption":"Delete OK","text":"Registry Delete Complete!","x":-?[0-9]+,"y":-?[0-9]+,"w":[1-9][0-9]*,"h":[1-9][0-9]*\}$' \
    "box --json"
