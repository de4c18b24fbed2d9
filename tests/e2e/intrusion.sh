#!/usr/bin/env bash
# A program inside a device is untrusted. Each block is what such a program (the
# intruder, tests/tools/intruder.cpp) tries in order to reach the user through cedev or
# out of the device, and what must hold against it. The browser view's secret is in
# view.sh.
. "$(dirname "$0")/lib.sh"

export INTRUDER=$TEST_BIN/intruder.exe
SECRET=$TEST_DEVICES/$NAME.secret
export MARK=cedev-secret-$$-$RANDOM
echo "$MARK" >"$SECRET"
HOSTX=
trap 'stop_devices; rm -f "$SECRET" "$TEST_DEVICES/$NAME".*; [ -z "$HOSTX" ] || kill $HOSTX 2>/dev/null; cleanup' EXIT

# Runs a command in a terminal of its own, as a user types it (terminal.py): what it
# printed, then "pending: N", the bytes pushed into that terminal's input.
in_terminal() { # COMMAND
    timeout 120 /usr/bin/python3 "$SOURCE_DIR/tests/e2e/terminal.py" "$1"
}

# Fails when a line of what the intruder reported matches REGEX.
expect_no_report() { # REPORT REGEX WHAT
    local hit
    hit=$(grep -E -- "$2" <<<"$1" || true)
    [ -z "$hit" ] || fail "$3: the intruder reported: $hit"
}

# Control characters other than line breaks (LF, CR) and tabs, raw.
expect_no_controls() { # TEXT WHAT
    ! LC_ALL=C grep -q $'[\x01-\x08\x0b\x0c\x0e-\x1f\x7f]' <<<"$1" || fail "$2 holds raw control characters: $(od -c <<<"$1" | head -n 5)"
}

step "the caller's terminal: a program run from it has none and cannot push input into it"
out=$(in_terminal '"$CEDEV" run "$INTRUDER" tty')
expect_match "$out" "pending: 0\$" "input pushed into the caller's terminal"
expect_match "$out" "fd 1: " "the intruder's report"
expect_no_report "$out" "input pushed" "a program run in the foreground"
expect_no_report "$out" "controlling terminal" "a program run in the foreground"

step "a detached program cannot reach the terminal or files of a later command through its helper"
# The user runs the intruder detached, then an ordinary command, from one terminal,
# with a file of theirs open on descriptor 7.
out=$(in_terminal 'exec 7<"'"$SECRET"'"
"$CEDEV" run --detach "$INTRUDER" watch 30 "$MARK"
timeout 30 bash -c "until grep -qs watching \"\$CEDEV_DEVICE\"/.cedev/jobs/*.log; do sleep 0.05; done"
timeout 60 "$CEDEV" wait window Nope --timeout 5
timeout 40 "$CEDEV" wait exit --timeout 30')
report=$(cat "$CEDEV_DEVICE"/.cedev/jobs/*.log)
expect_match "$report" "helper [0-9]+" "the intruder's report (it must have seen the helper to prove anything)"
expect_no_report "$report" "^terminal " "a detached program"
expect_no_report "$report" "^file .* holds" "a detached program"
expect_no_controls "$out" "the terminal, after the intruder wrote into the helper's output,"
expect_match "$out" "pending: 0\$" "input pushed into the caller's terminal"

step "the caller's open files and the device's log are out of reach, /proc included"
report=$(cedev run "$INTRUDER" fds "$MARK" "--- device start" 7<"$SECRET")
expect_match "$report" $'(^|\n)done' "the intruder's report"
expect_no_report "$report" "holds" "a program looking through /proc/*/fd"

step "cedev's helper cannot be replaced: after a stop and a cold boot cedev still tells the truth"
report=$(cedev run "$INTRUDER" replace)
cedev stop
cedev reset >/dev/null
expect_eq "$(reg_value 'HKLM\Comm' BootCount)" "REG_DWORD 0x00000001" "BootCount after the helper was attacked"
expect_match "$(cedev ls '\Windows')" "COREDLL.dll" "the listing of \\Windows after the helper was attacked"
expect_match "$report" "cedev-helper.exe: refused" "the intruder's report"
expect_no_report "$report" "replaced" "replacing the helper"

step "rm removes a planted link, never what it points to; rm -r refuses a folder with one, whole"
cedev run "$INTRUDER" link /device/drive_c/windows/win.ini "/device/drive_c/Flash Disk/notes.txt" >/dev/null
cedev rm '\Flash Disk\notes.txt'
[ -f "$CEDEV_DEVICE/drive_c/windows/win.ini" ] || fail "rm of a link removed \\Windows\\win.ini, which it pointed to"
[ ! -L "$CEDEV_DEVICE/drive_c/Flash Disk/notes.txt" ] || fail "rm of a link left the link"
cedev run "$INTRUDER" folder "/device/drive_c/Flash Disk/box" >/dev/null
echo x >"$TEST_DEVICES/$NAME.txt"
for f in a b c d; do cedev put "$TEST_DEVICES/$NAME.txt" "\\Flash Disk\\box\\$f.txt"; done
cedev run "$INTRUDER" link /device/drive_c/windows/Fonts "/device/drive_c/Flash Disk/box/fonts" >/dev/null
fonts=$(ls "$CEDEV_DEVICE/drive_c/windows/Fonts" | wc -l)
expect_error "fonts is a link" cedev rm -r '\Flash Disk\box'
expect_eq "$(ls "$CEDEV_DEVICE/drive_c/Flash Disk/box" | wc -l)" 5 "what is left in the folder rm -r refused"
expect_eq "$(ls "$CEDEV_DEVICE/drive_c/windows/Fonts" | wc -l)" "$fonts" "the fonts behind the link"

step "names and texts from the device cannot write to the caller's terminal or forge a line"
cedev run --detach "$INTRUDER" names
wait_until 20 "the intruder's window" eval 'cedev windows | grep -q "^text=\"Intruder"'
listing=$(cedev ls '\Flash Disk')
values=$(cedev reg query 'HKCU\Software\Intruder')
windows=$(cedev windows)
expect_no_controls "$listing" "ls"
expect_no_controls "$values" "reg query"
expect_no_controls "$windows" "windows"
expect_match "$listing" 'x\\x1b\]0;file\\x07\\n +42  forged\.txt' "the planted file's name in ls"
! grep -qE '^ +42  forged\.txt$' <<<"$listing" || fail "a file name forged a line of 'cedev ls': $listing"
! grep -q '^forged' <<<"$values" || fail "a value name forged a line of 'cedev reg query': $values"
! grep -q '^text="forged"' <<<"$windows" || fail "a window title forged a line of 'cedev windows': $windows"
cedev stop

step "a FIFO planted as the saved registry hangs nothing: hive, reset and put refuse it in one line"
cedev run "$INTRUDER" fifo "/device/drive_c/Flash Disk/registry.dat" >/dev/null
CEDEV_BOUND=20 expect_error "registry.dat cannot be read: it is not a regular file" cedev hive
CEDEV_BOUND=20 expect_error "registry.dat is damaged: it cannot be read: it is not a regular file" cedev reset
CEDEV_BOUND=20 expect_error "not a regular file" cedev put "$TEST_DEVICES/$NAME.txt" '\Flash Disk\registry.dat'
[ -p "$HOST_HIVE" ] || fail "the FIFO was replaced"
CEDEV_BOUND=20 cedev rm "$HIVE"

step "a cold boot is all or nothing: a folder in place of user.reg leaves system.reg as it was"
start_program
tap_and_expect_box Save "Save OK" "$SAVED"
cedev run "$INTRUDER" folder /device/user.reg >/dev/null
cedev stop
cp "$CEDEV_DEVICE/system.reg" "$TEST_DEVICES/$NAME.system"
rc=0
cedev reset >/dev/null 2>&1 || rc=$?
cmp -s "$CEDEV_DEVICE/system.reg" "$TEST_DEVICES/$NAME.system" || fail "a failed cold boot replaced system.reg"
[ $rc != 0 ] || fail "a cold boot that could not replace user.reg succeeded"
expect_error "user.reg: it is not a regular file; nothing was changed" cedev reset
rmdir "$CEDEV_DEVICE/user.reg"
cedev reset >/dev/null
expect_eq "$(reg_value 'HKCU\ControlPanel\QM410Key' KBD/SCAN)" "REG_DWORD 0x00000001" "HKCU after the next cold boot"

step "the host: no host path or environment in sight, and with CEDEV_DISPLAY=private not the user's display"
start_user_display 320x200x24
n=$USER_DISPLAY HOSTX=$USER_X
cedev stop
export HOST_MARK=cedev-env-$$-$RANDOM
report=$(DISPLAY=:$n CEDEV_DISPLAY=private cedev run "$INTRUDER" host "$CEDEV_DEVICE" "$HOST_MARK")
expect_match "$report" $'(^|\n)done' "the intruder's report"
expect_no_report "$report" "holds" "a program reading the device's command lines and environments"
expect_eq "$(grep '^display' <<<"$report")" "display X0" "the displays a program of a CEDEV_DISPLAY=private device sees"
expect_match "$(cedev help)" "CEDEV_DISPLAY=private" "what 'cedev help' says of the user's display"
cedev stop
kill $HOSTX
wait $HOSTX || true
HOSTX=

step "nothing inside acts as the host's root: its files are its owner's, with no set-uid root and no user namespace"
report=$(cedev run "$INTRUDER" root /device/drive_c/sb)
expect_match "$report" "bash copied" "the intruder's report"
expect_match "$report" "user namespace refused" "a user namespace made inside the device"
owner=$(stat -c %u "$CEDEV_DEVICE/drive_c/sb")
[ "$owner" != 0 ] || fail "a file the device made belongs to root"
expect_eq "$owner" "$(stat -c %u "$CEDEV_DEVICE")" "the owner of a file the device made"
expect_eq "$(stat -c %a "$CEDEV_DEVICE")" 700 "the device folder's mode"
if [ "$(id -u)" = 0 ]; then
    got=$(setpriv --reuid=65534 --regid=65534 --clear-groups "$CEDEV_DEVICE/drive_c/sb" -p -c 'id -u' 2>/dev/null || true)
    [ "$got" != 0 ] || fail "another user of the machine became root through the device's set-uid file"
fi
cedev rm '\sb'

step "cedev's own processes are out of its programs' reach: a service that starts with the device and seizes each of them gets none, and cedev's answers stay true"
cedev put "$INTRUDER" '\Program Files'
SERVICES='HKLM\Software\Microsoft\Windows\CurrentVersion\RunServices'
cedev reg set "$SERVICES" Seize REG_SZ 'C:\Program Files\intruder.exe seize 90 /tmp/seize.txt'
cedev stop
cedev reg set 'HKLM\SYSTEM\ORV\REGLock' EnableSave REG_DWORD 0
expect_eq "$(reg_value 'HKLM\SYSTEM\ORV\REGLock' EnableSave)" "REG_DWORD 0x00000000" "EnableSave, set to 0 beside the seizer"
rc=0
cedev run "$TEST_BIN/arm/faults.exe" || rc=$?
expect_eq "$rc" 7 "an ARM program's exit code beside the seizer"
start_program
tap_and_expect_box Save "Save OK" "$SAVED"
expect_match "$(cedev ls '\Flash Disk')" "registry\.dat" "the listing of \\Flash Disk beside the seizer"
seized=$CEDEV_DEVICE/.cedev/tmp/seize.txt
wait_until 20 "the seizer to have seen the ARM runner" grep -qs "^saw armrun" "$seized"
report=$(cat "$seized")
expect_match "$report" "saw cedev-helper" "the seizer's report (it must have seen the helper to prove anything)"
expect_match "$report" "saw wineserver" "the seizer's report"
expect_no_report "$report" "TRACED|OPENED" "a service seizing cedev's processes"
cedev reg delete "$SERVICES" Seize
cedev stop

step "cedev's own options come before the command: after it, --device is the command's word"
other=$TEST_DEVICES/$NAME.other
BESIDE+=("$other")
CEDEV_DEVICE=$other cedev init --force >/dev/null
CEDEV_DEVICE=$other cedev reg set 'HKCU\Software\Victim' Keep REG_SZ kept
rc=0
cedev reg delete 'HKCU\Software\Victim' "--device=$other" >/dev/null 2>&1 || rc=$?
[ $rc != 0 ] || fail "'reg delete KEY --device=OTHER' succeeded on this device, where there is no such key"
cedev --device "$other" reg delete 'HKCU\Software\Victim' Nothing >/dev/null 2>&1 || true
expect_eq "$(CEDEV_DEVICE=$other cedev reg query 'HKCU\Software\Victim' Keep)" "REG_SZ kept" "the other device's key"
CEDEV_DEVICE=$other cedev stop
said=$(cedev run '\Windows\system32\cmd.exe' /c echo --device "$other" | tr -d '\r')
expect_eq "$said" "--device $other" "what a program given --device after run printed"
[ ! -e "$other/.cedev/session" ] || fail "a program's --device started the other device"
rm -rf "$other"

step "no host path of the build shows inside the device's mounts (the device folder's own does: it is what the device is)"
mounts=$(cedev run '\Windows\system32\cmd.exe' /c type '\\?\unix\proc\self\mountinfo' | tr -d '\r')
expect_match "$mounts" " /device " "the device's mounts as seen inside (they prove nothing without the device's own)"
! grep -qF "$BIN" <<<"$mounts" || fail "the device's mounts show a host path of the build: $(grep -F "$BIN" <<<"$mounts" | head -n 2)"
