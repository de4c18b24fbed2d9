#!/usr/bin/env bash
# A tap on either button ends the program with exit code 0; a pen that leaves the
# button before lifting leaves the focus on it, where Alt+F4 does nothing.
. "$(dirname "$0")/lib.sh"

for button in Save Delete; do
    step "a tap on $button closes the program"
    start_program
    cedev tap "$button"
    cedev wait box
    cedev tap OK
    expect_eq "$(exit_code)" 0 "exit code after $button"
    expect_eq "$(count_windows Registry)" 0 "main windows after $button"
done

step "pen down on Save, up outside: Save keeps the focus"
start_program
cedev pen down Save
cedev pen up 10,10
cedev wait focus Save
expect_match "$(window_line Save)" ' focus$' "Save after the pen left it"

step "Alt+F4 then reaches the button and does nothing"
cedev key alt+f4
# Input is handled in order: once a later pen action has moved the focus to Delete,
# Alt+F4 has been handled, and the window is still there.
cedev pen down Delete
cedev pen up 10,10
cedev wait focus Delete
expect_eq "$(count_windows Registry)" 1 "main windows after Alt+F4 on a button"
cedev tap Save
cedev wait box
cedev tap OK
expect_eq "$(exit_code)" 0 "exit code"
