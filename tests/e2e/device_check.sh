#!/usr/bin/env bash
# On a device that is not the target handheld the program ends at once with exit code
# 0 and shows nothing; the boot counter keeps its value, which proves that no main
# window was created. Any one missing piece is enough, and putting it back is enough
# to let the program start.
. "$(dirname "$0")/lib.sh"

# Runs the program in the foreground. The timeout only keeps a program that does not
# end by itself from hanging the test.
run_to_end() {
    local rc=0
    timeout 20 "$CEDEV" run "$PROG" || rc=$?
    echo $rc
}

expect_gated() { # WHERE
    cedev reg set 'HKLM\Comm' BootCount REG_DWORD 5
    expect_eq "$(run_to_end)" 0 "exit code $1"
    expect_eq "$(reg_value 'HKLM\Comm' BootCount)" "REG_DWORD 0x00000005" "BootCount $1"
    expect_eq "$(count_windows Registry)" 0 "main windows $1"
}

expect_starts() { # WHERE
    cedev reg set 'HKLM\Comm' BootCount REG_DWORD 5
    start_program
    expect_eq "$(reg_value 'HKLM\Comm' BootCount)" "REG_DWORD 0x00000000" "BootCount $1"
    cedev key alt+f4
    expect_eq "$(exit_code)" 0 "exit code after Alt+F4 $1"
}

step "without PadRelay.dll the program ends silently, and starts once it is back"
cedev rm '\Windows\PadRelay.dll'
expect_gated "without PadRelay.dll"
cedev put "$BIN/cedev-driver.dll" '\Windows\PadRelay.dll'
expect_starts "with PadRelay.dll back"

step "without the control-panel key it ends silently; the key back, even empty, lets it start"
cedev reg delete 'HKCU\ControlPanel\QM410Key'
expect_gated "without the key"
cedev reg set 'HKCU\ControlPanel\QM410Key' 'KBD/SCAN' REG_DWORD 1
cedev reg delete 'HKCU\ControlPanel\QM410Key' 'KBD/SCAN'
expect_starts "with a key that has no values"

step "a device made with --not-target keeps it out until every piece is there"
cedev init --force --not-target >/dev/null
expect_gated "on a new non-target device"
for lib in QM410Key.dll KeyRelay.dll PadRelay.dll; do
    cedev put "$BIN/cedev-driver.dll" "\\Windows\\$lib"
done
expect_gated "with the three libraries but no key"
cedev reg set 'HKCU\ControlPanel\QM410Key' 'KBD/SCAN' REG_DWORD 1
expect_starts "with every piece"
