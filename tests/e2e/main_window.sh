#!/usr/bin/env bash
# The main window as the handheld shows it, and the boot counter it resets.
. "$(dirname "$0")/lib.sh"

step "the window, its buttons and frame are where they belong"
cedev reg set 'HKLM\Comm' BootCount REG_DWORD 9
start_program
expect_match "$(window_line Registry)" '^text="Registry" class="Registry" x=77 y=113 w=85 h=88 .* enabled active focus$' "main window"
expect_match "$(window_line Save)" '^  id=110 text="Save" class="Button" x=5 y=5 w=76 h=25 style=0x50020000 ' "Save button"
expect_match "$(window_line Delete)" '^  id=111 text="Delete" class="Button" x=5 y=33 w=76 h=25 style=0x50000000 ' "Delete button"
expect_match "$(cedev windows | grep 'id=0 ')" '^  id=0 text="" class="Button" x=0 y=-7 w=83 h=70 style=0x50000007 ' "frame"
expect_screen "$(window_line Registry)" main
expect_eq "$(reg_value 'HKLM\Comm' BootCount)" "REG_DWORD 0x00000000" "BootCount after start"

step "a second start raises the first window and changes nothing"
cedev reg set 'HKLM\Comm' BootCount REG_DWORD 5
rc=0
cedev run "$PROG" || rc=$?
expect_eq "$rc" 0 "exit code of the second start"
expect_eq "$(count_windows Registry)" 1 "main windows on screen"
# The first copy is activated by a message the second sends; it takes the focus itself.
cedev wait focus Registry
expect_match "$(window_line Registry)" ' enabled active focus$' "first window after the second start"
expect_eq "$(reg_value 'HKLM\Comm' BootCount)" "REG_DWORD 0x00000005" "BootCount after the second start"

step "Alt+F4 closes the program with exit code 0"
cedev key alt+f4
expect_eq "$(exit_code)" 0 "exit code after Alt+F4"
cedev wait nowindow Registry
