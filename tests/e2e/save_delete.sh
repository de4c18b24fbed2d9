#!/usr/bin/env bash
# Save keeps the registry across a cold boot; Delete makes the next cold boot start
# from the factory registry. The saved file is an ordinary registry file: Wine's own
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

step "Save writes the hive, and a cold boot keeps what was saved"
cedev reg set 'HKLM\Software\RegSaveTest' Marker REG_SZ "kept across a cold boot"
cedev reg set 'HKCU\Software\RegSaveTest' Unicode REG_SZ 'café ☺ "quoted" \back'
start_program
tap_and_expect_box Save "Save OK" "$SAVED" save_ok
expect_eq "$(reg_value 'HKLM\SYSTEM\ORV\REGLock' EnableSave)" "REG_DWORD 0x00000001" "EnableSave after Save"
cedev hive >/dev/null
cedev reset
expect_eq "$(reg_value 'HKLM\Software\RegSaveTest' Marker)" "REG_SZ kept across a cold boot" "value after cold boot"
expect_eq "$(reg_value 'HKCU\Software\RegSaveTest' Unicode)" 'REG_SZ café ☺ "quoted" \back' "value after cold boot"

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
expect_error "no key" cedev reg query 'HKLM\Software\RegSaveTest'

step "Delete with no hive still completes"
start_program
tap_and_expect_box Delete "Delete OK" "$DELETED"
