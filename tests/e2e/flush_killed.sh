#!/usr/bin/env bash
# A program killed at any point of a flush never leaves a damaged hive: the file is
# always a complete earlier or later save, and a cold boot imports it.
. "$(dirname "$0")/lib.sh"

FLUSHER=$TEST_BIN/flusher.exe

step "a large registry, saved once"
# 2000 values of 1 KB make each flush write about 15 MB.
cedev run "$FLUSHER" grow 2000
cedev run --detach "$FLUSHER"
until cedev hive >/dev/null 2>&1; do :; done
kill -KILL $(device_pids 'flusher\.exe') 2>/dev/null || true
cedev wait exit >/dev/null || true

for round in 1 2 3 4 5 6 7 8; do
    step "round $round: the flusher is killed at a random point of its flushes"
    cedev run --detach "$FLUSHER"
    # Once a flush has begun writing, the kill lands at a random moment of this or a
    # later flush: the pause is the fault's timing, not a wait for anything.
    until cedev ls "$HIVE.new" >/dev/null 2>&1; do :; done
    sleep "0.$((RANDOM % 5))$((RANDOM % 10))"
    kill -KILL $(device_pids 'flusher\.exe') 2>/dev/null || true
    rc=0
    cedev wait exit || rc=$?
    [ $rc != 0 ] || fail "the flusher ended by itself"
    cedev hive >/dev/null || fail "the hive does not read back cleanly after round $round"
done

step "a cold boot imports the last complete save"
cedev reset
[[ $(reg_value 'HKLM\Software\FlushTest' Counter) =~ ^REG_DWORD\ 0x[0-9a-f]{8}$ ]] ||
    fail "no flush counter after the cold boot"
cedev reg query 'HKLM\Software\FlushTest\Bulk' Value001999 >/dev/null
