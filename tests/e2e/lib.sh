# Shared by the end-to-end tests: each test script gets a throwaway device of its own,
# named after the script, and removes it when it ends.
set -Eeuo pipefail
# A command that fails on its own says so, with its line, and what the device said.
trap 'echo "FAIL: line $LINENO: \"$BASH_COMMAND\" ($*) exited with $?" >&2; device_log >&2' ERR

NAME=$(basename "$0" .sh)
export CEDEV_DEVICE=$TEST_DEVICES/$NAME
PROG=$BIN/RegSave.exe

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

cleanup() {
    "$CEDEV" stop >/dev/null 2>&1 || true
    rm -rf "$CEDEV_DEVICE"
}
trap cleanup EXIT

device_log() {
    local job
    if [ -s "$CEDEV_DEVICE/.cedev/log" ]; then
        echo "The device's log ends:"
        tail -n 15 "$CEDEV_DEVICE/.cedev/log"
    fi
    for job in "$CEDEV_DEVICE"/.cedev/jobs/*.log; do
        [ -s "$job" ] || continue
        echo "The last detached program said ($(cat "${job%.log}.rc" 2>/dev/null || echo 'still running')):"
        tail -n 10 "$job"
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

start_program() {
    cedev run --detach "$PROG"
    cedev wait window Registry
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

reg_value() { # KEY VALUE
    cedev reg query "$1" "$2"
}

# Taps a button of the running program, checks the box it shows, dismisses it and
# checks that the program then ends with exit code 0.
tap_and_expect_box() { # BUTTON CAPTION TEXT
    cedev tap "$1"
    cedev wait box
    expect_eq "$(cedev box)" "caption: $2
text: $3" "box after $1"
    cedev tap OK
    expect_eq "$(exit_code)" 0 "exit code after $1"
}

HIVE='\Flash Disk\registry.dat'
HOST_HIVE=$CEDEV_DEVICE/drive_c/Flash\ Disk/registry.dat
SAVED="Registry Save Complete!"
SAVE_FAILED="Registry Fail! After Reset PDA, Retry again!"
DELETED="Registry Delete Complete!"
DELETE_FAILED="Registry Delete Fail! After Reset PDA, Retry again!"

cedev init --force >/dev/null
