#!/usr/bin/env bash
# make run: RegSave on the default simulated handheld. With a display the handheld's
# screen opens as a window and you use it; without one (or with CEDEV_DISPLAY=private,
# which keeps the handheld off your display), this taps "Save" itself and tells what
# happened.
# make view (mode "view"): RegSave on the default handheld, its screen in a web
# browser, for machines without a display; returns when RegSave ends, with its exit
# code. VIEW_ARGS go to 'cedev view' (e.g. --port 6081, --listen 0.0.0.0).
# REGSAVE_BUILD=arm (make run BUILD=arm) runs the handheld's own image instead.
set -euo pipefail
build=${1:-build}
mode=${2:-run}
cedev=$build/bin/cedev
. "$(dirname "$0")/program.sh" "$build"
prog=$PROG
# The default handheld, unless a device is named.
export CEDEV_DEVICE=${CEDEV_DEVICE:-$build/handheld}

[ -f "$CEDEV_DEVICE/.cedev/device" ] || "$cedev" init
echo "RegSave: the $PROG_BUILD build, $prog"

# Starts RegSave and waits until its window is up. On a device that is not the target
# handheld it ends at once without a window: that is said, and the device is stopped.
start_regsave() {
    "$cedev" run --detach "$prog"
    local deadline=$((SECONDS + 20))
    until "$cedev" wait window Registry --timeout 0.3 2>/dev/null; do
        if "$cedev" wait exit --timeout 0 >/dev/null 2>&1; then
            "$cedev" stop
            echo "RegSave ended at once without a window: $CEDEV_DEVICE is not the target handheld" >&2
            echo "(make a target handheld with: $cedev init --force)" >&2
            exit 1
        fi
        if [ $SECONDS -ge $deadline ]; then
            "$cedev" stop
            echo "RegSave did not show its window within 20 s" >&2
            exit 1
        fi
    done
}

if [ "$mode" = view ]; then
    start_regsave
    echo "RegSave runs on the handheld. Open the address below in a web browser: tap Save or"
    echo "Delete with the mouse, or press Alt+F4 in the page (Alt+/ shows the About box)."
    echo "This ends when RegSave does."
    "$cedev" view ${VIEW_ARGS:-} &
    view=$!
    trap 'kill $view 2>/dev/null; wait $view; "$cedev" stop; exit 130' INT TERM
    # 'cedev wait exit' gives RegSave's exit code, or says it timed out. A view that
    # could not start has said why.
    while :; do
        rc=0
        out=$("$cedev" wait exit --timeout 1 2>&1) || rc=$?
        [[ $out == *"timed out"* ]] || break
        kill -0 $view 2>/dev/null || wait $view || { "$cedev" stop; exit 1; }
    done
    kill $view 2>/dev/null && wait $view || true
    "$cedev" stop
    echo "RegSave exited with code $rc"
    exit $rc
fi

if [ -n "${DISPLAY:-}" ] && [ "${CEDEV_DISPLAY:-}" != private ]; then
    echo "RegSave runs on the handheld's 240x320 screen, a window on your display."
    echo "(The handheld's programs see your whole display; CEDEV_DISPLAY=private keeps them off it.)"
    echo "Tap Save or Delete, or press Alt+F4 in its window (Alt+/ shows the About box)."
    start_regsave
    rc=0
    "$cedev" wait exit --timeout 3600 || rc=$?
    echo "RegSave exited with code $rc"
    exit 0
fi

echo "No display (or CEDEV_DISPLAY=private): the handheld runs on a private Xvfb, and this script taps for you."
start_regsave
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
