#!/usr/bin/env bash
# A device is sealed: what runs inside it reaches neither the host's files, the host's
# network, the device's own records nor another device, whatever it names, and cedev
# never touches a file outside the place it was given, nor the device's own folders.
. "$(dirname "$0")/lib.sh"

CMD='\Windows\system32\cmd.exe'
HOSTDIR=$TEST_DEVICES/$NAME.host
MARK=cedev-escape-$$
rm -rf "$HOSTDIR" && mkdir -p "$HOSTDIR" && echo precious >"$HOSTDIR/keep.txt"
trap 'rm -rf "$HOSTDIR" "/tmp/$MARK".*; cleanup' EXIT

# Runs cmd.exe inside the device; prints what it said.
device_cmd() {
    cedev run "$CMD" /c "$1" 2>&1 || true
}

# What a device program writes to /tmp lands in the device's own /tmp.
expect_sealed() { # NAME WHAT
    [ ! -e "/tmp/$1" ] || fail "$2 reached the host: /tmp/$1 exists"
    [ -e "$CEDEV_DEVICE/.cedev/tmp/$1" ] || fail "$2 did not happen at all, so it proves nothing"
}

# ---------------------------------------------------------------------------
step "the device sees none of its own records, and no network but its own"
# Its records (DIR/.cedev: the factory registry, what the device is, its log, the
# view's socket) are hidden; a program may write where they would be, and nothing
# reaches them. The device's own registry files beside them prove that the way of
# naming them works.
RECORDS="$CEDEV_DEVICE/.cedev"
records_before=$(cd "$RECORDS" && md5sum device factory/system.reg factory/user.reg)
seen=$(device_cmd 'type \\?\unix\device\userdef.reg & type \\?\unix\device\.cedev\factory\system.reg & type \\?\unix\device\.cedev\device & echo x>> \\?\unix\device\.cedev\factory\system.reg & echo other> \\?\unix\device\.cedev\device')
expect_match "$seen" "^WINE REGISTRY Version 2" "the device's own registry file, read from inside"
expect_eq "$(grep -c -e '^WINE REGISTRY' -e '^target' <<<"$seen")" 1 "records of the device read from inside"
expect_eq "$(cd "$RECORDS" && md5sum device factory/system.reg factory/user.reg)" "$records_before" \
    "the device's records after writes from inside"
# A port that listens on the host's loopback is out of reach; the device's own
# loopback works. The listener ends when its input does.
coproc LISTENER { exec /usr/bin/python3 -c 'import socket, sys
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(); print(s.getsockname()[1], flush=True); sys.stdin.read()'; }
# bash forgets a coprocess's id once it is reaped: kept here, for the wait below.
listener=$LISTENER_PID
read -r -t 20 port <&"${LISTENER[0]}" || fail "no port listening on the host's loopback"
bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$1"' _ "$port" || fail "the host cannot reach its own port $port, so the probe proves nothing"
expect_eq "$(cedev run "$TEST_BIN/netprobe.exe" 127.0.0.1 "$port" | tr -d '\r')" "self: connected
127.0.0.1:$port: not reached (error 10061)" "connections from inside the device"
exec {LISTENER[1]}>&-
wait "$listener" || true

step "rm -r refuses a folder with a link inside, removing nothing; put takes a name of any script, never a control character"
# A link inside a folder stops its removal before anything goes, whatever comes before it.
TREE="$CEDEV_DEVICE/drive_c/Flash Disk/tree"
mkdir -p "$TREE/a" "$TREE/sub" && echo 1 >"$TREE/a/file.txt" && echo 2 >"$TREE/z.txt"
ln -s ../../../windows/Fonts "$TREE/sub/fonts"
device_owns "$TREE"
fonts=$(ls "$CEDEV_DEVICE/drive_c/windows/Fonts")
expect_error 'nothing removed: .*\\sub\\fonts is a link' cedev rm -r '\Flash Disk\tree'
[ -L "$TREE/sub/fonts" ] || fail "rm -r removed the link inside the folder"
[ -f "$TREE/a/file.txt" ] && [ -f "$TREE/z.txt" ] || fail "rm -r removed files of a folder it refused"
expect_eq "$(ls "$CEDEV_DEVICE/drive_c/windows/Fonts")" "$fonts" "\\Windows\\Fonts after rm -r of a folder linking to it"
rm -rf "$TREE"
PUTS=$TEST_DEVICES/$NAME.put
mkdir -p "$PUTS"
for bad in $'ctl\x01' $'line\nbreak' 'a:b' '...'; do
    printf x >"$PUTS/$bad"
    expect_error "cannot hold" cedev put "$PUTS/$bad" '\Flash Disk'
done
# Names of every script are names like any other.
good='naïve Жук ਪ一 日本 😀 𠀀.txt'
printf 'x' >"$PUTS/$good"
cedev put "$PUTS/$good" '\Flash Disk'
expect_match "$(cedev ls '\Flash Disk')" " +1  $good" "listing after put of $good"
cedev rm "\\Flash Disk\\$good"
rm -rf "$PUTS"

step "a trailing separator or a short name is still one of the device's own folders"
# The short name is the one the device's file system makes.
short=$(device_cmd 'dir /x C:\' | sed -n 's/.*<DIR> *\([^ ]*~[^ ]*\) *Flash Disk\r\?$/\1/p')
[ -n "$short" ] || fail "no short name of \\Flash Disk"
for path in '\Flash Disk\' '\Program Files\\' '\WINDOWS\Fonts\' '\users\.\' '\ProgramData/' '\Program Files (x86)' \
    "\\${short,,}\\"; do
    expect_error "refusing to remove" cedev rm -r "$path"
done
for folder in 'Flash Disk' 'Program Files' 'windows/Fonts' users ProgramData 'Program Files (x86)'; do
    [ -d "$CEDEV_DEVICE/drive_c/$folder" ] || fail "\\$folder was removed"
done
# ---------------------------------------------------------------------------

step "host files cannot be read, written or run from inside"
expect_match "$(device_cmd 'type \\?\unix\etc\hostname')" "Failed to open" "reading a host file"
device_cmd "echo x> \\\\?\\unix\\tmp\\$MARK.written" >/dev/null
expect_sealed "$MARK.written" "a write to \\\\?\\unix\\tmp"
device_cmd "start /wait /unix /usr/bin/touch /tmp/$MARK.touched" >/dev/null
expect_sealed "$MARK.touched" "a host program started from inside"
device_cmd "mklink /H C:\\hardlink \\\\?\\unix$HOSTDIR\\keep.txt" >/dev/null
expect_error "no such file" cedev ls '\hardlink'
expect_match "$(device_cmd 'echo x> \\.\COM1')" "File not found" "the host's serial port"

step "a saved registry that runs host commands at the next start runs them sealed"
for key in RunOnce RunServices; do
    cedev reg set "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\$key" Escape REG_SZ \
        "\\\\?\\unix\\usr\\bin\\touch /tmp/$MARK.$key"
done
start_program
tap_and_expect_box Save "Save OK" "$SAVED"
cedev reset >/dev/null
start_program
cedev key alt+f4
expect_eq "$(exit_code)" 0 "exit code"
for key in RunOnce RunServices; do
    expect_sealed "$MARK.$key" "a $key command of the saved registry"
done

step "cedev follows no link out of the device: rm removes the link itself"
ln -s "$HOSTDIR" "$CEDEV_DEVICE/drive_c/Flash Disk/hostlink"
ln -s ../windows "$CEDEV_DEVICE/drive_c/Flash Disk/winlink"
expect_error "is a link" cedev ls '\Flash Disk\winlink\Fonts'
printf 'x' >"$TEST_DEVICES/$NAME.txt"
expect_error "is a link" cedev put "$TEST_DEVICES/$NAME.txt" '\Flash Disk\winlink'
expect_error "is a link" cedev rm '\Flash Disk\winlink\win.ini'
cedev rm -r '\Flash Disk\hostlink'
cedev rm -r '\Flash Disk\winlink'
[ ! -L "$CEDEV_DEVICE/drive_c/Flash Disk/hostlink" ] && [ ! -L "$CEDEV_DEVICE/drive_c/Flash Disk/winlink" ] ||
    fail "rm left a link"
expect_eq "$(ls "$HOSTDIR")" "keep.txt" "the host folder behind a link"
[ -f "$CEDEV_DEVICE/drive_c/windows/win.ini" ] || fail "a removal went through a link into \\Windows"

step "a host file name is one device name, never a path"
cp "$TEST_DEVICES/$NAME.txt" "$TEST_DEVICES/..\\..\\Windows\\evil.txt"
expect_error "cannot hold" cedev put "$TEST_DEVICES/..\\..\\Windows\\evil.txt" '\Flash Disk'
rm -f "$TEST_DEVICES/..\\..\\Windows\\evil.txt" "$TEST_DEVICES/$NAME.txt"
expect_error "no such file" cedev ls '\Windows\evil.txt'

step "paths are normalised before any check: the root and the device's own folders stay"
for path in '\.' '\Flash Disk\..' '\Flash Disk\\..\.' '\windows/../' '\Windows.' '\WINDOWS\Fonts' '\Flash Disk' \
    '\Program Files\..\Program Files'; do
    expect_error "refusing to remove" cedev rm -r "$path"
done
cedev ls "$HIVE" >/dev/null
cedev ls '\Program Files\RegSave.exe' >/dev/null

step "what devices share with the template is read-only to them"
template=$(ls -d "$BIN"/../cache/prefix-*/drive_c/windows/system32/drivers/etc/hosts | head -n 1)
before=$(md5sum <"$template")
expect_match "$(device_cmd 'echo x>> C:\windows\system32\drivers\etc\hosts')" "Access denied" "a write to a shared file"
expect_error "read-only" cedev rm '\Windows\system32\drivers\etc\hosts'
expect_eq "$(md5sum <"$template")" "$before" "the template's hosts file"
expect_eq "$(md5sum <"$CEDEV_DEVICE/drive_c/windows/system32/drivers/etc/hosts")" "$before" "the device's hosts file"

step "names show their format characters escaped, put takes only names rm can name, reg export keeps names as they are"
NAMES=$HOSTDIR/names
mkdir -p "$NAMES"
# A right-to-left override makes "evil<RLO>txt.exe" look like "evilexe.txt".
RLO=$'\xe2\x80\xae' ZWSP=$'\xe2\x80\x8b'
printf x >"$NAMES/evil${RLO}txt.exe"
cedev put "$NAMES/evil${RLO}txt.exe" '\Flash Disk'
listing=$(cedev ls '\Flash Disk')
expect_match "$listing" ' +1  evil\\u202etxt\.exe' "ls of a name with a right-to-left override"
! grep -q "$RLO" <<<"$listing" || fail "ls passed a right-to-left override raw"
cedev rm "\\Flash Disk\\evil${RLO}txt.exe"
# cedev-seal's own message names what the user gave, escaped the same way.
out=$(cedev rm "\\Flash Disk\\none${ZWSP}x" 2>&1) && fail "rm of a missing file succeeded"
expect_eq "$out" 'cedev: \Flash Disk\none\u200bx: no such file or folder' "rm's message for a name with a zero-width space"
cedev reg set "HKCU\\Software\\RegSaveTest\\zero${ZWSP}width" "bidi${RLO}" REG_SZ "a${RLO}b"$'\xe2\x80\xa8'c
expect_match "$(cedev reg query 'HKCU\Software\RegSaveTest')" '(^|'$'\n'')zero\\u200bwidth\\$' "a subkey with a zero-width space"
expect_eq "$(cedev reg query "HKCU\\Software\\RegSaveTest\\zero${ZWSP}width")" 'bidi\u202e REG_SZ a\u202eb\u2028c' \
    "a value with a right-to-left override and a line separator"
expect_eq "$(cedev reg query "HKCU\\Software\\RegSaveTest\\zero${ZWSP}width" --json)" \
    '{"name":"bidi\u202e","type":"REG_SZ","data":"a\u202eb\u2028c"}' "the same as JSON"
# A name that is not UTF-8 is refused at put, in one line: no command could name it again.
printf x >"$NAMES/caf"$'\xe9'".txt"
expect_error "not UTF-8 text" cedev put "$NAMES/caf"$'\xe9'".txt" '\Flash Disk'
expect_eq "$(ls "$CEDEV_DEVICE/drive_c/Flash Disk" | grep -c caf || true)" 0 "files put under a name that is not UTF-8"
# reg export is regedit's syntax with names as they are: escaped only on a terminal,
# and what it writes to a file imports back to the same names and data.
ESC=$'\x1b'
KEY="HKCU\\Software\\RegSaveExport\\Esc${ESC}[31mRed"
cedev reg set "$KEY" "Name${ESC}" REG_SZ "value"
cedev reg set "$KEY" "Count${ESC}]" REG_DWORD 7
cedev reg export 'HKCU\Software\RegSaveExport' >"$NAMES/export.reg"
grep -aq "^\\[HKEY_CURRENT_USER\\\\Software\\\\RegSaveExport\\\\Esc${ESC}\\[31mRed\\]"$'\r$' "$NAMES/export.reg" ||
    fail "the key's name in the export: $(grep -a Esc "$NAMES/export.reg" | od -c | head -n 3)"
! grep -aq '\\x1b' "$NAMES/export.reg" || fail "the export holds an escaped name"
on_tty=$(timeout -k 5 45 script -qec "$(printf '%q ' "$CEDEV" reg export 'HKCU\Software\RegSaveExport')" /dev/null)
[[ $on_tty == *'Esc\x1b[31mRed]'* && $on_tty != *"$ESC"* ]] || fail "the export on a terminal: $(od -c <<<"$on_tty" | head -n 8)"
before=$(cedev reg query "$KEY")
expect_eq "$before" 'Count\x1b] REG_DWORD 0x00000007
Name\x1b REG_SZ value' "the values before the export"
cedev reg delete 'HKCU\Software\RegSaveExport'
cedev put "$NAMES/export.reg" '\Flash Disk'
cedev run '\Windows\regedit.exe' /s '\Flash Disk\export.reg'
expect_eq "$(cedev reg query "$KEY")" "$before" "the key imported from the export"
# A key name with a line break has no place in regedit's syntax: refused, not written otherwise.
cedev reg set "HKCU\\Software\\RegSaveTest\\Line"$'\n'"Break" v REG_SZ x
expect_error "the key 'HKEY_CURRENT_USER\\\\Software\\\\RegSaveTest\\\\Line\\\\nBreak' has a line break in its name, which regedit's syntax cannot carry; nothing was written" \
    cedev reg export 'HKCU\Software\RegSaveTest'
cedev reg delete "HKCU\\Software\\RegSaveTest\\Line"$'\n'"Break"
rm -rf "$NAMES"
