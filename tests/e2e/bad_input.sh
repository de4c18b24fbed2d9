#!/usr/bin/env bash
# Input that cedev must refuse in one line, or handle right, with the user's data left
# as it was: whole registries and the device's own folders, long names and paths, a
# Wine server that died, a cold boot under a running program, host paths for device
# paths and names of the system's devices.
. "$(dirname "$0")/lib.sh"

HOSTFILE=$TEST_DEVICES/$NAME.file
trap 'stop_devices; rm -rf "$HOSTFILE" "$TEST_DEVICES/$NAME".*; cleanup' EXIT
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

step "a cold boot or a stop under a program run in the foreground ends it with one line of cedev's"
for ender in reset stop; do
    cedev run "$TEST_BIN/holder.exe" '\Windows\win.ini' >"$TEST_DEVICES/$NAME.out" 2>"$TEST_DEVICES/$NAME.err" &
    runner=$!
    cedev run "$TEST_BIN/holder.exe" --held
    cedev $ender >/dev/null
    rc=0
    wait $runner || rc=$?
    [ $rc != 0 ] || fail "a program ended by 'cedev $ender' reported success"
    expect_eq "$(cat "$TEST_DEVICES/$NAME.err")" "cedev: $TEST_BIN/holder.exe was ended: the device was stopped or cold-booted while it ran" \
        "what the foreground run said of 'cedev $ender'"
done

step "a detached program, and the handheld's own image, ended by a stop say so too"
cedev run --detach "$TEST_BIN/holder.exe" '\Windows\win.ini'
cedev run "$TEST_BIN/holder.exe" --held
cedev stop
expect_error "the program was ended: the device was stopped or cold-booted while it ran" cedev wait exit
cedev run "$CE_ARM/RegSave.exe" >/dev/null 2>"$TEST_DEVICES/$NAME.err" &
runner=$!
wait_until 40 "the handheld's image to show its window" eval 'cedev wait window Registry --timeout 1 2>/dev/null'
cedev stop
rc=0
wait $runner || rc=$?
[ $rc != 0 ] || fail "the handheld's image ended by a stop reported success"
expect_match "$(cat "$TEST_DEVICES/$NAME.err")" "^cedev: .*RegSave\.exe was ended: the device was stopped or cold-booted while it ran$" \
    "what the handheld's image run in the foreground said"

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

step "what cedev is given wrongly is one line naming it: a folder, a device or a FIFO to put, a program cut short, an option for a program, a command line too long"
expect_error "$TEST_DEVICES is a folder; put copies one file" cedev put "$TEST_DEVICES" '\Flash Disk'
expect_error "/dev/null is not a regular file" cedev put /dev/null '\Flash Disk'
mkfifo "$TEST_DEVICES/$NAME.fifo"
expect_error "$NAME.fifo is not a regular file" cedev put "$TEST_DEVICES/$NAME.fifo" '\Flash Disk'
head -c 3000 "$BIN/RegSave.exe" >"$TEST_DEVICES/$NAME.cut.exe"
expect_error "$NAME.cut.exe is cut short: its sections run past the end of the file" cedev run "$TEST_DEVICES/$NAME.cut.exe"
cedev put "$TEST_DEVICES/$NAME.cut.exe" '\Flash Disk'
expect_error "cut short" cedev run "\\Flash Disk\\$NAME.cut.exe"
expect_error "run: unknown option '-x.exe'" cedev run -x.exe
expect_error "a command line in the device holds at most 32000" cedev run '\Windows\system32\cmd.exe' /c "$(printf 'a%.0s' {1..40000})"
expect_error "a command line in the device holds at most 32000" cedev run '\Windows\system32\cmd.exe' /c $(seq 1 20000)

step "a copy interrupted by Ctrl+C leaves nothing behind in the device"
big=$TEST_DEVICES/$NAME.big
head -c $((400 << 20)) /dev/zero >"$big"
timeout 60 "$CEDEV" put "$big" '\Flash Disk' 2>/dev/null &
putter=$!
wait_until 20 "the copy to be under way" eval 'compgen -G "$CEDEV_DEVICE/drive_c/Flash Disk/.cedev-put-*" >/dev/null'
kill -INT $putter
rc=0
wait $putter || rc=$?
[ $rc != 0 ] || fail "an interrupted put succeeded"
wait_until 10 "the interrupted copy to go" eval '! compgen -G "$CEDEV_DEVICE/drive_c/Flash Disk/.cedev-put-*" >/dev/null'
[ ! -e "$CEDEV_DEVICE/drive_c/Flash Disk/$NAME.big" ] || fail "an interrupted put left the file in place"
rm -f "$big"

step "the device's core library and driver libraries come back as the build made them at its next start"
cedev put "$BIN/cedev-driver.dll" '\Windows\COREDLL.dll'
cedev put "$BIN/COREDLL.dll" '\Windows\KeyRelay.dll'
cedev stop
start_program
cedev key alt+f4
expect_eq "$(exit_code)" 0 "RegSave's exit code after its core library was replaced"
cmp -s "$BIN/COREDLL.dll" "$CEDEV_DEVICE/drive_c/windows/COREDLL.dll" || fail "\\Windows\\COREDLL.dll was not restored"
cmp -s "$BIN/cedev-driver.dll" "$CEDEV_DEVICE/drive_c/windows/KeyRelay.dll" || fail "\\Windows\\KeyRelay.dll was not restored"
grep -q 'COREDLL.dll differed from the build.s; it was restored' "$CEDEV_DEVICE/.cedev/log" ||
    fail "the device's log does not say that COREDLL.dll was restored"

step "a device keeps to its limits, and says which one a program passed; another device runs on meanwhile"
small=$TEST_DEVICES/$NAME.small
BESIDE+=("$small")
in_small() { CEDEV_DEVICE=$small cedev "$@"; }
in_small init --force --memory 256M --processes 60 --file-size 8M --disk 96M --log-size 512K >/dev/null
expect_match "$(in_small limits)" "memory +256 MiB" "the small device's limits"
expect_error "was ended: the device reached its memory limit \(256 MiB" in_small run "$TEST_BIN/intruder.exe" alloc 1024
reg_value 'HKLM\Comm' BootCount >/dev/null
# With room in memory for them, a program's processes meet their own limit.
in_small stop
in_small limits --memory 2G >/dev/null
expect_match "$(in_small run "$TEST_BIN/intruder.exe" spawn 300 || true)" "^start refused after [0-9]+" \
    "a program starting 300 processes"
wait_until 10 "the log to name the process limit" grep -q "reached its limit of 60 processes" "$small/.cedev/log"
in_small windows >/dev/null
expect_error "was ended: it wrote a file past the device's limit on one file \(8 MiB\)" \
    in_small run "$TEST_BIN/intruder.exe" write 'C:\big.bin' 64
[ "$(stat -c %s "$small/drive_c/big.bin")" -le $((8 << 20)) ] || fail "a file passed the limit on one file"
in_small rm '\big.bin'
# Files each under the limit on one, past the disk's together: the device is stopped,
# and the command that finds it so says why.
said=
for i in $(seq 1 20); do
    said+=$(in_small run "$TEST_BIN/intruder.exe" write "C:\\f$i.bin" 7 2>&1) || break
done
deadline=$((SECONDS + 10))
until [[ $said == *"disk limit of 96 MiB"* ]]; do
    [ $SECONDS -lt $deadline ] || fail "nothing said the device passed its disk limit: $said"
    said+=$(in_small windows 2>&1 || true)
done
for i in $(seq 1 20); do in_small rm "\\f$i.bin" 2>/dev/null || true; done
in_small reg query 'HKLM\Comm' BootCount >/dev/null
# Output past the log's limit: the newest part stays, within it.
in_small run --detach "$TEST_BIN/intruder.exe" print 3
expect_eq "$(in_small wait exit)" "" "what 'wait exit' printed"
in_small run "$TEST_BIN/intruder.exe" print 3 /proc/1/fd/1 >/dev/null 2>&1 || true
for log in "$small/.cedev/log" "$small"/.cedev/jobs/*.log; do
    size=$(( $(stat -c %s "$log") + $(stat -c %s "$log.1" 2>/dev/null || echo 0) ))
    [ $size -le $((512 << 10)) ] || fail "$log and the part before it hold $size bytes, past the log's limit"
done
in_small stop
rm -rf "$small"
