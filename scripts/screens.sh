#!/usr/bin/env bash
# make screens: a picture of each of RegSave's screens, taken on a throwaway device,
# into docs/screens/. The README shows them, and the end-to-end tests compare what
# the device shows with them.
set -euo pipefail
build=${1:-build}
out=${2:-docs/screens}
cedev=$build/bin/cedev
prog=$build/bin/RegSave.exe
holder=$build/test-bin/holder.exe
export CEDEV_DEVICE=$build/screens-device
trap '"$cedev" stop >/dev/null 2>&1 || true; rm -rf "$CEDEV_DEVICE" "$out"/.shot.png' EXIT

mkdir -p "$out"
"$cedev" init --force >/dev/null

# The screen once it has settled: two readings in a row that are the same (a box may
# still be painting when it is first seen).
shot() { # NAME WHAT
    local deadline=$((SECONDS + 10)) diff
    "$cedev" screenshot "$out/$1.png"
    while :; do
        "$cedev" screenshot "$out/.shot.png"
        diff=$(compare -metric AE "$out/.shot.png" "$out/$1.png" null: 2>&1) || true
        mv "$out/.shot.png" "$out/$1.png"
        [ "$diff" != 0 ] || break
        [ $SECONDS -lt $deadline ] || { echo "screens: the screen did not settle for $1" >&2; exit 1; }
    done
    echo "$out/$1.png: $2"
}

start() {
    "$cedev" run --detach "$prog"
    "$cedev" wait window Registry
}

# Taps a button, photographs the box it brings, and closes it with its OK.
box() { # BUTTON NAME WHAT
    "$cedev" tap "$1"
    "$cedev" wait box
    shot "$2" "$3"
    "$cedev" tap OK
    "$cedev" wait exit >/dev/null
}

start
shot main "the main window"
"$cedev" key alt+/
"$cedev" wait window "About QM410WLan"
shot about "the About box (Alt+/)"
"$cedev" key esc
"$cedev" wait nowindow "About QM410WLan"
box Save save_ok "Save: the registry is saved"

# Another program holds the saved registry open, so it cannot be deleted. It has no
# window: nothing but RegSave is on the picture.
"$cedev" run --detach "$holder" '\Flash Disk\registry.dat'
"$cedev" run "$holder" --held
start
box Delete delete_failed "Delete: the saved registry could not be removed"
"$cedev" stop
start
box Delete delete_ok "Delete: the saved registry is removed"

# No flash disk to save to (it goes from the host's side, while the device is off).
"$cedev" stop
rm -r "$CEDEV_DEVICE/drive_c/Flash Disk"
start
box Save save_failed "Save: the registry could not be saved"
