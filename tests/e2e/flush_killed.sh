#!/usr/bin/env bash
# A program killed at any point of a flush never leaves a damaged hive: the file is
# always a complete earlier or later save, and a cold boot imports it.
. "$(dirname "$0")/lib.sh"

FLUSHER=$TEST_BIN/flusher.exe

step "a large registry, saved once"
# 2000 values of 1 KB make each flush write about 15 MB.
cedev run "$FLUSHER" grow 2000
cedev run --detach "$FLUSHER"
deadline=$((SECONDS + 30))
until cedev hive >/dev/null 2>&1; do
    [ $SECONDS -lt $deadline ] || fail "no hive that reads back within 30 s of flushing: $(cedev hive 2>&1)"
done
kill -KILL $(device_pids 'flusher\.exe') 2>/dev/null || true
cedev wait exit >/dev/null || true

for round in 1 2 3 4 5 6 7 8; do
    step "round $round: the flusher is killed at a random point of its flushes"
    cedev run --detach "$FLUSHER"
    # Once the flusher is at work, the kill lands at a random moment of one of its
    # back-to-back flushes: the pause is the fault's timing, not a wait for anything.
    # (Each flusher counts its flushes from 1, so a changed counter means it runs.)
    before=$(reg_value 'HKLM\Software\FlushTest' Counter)
    deadline=$((SECONDS + 30))
    until [ "$(reg_value 'HKLM\Software\FlushTest' Counter)" != "$before" ]; do
        [ $SECONDS -lt $deadline ] || fail "round $round: the flusher did not get to work within 30 s"
        # The flusher flushes until it is killed; one that ended tells why.
        cedev wait exit --timeout 0 >/dev/null 2>&1 && fail "round $round: the flusher ended by itself"
    done
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
