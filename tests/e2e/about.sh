#!/usr/bin/env bash
# The About box: Alt+/ opens it over the disabled main window, placed by its centring
# rule; its caption OK or Esc closes it, and the program goes on. Alt+/ sent to a
# focused button opens nothing.
. "$(dirname "$0")/lib.sh"

ABOUT="About QM410WLan"

step "Alt+/ opens the About box; the main window is disabled behind it"
start_program
cedev key alt+/
cedev wait window "$ABOUT"
about=$(window_line "$ABOUT")
# Larger than the main window's client area both ways, so at (0, 0) on the screen.
expect_match "$about" '^text="About QM410WLan" class="#32770" x=0 y=0 .* exstyle=0x8[0-9a-f]{7} enabled active' \
    "About box"
expect_match "$(window_line Registry)" ' disabled$' "main window under the About box"

step "it shows the handheld's frame, its caption OK, the icon and both lines"
expect_screen "$about" about

step "a tap on Save does nothing while it is up; Esc closes it"
cedev tap Save
# Input is handled in order: once Esc has closed the box, the tap has been handled.
cedev key esc
cedev wait nowindow "$ABOUT"
cedev wait focus Registry
expect_eq "$(count_windows Registry)" 1 "main windows after the tap on Save"
expect_match "$(window_line Registry)" ' enabled active focus$' "main window after Esc"
expect_error 'no message box' cedev box

step "the caption OK closes it, and the program keeps running"
cedev key alt+/
cedev wait window "$ABOUT"
cedev tap OK
cedev wait nowindow "$ABOUT"
cedev wait focus Registry
expect_match "$(window_line Registry)" ' enabled active focus$' "main window after OK"
cedev key alt+f4
expect_eq "$(exit_code)" 0 "exit code"

step "Alt+/ does nothing while a button has the focus"
start_program
cedev pen down Save
cedev pen up 10,10
cedev wait focus Save
cedev key alt+/
# Once a later pen action has moved the focus to Delete, Alt+/ has been handled.
cedev pen down Delete
cedev pen up 10,10
cedev wait focus Delete
expect_eq "$(count_windows "$ABOUT")" 0 "About boxes after Alt+/ on a button"
