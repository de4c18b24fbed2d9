# Shared by the end-to-end tests: each test script gets a throwaway device of its own,
# named after the script, and removes it when it ends.
set -Eeuo pipefail
# A command that fails on its own says so, with its line, and what the device said.
# Only the script's own shell reports: a command in a substitution such as
# "$(... | grep x)" may fail harmlessly, and one that matters fails its caller here.
on_error() { # STATUS LINE COMMAND ARGS
    [ "$BASH_SUBSHELL" = 0 ] || return 0
    echo "FAIL: line $2: \"$3\" ($4) exited with $1" >&2
    device_log >&2
}
trap 'on_error $? $LINENO "$BASH_COMMAND" "$*"' ERR

# The build under test: the x86-64 one unless REGSAVE_BUILD=arm, the handheld's own
# image (REGSAVE), which cedev runs on its ARM runner. Each gets a device of its own.
BUILD_NAME=${REGSAVE_BUILD:-x86-64}
NAME=$(basename "$0" .sh)
[ "$BUILD_NAME" = x86-64 ] || NAME=$NAME.$BUILD_NAME
# A script whose scenarios run as separate entries gets the entry's part (E2E_PART),
# so that the parts run side by side, each on its own device.
[ -z "${E2E_PART:-}" ] || NAME=$NAME.$E2E_PART
export CEDEV_DEVICE=$TEST_DEVICES/$NAME
PROG=${REGSAVE:-$BIN/RegSave.exe}
# How a program inside the device starts RegSave from "\Program Files" (cmd's start).
START_LINE=RegSave.exe
[ "$BUILD_NAME" = x86-64 ] || START_LINE="C:\windows\cedev\armrun.exe.so RegSave.exe"

# Every cedev command of a test is bounded: one that hangs fails the test, named.
CEDEV_BOUND=${CEDEV_BOUND:-45}
cedev() {
    local rc=0 start=$SECONDS
    timeout -k 5 "$CEDEV_BOUND" "$CEDEV" "$@" || rc=$?
    # 124 and 137 are also exit codes of programs (137: killed), passed on by cedev.
    if { [ $rc = 124 ] || [ $rc = 137 ]; } && [ $((SECONDS - start)) -ge "$CEDEV_BOUND" ]; then
        echo "FAIL: 'cedev $*' did not finish within ${CEDEV_BOUND}s" >&2
        device_log >&2
        exit 1
    fi
    return $rc
}

# Ends the test's devices: its own and those it made beside it (BESIDE, folders the test
# adds as it makes them), whose keepers would otherwise run on after their folders are
# gone. Only these: a pattern over names would take the device of a test that runs
# at the same time (view.arm is view's name with a suffix).
BESIDE=()
stop_devices() {
    local d
    for d in "$CEDEV_DEVICE" ${BESIDE[@]+"${BESIDE[@]}"}; do
        [ -f "$d/.cedev/device" ] && CEDEV_DEVICE=$d "$CEDEV" stop >/dev/null 2>&1 || true
    done
}

cleanup() {
    stop_devices
    rm -rf "$CEDEV_DEVICE" ${BESIDE[@]+"${BESIDE[@]}"}
}
trap cleanup EXIT

device_log() {
    local job dev
    if [ -s "$CEDEV_DEVICE/.cedev/log" ]; then
        echo "The device's log ends:"
        tail -n 15 "$CEDEV_DEVICE/.cedev/log"
    fi
    for job in "$CEDEV_DEVICE"/.cedev/jobs/*.log; do
        [ -s "$job" ] || continue
        echo "The last detached program said ($(cat "${job%.log}.rc" 2>/dev/null || echo 'still running')):"
        tail -n 10 "$job"
    done
    for dev in ${BESIDE[@]+"${BESIDE[@]}"}; do
        [ -s "$dev/.cedev/log" ] || continue
        echo "The log of $dev, a device the test made beside its own, ends:"
        tail -n 8 "$dev/.cedev/log"
    done
}

fail() {
    echo "FAIL: $*" >&2
    echo "The screen showed:" >&2
    "$CEDEV" windows >&2 2>/dev/null || true
    device_log >&2
    exit 1
}

step() { echo "--- $*"; }

expect_eq() { # ACTUAL EXPECTED WHAT
    [ "$1" == "$2" ] || fail "$3: expected '$2', got '$1'"
}

expect_match() { # TEXT REGEX WHAT
    [[ $1 =~ $2 ]] || fail "$3: '$1' does not match /$2/"
}

# Runs a command that must fail; its one-line message must match REGEX.
expect_error() { # REGEX COMMAND...
    local re=$1 out rc=0
    shift
    out=$("$@" 2>&1 >/dev/null) || rc=$?
    [ $rc != 0 ] || fail "'$*' succeeded"
    [[ $out =~ $re ]] || fail "'$*' said '$out', expected /$re/"
    [ "$(printf '%s\n' "$out" | grep -c '^cedev:')" = 1 ] || fail "'$*' did not give one clear line: $out"
}

# Waits up to SECONDS for COMMAND to succeed.
wait_until() { # SECONDS WHAT COMMAND...
    local deadline=$((SECONDS + $1)) what=$2
    shift 2
    until "$@"; do
        [ $SECONDS -lt $deadline ] || fail "timed out waiting for $what"
        sleep 0.05
    done
}

# Pixels that differ (beyond FUZZ, 10% unless given) between two pictures, over the
# rectangle WxH+X+Y of both; empty when they cannot be compared.
image_diff() { # A B GEOMETRY [FUZZ]
    compare -metric AE -fuzz "${4:-10%}" "$1[$3]" "$2[$3]" null: 2>&1 || true
}

# The rectangle of a window, "X Y W H", from a line of 'cedev windows' or 'box' or of
# their --json form.
window_rect() { # WINDOW_LINE
    [[ $1 =~ \"?x\"?[=:](-?[0-9]+).\"?y\"?[=:](-?[0-9]+).\"?w\"?[=:]([0-9]+).\"?h\"?[=:]([0-9]+) ]] ||
        fail "no rectangle in '$1'"
    echo "${BASH_REMATCH[1]} ${BASH_REMATCH[2]} ${BASH_REMATCH[3]} ${BASH_REMATCH[4]}"
}

# Compares a window on the screen (a line of 'cedev windows' or of its --json form)
# with the same rectangle of its picture in docs/screens, which 'make screens' makes.
# Every pixel must match. The screen is read until it does (painting may still be
# under way); on a mismatch it is written beside the picture, as NAME.actual.png.
expect_screen() { # WINDOW_LINE NAME
    local rect x y w h
    rect=$(window_rect "$1") || exit 1
    read -r x y w h <<<"$rect"
    # Only what is on the 240 x 320 screen: a window may reach past it.
    [ $x -ge 0 ] || { w=$((w + x)) && x=0; }
    [ $y -ge 0 ] || { h=$((h + y)) && y=0; }
    w=$((x + w > 240 ? 240 - x : w)) h=$((y + h > 320 ? 320 - y : h))
    local ref=$SOURCE_DIR/docs/screens/$2.png actual=$SOURCE_DIR/docs/screens/$2.actual.png
    local shot=$TEST_DEVICES/$NAME.screen.png diff deadline=$((SECONDS + 10))
    while :; do
        cedev screenshot "$shot"
        # Either build draws exactly the golden picture, pixel for pixel.
        diff=$(image_diff "$shot" "$ref" "${w}x$h+$x+$y" 0)
        [ "$diff" = 0 ] && { rm -f "$shot" "$actual"; return; }
        [ $SECONDS -lt $deadline ] || break
    done
    mv "$shot" "$actual"
    fail "the screen differs from $ref in $diff pixels of the ${w}x$h window at $x,$y (actual screen: $actual)"
}

# A window (a line of 'cedev windows' or 'box', or of their --json form) lies wholly
# on the 240 x 320 screen.
expect_on_screen() { # WINDOW_LINE WHAT
    local rect x y w h
    rect=$(window_rect "$1") || exit 1
    read -r x y w h <<<"$rect"
    [ $x -ge 0 ] && [ $y -ge 0 ] && [ $((x + w)) -le 240 ] && [ $((y + h)) -le 320 ] ||
        fail "$2 is at ${w}x$h+$x+$y, not wholly on the 240 x 320 screen"
}

start_program() {
    cedev run --detach "$PROG"
    wait_program
}

# RegSave's window is shown before it is given the focus, and keys go to the window
# with the focus: a key sent in between would reach nothing.
wait_program() {
    cedev wait window Registry
    cedev wait focus Registry
}

# A display of the user's, on a free number of its own, for GEOMETRY (WxHxD). It runs
# under timeout, which ends it after 300 s should the test fail before it does: sets
# USER_DISPLAY to its number and USER_X to timeout's id.
start_user_display() { # GEOMETRY
    local n
    for n in $(seq $((100 + $$ % 500)) 700); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || break
    done
    timeout 300 Xvfb ":$n" -nolisten tcp -screen 0 "$1" </dev/null >/dev/null 2>&1 &
    USER_X=$!
    USER_DISPLAY=$n
    wait_until 20 "the user's display :$n" test -S "/tmp/.X11-unix/X$n"
}

# The exit code of the detached program, once it has ended.
exit_code() {
    local rc=0
    cedev wait exit --timeout 20 || rc=$?
    echo $rc
}

# A line of 'cedev windows' for the control or window with this text.
window_line() {
    cedev windows | grep -F "text=\"$1\"" | head -n 1
}

count_windows() {
    cedev windows | grep -c "^text=\"$1\"" || true
}

# The host ids of the device's running processes whose command line matches REGEX
# (every one without REGEX): a device's processes share one process namespace.
device_pids() { # [REGEX]
    local pid start display
    read -r pid start display <"$CEDEV_DEVICE/.cedev/session" || return 0
    pgrep --ns "$pid" --nslist pid -f "${1:-.}" || true
}

# Gives what a test made in the device folder from the host to the device's owner: a
# device's processes run as the uid its folder belongs to, and change only its files.
device_owns() { # PATH...
    chown -hR "$(stat -c %u:%g "$CEDEV_DEVICE")" "$@"
}

reg_value() { # KEY VALUE
    cedev reg query "$1" "$2"
}

# Taps a button of the running program and checks the box it shows: its caption and
# text, and when a picture is named, that it lies wholly on the screen and looks as in
# the picture. Then dismisses it and checks that the program ends with exit code 0.
tap_and_expect_box() { # BUTTON CAPTION TEXT [PICTURE]
    cedev tap "$1"
    cedev wait box
    expect_eq "$(cedev box)" "caption: $2
text: $3" "box after $1"
    if [ -n "${4:-}" ]; then
        local box
        box=$(cedev box --json)
        expect_on_screen "$box" "box after $1"
        expect_screen "$box" "$4"
    fi
    cedev tap OK
    expect_eq "$(exit_code)" 0 "exit code after $1"
}

HIVE='\Flash Disk\registry.dat'
HOST_HIVE=$CEDEV_DEVICE/drive_c/Flash\ Disk/registry.dat
SAVED="Registry Save Complete!"
SAVE_FAILED="Registry Fail! After Reset PDA, Retry again!"
DELETED="Registry Delete Complete!"
DELETE_FAILED="Registry Delete Fail! After Reset PDA, Retry again!"

# A run killed at its time limit may have left a file system mounted in its device
# (flash_full's small flash disk), or the device half removed; a new run starts
# without them. The folder is this test's own.
findmnt -rn -o TARGET | sed 's/\\x20/ /g' | while IFS= read -r place; do
    case $place in "$CEDEV_DEVICE"/*) umount "$place" ;; esac
done
[ -f "$CEDEV_DEVICE/.cedev/device" ] || rm -rf "$CEDEV_DEVICE"
cedev init --force >/dev/null
