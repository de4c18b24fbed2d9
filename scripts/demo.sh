#!/usr/bin/env bash
# make demo: what RegSave is for, end to end on a throwaway handheld, each step told
# and photographed: a setting changed and saved survives a cold boot; after Delete a
# cold boot brings the factory setting back; on a device that is not the target the
# program ends silently. The photographs end up on one contact sheet,
# build/demo/demo.png. REGSAVE_BUILD=arm (make demo BUILD=arm) shows the handheld's
# own image, on the ARM runner.
set -euo pipefail
build=${1:-build}
cedev=$build/bin/cedev
. "$(dirname "$0")/program.sh" "$build"
prog=$PROG
dir=$build/demo
export CEDEV_DEVICE=$dir/handheld
other=$dir/other
KEY='HKCU\ControlPanel\QM410Key'
VALUE=KBD/SCAN
FONT=/usr/share/wine/fonts/tahoma.ttf

cleanup() {
    "$cedev" stop >/dev/null 2>&1 || true
    "$cedev" --device "$other" stop >/dev/null 2>&1 || true
    rm -rf "$CEDEV_DEVICE" "$other"
}
trap cleanup EXIT
rm -rf "$dir" && mkdir -p "$dir"
"$cedev" init >/dev/null
photos=()

# Prints a step, photographs the screen and keeps its caption for the contact sheet.
photo() { # CAPTION (two lines, "|" between them)
    local file
    file=$dir/$(printf '%02d' $((${#photos[@]} / 3 + 1))).png
    "$cedev" screenshot "$file"
    echo "  photographed: $file"
    photos+=(-label "${1/|/\\n}" "$file")
}

setting() {
    "$cedev" reg query "$KEY" "$VALUE" | sed 's/^REG_DWORD 0x0*\(.\)/\1/'
}

expect_setting() { # VALUE
    local got
    got=$(setting)
    echo "  $KEY $VALUE = $got"
    [ "$got" = "$1" ] || { echo "demo: expected $VALUE = $1, got $got" >&2; exit 1; }
}

start() {
    "$cedev" run --detach "$prog"
    "$cedev" wait window Registry
}

# Taps a button, photographs the box it brings, and closes it with its OK.
tap_box() { # BUTTON CAPTION
    "$cedev" tap "$1"
    "$cedev" wait box
    "$cedev" box | sed 's/^/  /'
    photo "$2"
    "$cedev" tap OK
    "$cedev" wait exit
}

echo "RegSave: the $PROG_BUILD build, $prog"
echo "1. A setting is changed: the keypad's $VALUE from its factory 1 to 0; RegSave starts."
expect_setting 1
"$cedev" reg set "$KEY" "$VALUE" REG_DWORD 0
expect_setting 0
start
photo "1. $VALUE changed to 0|RegSave ($PROG_BUILD) started"

echo "2. Save."
tap_box Save "2. Save: the registry|is saved to the flash disk"

echo "3. Cold boot: the saved registry comes back, with the changed setting."
"$cedev" reset
expect_setting 0
start
photo "3. After a cold boot|$VALUE is still 0"

echo "4. Delete."
tap_box Delete "4. Delete: the saved|registry is removed"

echo "5. Cold boot: nothing saved, so the factory registry returns."
"$cedev" reset
expect_setting 1
start
photo "5. After a cold boot|$VALUE is 1 again (factory)"
"$cedev" key alt+f4
"$cedev" wait exit

echo "6. The same program on a device that is not the target handheld."
"$cedev" --device "$other" init --not-target >/dev/null
rc=0
out=$("$cedev" --device "$other" run "$prog" 2>&1) || rc=$?
echo "  exit code $rc, output '${out}', windows on screen: $("$cedev" --device "$other" windows | grep -c . || true)"
[ $rc = 0 ] && [ -z "$out" ] || { echo "demo: RegSave did not end silently on a device that is not the target" >&2; exit 1; }
CEDEV_DEVICE=$other photo "6. Not the target: RegSave|ends at once, silently, code 0"

montage -font "$FONT" -pointsize 12 -title "RegSave, the $PROG_BUILD build" "${photos[@]}" -tile 3x -geometry +10+6 \
    -background '#f4f4f4' "$dir/demo.png"
echo "Contact sheet: $dir/demo.png"
