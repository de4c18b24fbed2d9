#!/usr/bin/env bash
# Commands on one device that must not overlap wait for each other and then run, and
# both tell the truth; two starts of RegSave at the same moment give one window.
. "$(dirname "$0")/lib.sh"

LOCK=$CEDEV_DEVICE/.cedev/lock

# Runs two cedev commands at once; both must succeed.
both() { # "ARGS1" "ARGS2"
    local a b rc1=0 rc2=0
    timeout 120 "$CEDEV" $1 >/dev/null 2>"$TEST_DEVICES/$NAME.err1" &
    a=$!
    timeout 120 "$CEDEV" $2 >/dev/null 2>"$TEST_DEVICES/$NAME.err2" &
    b=$!
    wait $a || rc1=$?
    wait $b || rc2=$?
    [ $rc1 = 0 ] && [ $rc2 = 0 ] ||
        fail "'cedev $1' ($rc1: $(cat "$TEST_DEVICES/$NAME.err1")) beside 'cedev $2' ($rc2: $(cat "$TEST_DEVICES/$NAME.err2"))"
    rm -f "$TEST_DEVICES/$NAME".err?
}

step "two inits, resets and runs at once on one device"
for round in 1 2 3; do
    both "init --force" "init --force"
    expect_eq "$(grep -c '^\[Comm\]' "$CEDEV_DEVICE/.cedev/factory/system.reg")" 1 "[Comm] blocks in the factory registry"
    both "reset" "reset"
    both "run --detach $PROG" "run --detach $PROG"
    wait_program
    expect_eq "$(count_windows Registry)" 1 "main windows"
    cedev key alt+f4
    cedev wait nowindow Registry
done

step "a registry write during a cold boot waits for it, then lands"
for round in 1 2 3 4; do
    cedev reg query 'HKLM\Comm' >/dev/null
    "$CEDEV" reset >/dev/null &
    resetter=$!
    # Once the reset holds the device, the write must wait for it.
    deadline=$((SECONDS + 20))
    while flock -n "$LOCK" true; do
        kill -0 $resetter 2>/dev/null || break
        [ $SECONDS -lt $deadline ] || fail "the reset never took the device's lock"
    done
    cedev reg set 'HKLM\Software\RaceTest' Round REG_DWORD $round
    wait $resetter
    expect_eq "$(reg_value 'HKLM\Software\RaceTest' Round)" "REG_DWORD $(printf '0x%08x' $round)" \
        "the value written during reset $round"
done

step "a write whose session ended while it waited for the lock lands in the next session"
# The test holds the device as a cold boot would; the write connects to the running
# session, waits for the lock, and meanwhile the session ends (its keeper is killed).
cedev reg query 'HKLM\Comm' >/dev/null
read -r init _ <"$CEDEV_DEVICE/.cedev/session"
keeper=$(ps -o ppid= -p "$(ps -o ppid= -p "$init" | tr -d ' ')" | tr -d ' ')
[ -n "$keeper" ] && [[ $(ps -o args= -p "$keeper") == *__keeper* ]] || fail "no keeper above the device's sandbox"
# Let go before the device is stopped, should the test fail meanwhile.
held=
trap '[ -z "$held" ] || exec {held}>&-; rm -f "$TEST_DEVICES/$NAME.err"; cleanup' EXIT
exec {held}>>"$LOCK"
flock -w 20 -x $held || fail "the device's lock was not free within 20 s"
# Not inherited by the write, which would then wait for itself.
timeout 120 "$CEDEV" reg set 'HKLM\Software\RaceTest' Ended REG_DWORD 7 >/dev/null 2>"$TEST_DEVICES/$NAME.err" {held}>&- &
writer=$!
# It opens the lock once it has connected to the session.
wait_until 20 "the write to wait for the device's lock" \
    eval 'p=$(pgrep -P $writer) && readlink /proc/$p/fd/* 2>/dev/null | grep -qxF -- "$LOCK"'
kill -KILL "$keeper"
wait_until 20 "the killed keeper to end" \
    eval '[ ! -e /proc/$keeper ] || grep -q "^State:.*zombie" /proc/$keeper/status'
exec {held}>&-
held=
rc=0
wait $writer || rc=$?
[ $rc = 0 ] || fail "a write whose session ended while it waited for the lock failed ($rc): $(cat "$TEST_DEVICES/$NAME.err")"
rm -f "$TEST_DEVICES/$NAME.err"
expect_eq "$(reg_value 'HKLM\Software\RaceTest' Ended)" "REG_DWORD 0x00000007" "the value written after its session ended"

step "two starts of RegSave at the same moment give one window"
for round in 1 2 3 4 5 6; do
    cedev run '\Windows\system32\cmd.exe' /c "start $START_LINE & start $START_LINE"
    wait_program
    # The losing start brings the winner forward and ends; once it has, only the
    # winner is left of the two.
    deadline=$((SECONDS + 20))
    while [ "$(device_pids 'RegSave\.exe' | wc -l)" != 1 ]; do
        [ $SECONDS -lt $deadline ] || fail "round $round: $(device_pids 'RegSave\.exe' | wc -l) copies still running after 20 s"
        sleep 0.05
    done
    expect_eq "$(count_windows Registry)" 1 "main windows in round $round"
    cedev key alt+f4
    cedev wait nowindow Registry
done
