#!/usr/bin/env bash
# make run: RegSave on the default simulated handheld. With a display the handheld's
# screen opens as a window and you use it; without one, this taps "Save" itself and
# tells what happened.
set -euo pipefail
build=${1:-build}
cedev=$build/bin/cedev
prog=$build/bin/RegSave.exe
export CEDEV_DEVICE=$build/handheld

[ -f "$CEDEV_DEVICE/.cedev/device" ] || "$cedev" init

if [ -n "${DISPLAY:-}" ]; then
    echo "RegSave runs on the handheld's 240x320 screen, a window on your display."
    echo "Tap Save or Delete, or press Alt+F4 in its window (Alt+/ shows the About box)."
    rc=0
    "$cedev" run "$prog" || rc=$?
    echo "RegSave exited with code $rc"
    exit 0
fi

echo "No display: the handheld runs on a private Xvfb, and this script taps for you."
"$cedev" run --detach "$prog"
"$cedev" wait window Registry
echo "RegSave is up:"
"$cedev" windows | sed 's/^/  /'
echo "Tapping \"Save\"..."
"$cedev" tap Save
if "$cedev" wait box --timeout 5 2>/dev/null; then
    "$cedev" screenshot "$build/handheld-screen.png"
    echo "The handheld shows a message box (screen saved to $build/handheld-screen.png):"
    "$cedev" box | sed 's/^/  /'
    echo "Tapping \"OK\"..."
    "$cedev" tap OK
fi
rc=0
"$cedev" wait exit --timeout 10 || rc=$?
echo "RegSave exited with code $rc"
"$cedev" stop
