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
