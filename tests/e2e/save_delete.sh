#!/usr/bin/env bash
# Save keeps the registry across a cold boot, exactly: what was deleted stays deleted,
# and a key that could not come back makes Save fail. Delete makes the next cold boot
# start from the factory registry. The saved file is an ordinary registry file: Wine's own
# regedit imports it, and what it imports is what was saved.
. "$(dirname "$0")/lib.sh"

# Registry files as sets of "key<TAB>value line" records, continuation lines joined,
# for comparing what two files hold. The device's plug-and-play manager rewrites its
# device enumeration (dates, hardware ids) each time the device starts, so those
# keys are left out of the comparison.
records() {
    iconv -f UTF-16LE -t UTF-8 "$1" 2>/dev/null || cat "$1"
}
normalise() {
    tr -d '\r' | sed 's/^\xef\xbb\xbf//' | awk '
        /^\[/ { key = $0; print key "\t"; next }
        /^;/ || /^$/ || /^Windows Registry/ { next }
        { line = $0
          while (line ~ /\\$/ && (getline more) > 0) { sub(/\\$/, "", line); sub(/^  /, "", more); line = line more }
          print key "\t" line }' |
        grep -v -E '^\[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\(Enum|Control\\(Class|DeviceClasses))\\' |
        LC_ALL=C sort -u
}

step "Save writes the hive, and a cold boot brings back what was saved, deletions included"
cedev reg set 'HKLM\Software\RegSaveTest' Marker REG_SZ "kept across a cold boot"
cedev reg set 'HKCU\Software\RegSaveTest' Unicode REG_SZ 'café ☺ "quoted" \back'
cedev reg delete 'HKLM\Comm'
cedev reg delete 'HKCU\ControlPanel\QM410Key' KBD/SCAN
start_program
tap_and_expect_box Save "Save OK" "$SAVED" save_ok
expect_eq "$(reg_value 'HKLM\SYSTEM\ORV\REGLock' EnableSave)" "REG_DWORD 0x00000001" "EnableSave after Save"
cedev hive >/dev/null
cedev reset
expect_eq "$(reg_value 'HKLM\Software\RegSaveTest' Marker)" "REG_SZ kept across a cold boot" "value after cold boot"
expect_eq "$(reg_value 'HKCU\Software\RegSaveTest' Unicode)" 'REG_SZ café ☺ "quoted" \back' "value after cold boot"
expect_error "no key" cedev reg query 'HKLM\Comm'
expect_error "no value" cedev reg query 'HKCU\ControlPanel\QM410Key' KBD/SCAN

step "only Save saves: a start and Alt+F4 leave the saved registry as it was"
cp "$HOST_HIVE" "$TEST_DEVICES/$NAME.good"
cedev reg set 'HKLM\Comm' BootCount REG_DWORD 7
start_program
expect_eq "$(reg_value 'HKLM\Comm' BootCount)" "REG_DWORD 0x00000000" "BootCount after the start"
cedev key alt+f4
expect_eq "$(exit_code)" 0 "exit code after Alt+F4"
cmp -s "$HOST_HIVE" "$TEST_DEVICES/$NAME.good" || fail "a start without Save rewrote the saved registry"

step "a key name no saved registry can hold: Save fails, and the saved one stays as it was"
BROKEN=$'HKCU\\Software\\RegSaveTest\\Line\nBreak'
cedev reg set "$BROKEN" Value REG_DWORD 1
expect_eq "$(reg_value "$BROKEN" Value)" "REG_DWORD 0x00000001" "the key with a line break"
start_program
tap_and_expect_box Save "Save OK" "$SAVE_FAILED"
cmp -s "$HOST_HIVE" "$TEST_DEVICES/$NAME.good" || fail "a failed Save changed the saved registry"
rm -f "$TEST_DEVICES/$NAME.good"
cedev reset
expect_eq "$(reg_value 'HKLM\Software\RegSaveTest' Marker)" "REG_SZ kept across a cold boot" "value after cold boot"
expect_error "no key" cedev reg query "$BROKEN"

step "Wine's regedit imports the hive, and what it imports equals what was saved"
cp "$HOST_HIVE" "$TEST_DEVICES/$NAME.saved"
cedev run '\Windows\regedit.exe' /s "$HIVE"
cedev reg export >"$TEST_DEVICES/$NAME.export"
missing=$(LC_ALL=C comm -23 <(records "$TEST_DEVICES/$NAME.saved" | normalise) \
    <(normalise <"$TEST_DEVICES/$NAME.export"))
rm -f "$TEST_DEVICES/$NAME.saved" "$TEST_DEVICES/$NAME.export"
[ -z "$missing" ] || fail "saved but not in the registry after regedit's import:
$(echo "$missing" | head -n 20)"

step "Delete removes the hive, keeps EnableSave, and the next cold boot forgets"
cedev reg set 'HKLM\SYSTEM\ORV\REGLock' EnableSave REG_DWORD 7
start_program
tap_and_expect_box Delete "Delete OK" "$DELETED" delete_ok
expect_error "no such file" cedev ls "$HIVE"
expect_eq "$(reg_value 'HKLM\SYSTEM\ORV\REGLock' EnableSave)" "REG_DWORD 0x00000007" "EnableSave after Delete"
cedev reset
for f in system.reg user.reg userdef.reg; do
    cmp -s "$CEDEV_DEVICE/$f" "$CEDEV_DEVICE/.cedev/factory/$f" || fail "$f is not the factory one after Delete"
done
expect_error "no key" cedev reg query 'HKLM\Software\RegSaveTest'

step "Delete with no hive still completes"
start_program
tap_and_expect_box Delete "Delete OK" "$DELETED"
