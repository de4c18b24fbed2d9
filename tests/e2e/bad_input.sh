#!/usr/bin/env bash
# Input that cedev must refuse in one line, or handle right, with the user's data left
# as it was: whole registries and the device's own folders, long names and paths, a
# Wine server that died, a cold boot under a running program, host paths for device
# paths and names of the system's devices.
. "$(dirname "$0")/lib.sh"

HOSTFILE=$TEST_DEVICES/$NAME.file
trap 'rm -rf "$HOSTFILE" "$TEST_DEVICES/$NAME".*; cleanup' EXIT
echo data >"$HOSTFILE"

step "a user's whole registry and the device's own folders are refused, with nothing deleted"
cedev reg set 'HKCU\Software\RegSaveTest' Keep REG_SZ kept
for key in 'HKU\S-1-5-21-0-0-0-1000' 'HKEY_USERS\S-1-5-21-0-0-0-1000\' 'HKU\\S-1-5-21-0-0-0-1000' 'HKU\.DEFAULT'; do
    expect_error "refusing to delete a user's whole registry" cedev reg delete "$key"
done
expect_eq "$(reg_value 'HKCU\Software\RegSaveTest' Keep)" "REG_SZ kept" "HKCU after the refusals"
users=$(find "$CEDEV_DEVICE/drive_c/users" | wc -l)
for path in '\users\user' '\users\Public' '\USERS\user\' '\users'; do
    expect_error "refusing to remove .*one of the device's own folders" cedev rm -r "$path"
done
expect_eq "$(find "$CEDEV_DEVICE/drive_c/users" | wc -l)" "$users" "files under \\users after the refusals"

step "long names and paths: a 250-character name goes in, a path past the limit is one line"
long=$(printf 'n%.0s' {1..246}).txt
cp "$HOSTFILE" "$TEST_DEVICES/$long"
cedev put "$TEST_DEVICES/$long" '\Flash Disk'
rm -f "$TEST_DEVICES/$long"
expect_match "$(cedev ls "\\Flash Disk\\$long")" " 5  $long\$" "the 250-character name in the device"
cedev rm "\\Flash Disk\\$long"
huge='\Flash Disk\'$(printf 'p%.0s' {1..33000})
for cmd in ls rm; do
    expect_error "takes at most 32000" cedev $cmd "$huge"
done
expect_error "takes at most 32000" cedev put "$HOSTFILE" "$huge"
expect_error "longer than 255 bytes" cedev put "$HOSTFILE" "\\Flash Disk\\$(printf 'q%.0s' {1..300})"

step "a host path or a system device's name is not taken for a device file"
for path in /tmp /Flash\ Disk; do
    expect_error "not a device path" cedev put "$HOSTFILE" "$path"
done
expect_error "no such file or folder" cedev ls '\tmp'
mkdir -p "$TEST_DEVICES/$NAME.names"
for name in con NUL.txt com1 lpt9.log aux; do
    cp "$HOSTFILE" "$TEST_DEVICES/$NAME.names/$name"
    expect_error "name the system's devices, not files" cedev put "$TEST_DEVICES/$NAME.names/$name" '\Flash Disk'
done
expect_error "name the system's devices, not files" cedev put "$HOSTFILE" '\Flash Disk\con'

step "after the device's Wine server was killed, registry commands say so instead of starting afresh"
for cmd in "reg query HKLM\\Comm BootCount" "reg set HKLM\\Comm BootCount REG_DWORD 9"; do
    cedev reg set 'HKLM\Software\RegSaveTest' Before REG_SZ kill
    server=$(device_pids '^(/usr/lib/wine/)?wineserver')
    kill -KILL $server
    # A killed process is gone once the kernel has run it down: until then it runs.
    wait_until 10 "the killed Wine server to end" eval '! grep -qv "^[^)]*) [ZX]" "/proc/$server/stat" 2>/dev/null'
    expect_error "Wine server had been ended from outside" cedev $cmd
    [ ! -e "$CEDEV_DEVICE/.cedev/session" ] || fail "'cedev $cmd' left the broken device running"
done
expect_eq "$(reg_value 'HKLM\Comm' BootCount)" "REG_DWORD 0x00000001" "BootCount, which neither command changed"

step "a cold boot under a program run in the foreground ends it with one line of cedev's"
cedev run "$TEST_BIN/holder.exe" '\Windows\win.ini' >"$TEST_DEVICES/$NAME.out" 2>"$TEST_DEVICES/$NAME.err" &
runner=$!
cedev run "$TEST_BIN/holder.exe" --held
cedev reset >/dev/null
rc=0
wait $runner || rc=$?
[ $rc != 0 ] || fail "a program ended by a cold boot reported success"
expect_eq "$(cat "$TEST_DEVICES/$NAME.err")" "cedev: $TEST_BIN/holder.exe was ended: the device was stopped or cold-booted while it ran" \
    "what the foreground run said"

step "a cold boot that cannot replace a registry file names it by its place on the host"
cedev stop
mv "$CEDEV_DEVICE/userdef.reg" "$TEST_DEVICES/$NAME.userdef"
mkdir "$CEDEV_DEVICE/userdef.reg"
expect_error "^cedev: cannot replace the device's registry file $CEDEV_DEVICE/userdef.reg: it is not a regular file; nothing was changed \(move it away, or make the device anew with 'cedev init --force'\)$" \
    cedev reset
rmdir "$CEDEV_DEVICE/userdef.reg"
mv "$TEST_DEVICES/$NAME.userdef" "$CEDEV_DEVICE/userdef.reg"
cedev reset >/dev/null

step "reg delete takes a key whole, deleting links as links, or says how much it deleted and what stopped it"
# Links below a key lead elsewhere: what they lead to stays, as does the target of a
# key that is itself a link.
targets=('HKLM\Software\Classes\Wow6432Node' 'HKLM\Software\Microsoft\Clients'
    'HKLM\Software\Microsoft\Cryptography\Calais\Readers' 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\Time Zones')
before=$(for key in "${targets[@]}"; do cedev reg query "$key"; done)
[ "$(wc -l <<<"$before")" -gt 20 ] || fail "the keys the links lead to hold too little to prove anything: $before"
cedev reg delete 'HKLM\Software\Wow6432Node'
cedev reg delete 'HKLM\Software\Microsoft\Windows\CurrentVersion\Time Zones'
for key in 'HKLM\Software\Wow6432Node' 'HKLM\Software\Microsoft\Windows\CurrentVersion\Time Zones'; do
    expect_error "no key" cedev reg query "$key"
done
expect_eq "$(for key in "${targets[@]}"; do cedev reg query "$key"; done)" "$before" "the keys the deleted links led to"
# Wine's registry will not delete Perflib\009 (it opens as a handle of its own): a
# deletion of what holds it stops there and says so, and never calls the key missing.
rc=0
out=$(cedev reg delete 'HKLM\Software' 2>&1) || rc=$?
expect_eq "$rc" 1 "exit code of a deletion that stopped"
expect_match "$out" "^cedev: deleted ([0-9]+) of the ([0-9]+) keys of 'HKLM\\\\Software', then stopped: 'HKLM\\\\Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion\\\\Perflib\\\\009' cannot be deleted \(error 6: [^)]*\); the other ([0-9]+) are still there$" \
    "what the stopped deletion said"
[ $((BASH_REMATCH[1] + BASH_REMATCH[3])) = "${BASH_REMATCH[2]}" ] && [ "${BASH_REMATCH[1]}" -gt 1000 ] ||
    fail "the counts of the stopped deletion do not add up: $out"
cedev reg query 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\Perflib' >/dev/null
expect_error "no key" cedev reg query 'HKLM\Software\Classes'
cedev reset >/dev/null
expect_eq "$(reg_value 'HKLM\Comm' BootCount)" "REG_DWORD 0x00000001" "BootCount after the cold boot"
