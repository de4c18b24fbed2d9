#!/usr/bin/env bash
# A device's processes belong to it: 'cedev stop' ends every one of them whatever
# state its Wine server or display is in, a command that finds them broken says so,
# and nothing long-lived holds the caller's output.
. "$(dirname "$0")/lib.sh"

# Ends when every process in PIDS is gone, or fails naming what was left.
expect_gone() { # WHAT PIDS...
    local what=$1 pid left deadline=$((SECONDS + 20))
    shift
    for pid in "$@"; do
        while [ -e "/proc/$pid" ] && ! grep -q '^State:.*zombie' "/proc/$pid/status" 2>/dev/null; do
            if [ $SECONDS -ge $deadline ]; then
                left=$(ps -o pid=,args= -p "$*" | head -n 5)
                fail "$what: processes still running 20 s later: $left"
            fi
            sleep 0.05
        done
    done
}

# ---------------------------------------------------------------------------
step "stop keeps the registry as it was, as a handheld that is switched off keeps its RAM"
# Written just before the stop, long before the Wine server would save it by itself.
cedev reg set 'HKLM\Software\RegSaveTest' KeptByStop REG_DWORD 1
cedev reg set 'HKCU\Software\RegSaveTest' KeptByStop REG_SZ 'ਪ一 😀'
cedev stop
expect_eq "$(reg_value 'HKLM\Software\RegSaveTest' KeptByStop)" "REG_DWORD 0x00000001" "HKLM after a stop"
expect_eq "$(reg_value 'HKCU\Software\RegSaveTest' KeptByStop)" "REG_SZ ਪ一 😀" "HKCU after a stop"

step "a device's keeper killed from outside takes the device with it; the next command starts afresh"
reg_value 'HKLM\Software\RegSaveTest' KeptByStop >/dev/null
pids=$(device_pids)
read -r init _ <"$CEDEV_DEVICE/.cedev/session"
keeper=$(ps -o ppid= -p "$(ps -o ppid= -p "$init" | tr -d ' ')" | tr -d ' ')
[ -n "$keeper" ] && [[ $(ps -o args= -p "$keeper") == *__keeper* ]] || fail "no keeper above the device's sandbox"
# The cgroups the keeper made for the device's limits (none where cedev may not make them).
cgroups=$(find /sys/fs/cgroup -maxdepth 5 -type d -name "cedev-$keeper-*" 2>/dev/null || true)
kill -KILL "$keeper"
expect_gone "after its keeper was killed" $pids
expect_eq "$(reg_value 'HKLM\Software\RegSaveTest' KeptByStop)" "REG_DWORD 0x00000001" "the value, on the device started afresh"
for dir in $cgroups; do
    [ ! -d "$dir" ] || fail "the killed keeper's cgroup $dir is still there after the next start"
done
cedev stop

step "a stale record of a session names an unrelated process: the device is off, and stop leaves that process be"
sleep 120 &
other=$!
echo "$other 1 :0" >"$CEDEV_DEVICE/.cedev/session"
expect_error "device is off" cedev windows
cedev stop
kill -0 "$other" 2>/dev/null || fail "'cedev stop' ended process $other, which a stale record named"
kill "$other"
wait "$other" || true

for victim in wineserver Xvfb; do
    step "$victim killed from outside: commands say so, stop ends every process"
    start_program
    pids=$(device_pids)
    target=$(device_pids "^(/usr/lib/wine/)?$victim")
    [ -n "$target" ] || fail "no $victim among the device's processes"
    kill -KILL $target
    expect_error "had been ended from outside" cedev windows
    expect_gone "after the $victim was killed" $pids
    expect_error "device is off" cedev screenshot "$TEST_DEVICES/$NAME.png"
    cedev stop
    cedev reset >/dev/null
    start_program
    cedev key alt+f4
    expect_eq "$(exit_code)" 0 "exit code after the restart"
done

step "a display that is gone before cedev learns of it: a screen command says so instead of answering"
# A killed display's end reaches cedev only once its tracer lets it go: until then a
# command reaches the helper while the display is gone and cedev does not know it yet.
# Only root may trace the display, which runs from a file no one else can read.
if [ "$(id -u)" = 0 ]; then
    start_program
    pids=$(device_pids)
    xvfb=$(device_pids '^(/usr/bin/)?Xvfb')
    [ -n "$xvfb" ] || fail "no Xvfb among the device's processes"
    # Holds the display's end until its input ends, then lets it go; a test that fails
    # meanwhile lets it go before it stops the device.
    tracing=
    trap '[ -z "$tracing" ] || { [ -z "${TRACER[1]:-}" ] || exec {TRACER[1]}>&-; wait "$tracing" || true; }; cleanup' EXIT
    coproc TRACER { /usr/bin/python3 -c '
import ctypes, os, sys
libc = ctypes.CDLL(None, use_errno=True)
libc.ptrace.argtypes = [ctypes.c_long, ctypes.c_long, ctypes.c_void_p, ctypes.c_void_p]
pid = int(sys.argv[1])
if libc.ptrace(0x4206, pid, None, None):  # PTRACE_SEIZE
    print("refused:", os.strerror(ctypes.get_errno()), flush=True)
    sys.exit(1)
print("seized", flush=True)
sys.stdin.read()
while True:
    _, status = os.waitpid(pid, 0x40000000)  # __WALL
    if os.WIFEXITED(status) or os.WIFSIGNALED(status):
        break
    libc.ptrace(7, pid, None, None)  # PTRACE_CONT
print("let go", flush=True)' "$xvfb"; }
    tracing=$TRACER_PID
    read -r -t 10 said <&"${TRACER[0]}" || said="no answer within 10 s"
    [ "$said" = seized ] || fail "the display could not be traced: $said"
    kill -KILL $xvfb
    # Gone: all its threads ended, so its files, the display's socket among them, closed.
    wait_until 10 "the killed Xvfb to be down to its unreaped main thread" eval \
        '[ "$(ls /proc/$xvfb/task)" = "$xvfb" ] && grep -q "^[^)]*) Z" /proc/$xvfb/stat'
    expect_error "helper ended|had been ended from outside" cedev windows
    exec {TRACER[1]}>&-
    read -r -t 10 said <&"${TRACER[0]}" || said="no answer within 10 s"
    [ "$said" = "let go" ] || fail "the tracer did not let the display go: $said"
    wait "$tracing" || true
    tracing=
    expect_error "had been ended from outside" cedev windows
    expect_gone "after the display was gone" $pids
    cedev stop
else
    echo "(not root: skipped)"
fi

step "the user's display, the device's screen a window on it, killed: commands say so, every process goes"
cedev stop
start_user_display 640x480x24
n=$USER_DISPLAY userx=$USER_X
DISPLAY=:$n cedev run --detach "$PROG"
DISPLAY=:$n cedev wait window Registry
pids=$(device_pids)
# The display itself, which timeout started (and ends after 300 s if this test fails).
kill -KILL "$(pgrep -P $userx)"
wait $userx || true
expect_error "display :$n the device's screen was on is gone" cedev windows
expect_gone "after the user's display was killed" $pids
expect_error "device is off" cedev box

step "stop while commands run: each ends within its bound, every process goes"
for round in 1 2 3 4 5; do
    start_program
    pids=$(device_pids)
    rc=0
    timeout 30 "$CEDEV" tap Save >/dev/null 2>&1 &
    tapper=$!
    cedev stop
    wait $tapper || rc=$?
    [ $rc != 124 ] || fail "round $round: 'cedev tap' was still waiting 30 s after 'cedev stop'"
    expect_gone "round $round, after stop" $pids
done

step "a command that starts the device does not hold its caller's output"
cedev stop
for cmd in "run --detach $PROG" "reg query HKLM\\Comm BootCount"; do
    rc=0
    # The pipe ends when cedev does, not when the device's processes do.
    timeout 30 bash -c "\"\$CEDEV\" $cmd 2>&1 | cat >/dev/null" || rc=$?
    [ $rc != 124 ] || fail "'cedev $cmd | cat' was held open for 30 s"
    [ $rc = 0 ] || fail "'cedev $cmd | cat' failed ($rc)"
done
wait_program
cedev key alt+f4
expect_eq "$(exit_code)" 0 "exit code"

step "a device whose folder is removed while it runs ends by itself, keeper and all"
start_program
pids=$(device_pids)
keeper=$(pgrep -f -x "cedev __keeper $CEDEV_DEVICE .*")
[ -n "$keeper" ] || fail "no keeper runs for $CEDEV_DEVICE"
rm -rf "$CEDEV_DEVICE"
expect_gone "after its folder was removed" $keeper $pids
