#!/usr/bin/env bash
# The screen in a web browser: headless Chromium opens the view's page and clicks
# Save where the page shows it; the device and the page's own canvas then show the
# box, and a key pressed in the page closes it. A view for other machines refuses the
# page without its password, and keeps that nowhere. 'cedev stop' and a cold boot end
# the view first. No client reaches the screen without the token of the printed
# address, nor from a page of another site.
. "$(dirname "$0")/lib.sh"

PY=/usr/bin/python3
command -v chromium >/dev/null && command -v chromedriver >/dev/null && $PY -c 'import selenium' 2>/dev/null ||
    fail "the browser is missing: Debian's chromium, chromium-driver and python3-selenium (scripts/deps.sh installs them)"

# Starts 'cedev view' in the background on a free port (another test may hold one);
# PORT, VIEW (its process) and URL tell where it is.
start_view() { # [ARGS...]
    local out=$TEST_DEVICES/$NAME.view try
    for try in 1 2 3 4 5; do
        PORT=$((20000 + RANDOM % 40000))
        # Emptied here, not by the job's own redirection, which may come after the
        # first look at it: what an earlier view wrote would pass for this one's.
        : >"$out"
        cedev view --port $PORT "$@" >>"$out" 2>&1 &
        VIEW=$!
        wait_until 30 "the view to start" grep -q -e 'ends the view' -e '^cedev:' "$out"
        grep -q "is in use" "$out" || break
    done
    grep -q 'ends the view' "$out" || fail "the view did not start: $(cat "$out")"
    URL=$(sed -n 's/.* is at: //p' "$out")
    PASSWORD=$(sed -n 's/^Password.*: //p' "$out")
}

# Runs COMMAND (a stop or a cold boot), which must end the running view first: its
# processes are gone when the command returns, x11vnc never saw the device's display
# go, and 'cedev view' ends, saying so.
expect_view_ended_by() { # COMMAND...
    local dir=$CEDEV_DEVICE/.cedev/view recorded pid
    recorded=$(awk '{ print $1 }' "$dir/pids")
    [ -n "$recorded" ] || fail "no view process is recorded"
    "$@" >/dev/null
    for pid in $recorded; do
        [ ! -e "/proc/$pid" ] || grep -q '^State:.*zombie' "/proc/$pid/status" 2>/dev/null ||
            fail "'$*' returned while the view's process $pid still ran: $(ps -o args= -p "$pid" | cut -c1-100)"
    done
    wait_until 10 "the view to end" eval '! kill -0 $VIEW 2>/dev/null'
    wait "$VIEW" || true
    ! grep -q 'XIO' "$dir/x11vnc.log" || fail "the view outlived the device's display: $(grep -m1 XIO "$dir/x11vnc.log")"
    expect_match "$(tail -n 1 "$TEST_DEVICES/$NAME.view")" "view ended" "the view's last line"
}

# Whether a TCP connection to ADDRESS:PORT is accepted.
reachable() { # ADDRESS PORT
    bash -c 'exec 3<>"/dev/tcp/$1/$2"' _ "$1" "$2" 2>/dev/null
}

# The browser ends when its input does, before its profile goes.
end_browser() {
    [ -z "${BROWSER_PID:-}" ] || { exec {BROWSER[1]}>&-; wait "$BROWSER_PID" || true; }
    rm -rf "$TEST_DEVICES/$NAME.chrome" "$TEST_DEVICES/$NAME.browser.log" "$TEST_DEVICES/$NAME.view"
}
trap 'end_browser; cleanup' EXIT

# One command to the browser (none: its greeting), and its answer.
browse() {
    [ $# = 0 ] || echo "$*" >&"${BROWSER[1]}"
    local reply
    read -r -t 60 reply <&"${BROWSER[0]}" || fail "the browser did not answer '$*'"
    echo "$reply"
}

step "a device that is off has no view"
expect_error "the device is off" cedev view

step "the page shows the screen at 2x, and a click on Save taps it"
start_program
start_view
expect_eq "$(stat -c %a "$CEDEV_DEVICE/.cedev/view")" 700 "the mode of the view's folder, which holds its token"
expect_match "$URL" "^http://127\.0\.0\.1:$PORT/" "address of the view"
reachable 127.0.0.1 $PORT || fail "the view does not listen on 127.0.0.1:$PORT"
! reachable 127.0.0.2 $PORT || fail "the view listens beyond 127.0.0.1"
expect_error "a view of this device already runs" cedev view
coproc BROWSER { $PY "$SOURCE_DIR/tests/e2e/browser.py" "$TEST_DEVICES/$NAME.chrome" 2>"$TEST_DEVICES/$NAME.browser.log"; }
[ "$(browse)" = ready ] || fail "the browser did not start: $(cat "$TEST_DEVICES/$NAME.browser.log")"
expect_eq "$(browse open "$URL")" connected "the page"
save=$(cedev windows --json | grep '"text":"Save"')
[[ $save =~ \"w\":([0-9]+),\"h\":([0-9]+),\"screen_x\":([0-9]+),\"screen_y\":([0-9]+) ]] || fail "no Save in $save"
x=$((BASH_REMATCH[3] + BASH_REMATCH[1] / 2)) y=$((BASH_REMATCH[4] + BASH_REMATCH[2] / 2))
expect_eq "$(browse click $((2 * x + 1)) $((2 * y + 1)))" ok "click"
cedev wait box
expect_eq "$(cedev box)" "caption: Save OK
text: $SAVED" "box after the click"

step "the page's canvas shows the screen, box included"
canvas=$TEST_DEVICES/$NAME.canvas.png shot=$TEST_DEVICES/$NAME.shot.png
canvas_shows_screen() {
    cedev screenshot "$shot" && convert "$shot" -scale 200% "$shot"
    [ "$(browse canvas "$canvas")" = ok ] && [ "$(image_diff "$canvas" "$shot" 480x640+0+0)" = 0 ]
}
wait_until 10 "the canvas to show the screen" canvas_shows_screen
rm -f "$canvas" "$shot"

step "Enter pressed in the page closes the box, and the program ends"
expect_eq "$(browse key ENTER)" ok "key"
expect_eq "$(exit_code)" 0 "exit code"

step "cedev stop ends the view before the device"
expect_view_ended_by cedev stop

step "a view for other machines asks for its password, and refuses a wrong one"
start_program
start_view --listen 127.0.0.2
expect_match "$URL" "^http://127\.0\.0\.2:$PORT/" "address of the view"
expect_match "$PASSWORD" '^[A-Za-z0-9_-]{8}$' "password"
expect_eq "$(browse open "$URL")" password "the page without a password"
expect_match "$(browse open "$URL&password=wrong")" "^refused .*rejected" "the page with a wrong password"
expect_eq "$(browse open "$URL&password=$PASSWORD")" connected "the page with the password"
# The password is shown once and kept nowhere: x11vnc removes the file it read it from.
wait_until 5 "the view's password file to go" eval '[ ! -e "$CEDEV_DEVICE/.cedev/view/passwd" ]'
kept=$(grep -rlF -- "$PASSWORD" "$CEDEV_DEVICE/.cedev" 2>/dev/null || true)
[ -z "$kept" ] || fail "the view's password is kept in $kept"
! reachable 127.0.0.1 $PORT || fail "the view for 127.0.0.2 listens on 127.0.0.1 too"

step "a cold boot ends the view before the device"
expect_view_ended_by cedev reset

step "a port in use is named"
cedev stop
start_program
exec {held}> >($PY -c 'import socket, sys; s = socket.socket(); s.bind(("127.0.0.1", int(sys.argv[1])))
s.listen(); sys.stdin.read()' $PORT)
wait_until 10 "port $PORT to be taken" bash -c 'exec 2>/dev/null 3<>"/dev/tcp/127.0.0.1/$1"' _ $PORT
expect_error "port $PORT on 127.0.0.1 is in use" cedev view --port $PORT
exec {held}>&-

step "a client without the address's token, or a page of another site, never reaches the screen"
cedev stop
start_program
start_view
origin="http://127.0.0.1:$PORT"
probe() { $PY - "$@" <"$SOURCE_DIR/tests/e2e/ws_probe.py"; }
expect_match "$(probe "ws://127.0.0.1:$PORT/websockify" "$origin")" "^refused" "a client without the token"
if [ "$(id -u)" = 0 ]; then
    expect_match "$(setpriv --reuid=65534 --regid=65534 --clear-groups $PY - "ws://127.0.0.1:$PORT/websockify" \
        "$origin" <"$SOURCE_DIR/tests/e2e/ws_probe.py")" "^refused" "another user of the machine"
fi
[[ $URL =~ ^http://([^/]+)/.*[?\&]path=websockify%3Ftoken%3D([0-9a-f]{32})(\&|$) ]] || fail "no token in the address $URL"
token=${BASH_REMATCH[2]} ws="ws://${BASH_REMATCH[1]}/websockify?token=${BASH_REMATCH[2]}"
expect_match "$(probe "ws://127.0.0.1:$PORT/websockify?token=${token//?/0}" "$origin")" "^refused" "a client with a wrong token"
expect_match "$(probe "$ws" "http://attacker.example")" "^refused" "a page of another site, with the token"
expect_eq "$(probe "$ws" "$origin")" screen "the view's own page, with its token"

step "the view's servers get no descriptor of its caller's"
cedev stop
start_program
SECRET=$TEST_DEVICES/$NAME.secret
echo "view-secret-$$" >"$SECRET"
exec 7<"$SECRET"
start_view
exec 7<&-
# The view's processes and all they started.
tree() { local p; for p in "$@"; do echo "$p"; tree $(pgrep -P "$p" || true); done; }
for pid in $(tree $(awk '{ print $1 }' "$CEDEV_DEVICE/.cedev/view/pids")); do
    held=$(ls -l "/proc/$pid/fd" 2>/dev/null | grep -F "$SECRET" || true)
    [ -z "$held" ] || fail "the view's process $pid ($(ps -o comm= -p "$pid")) holds its caller's file: $held"
done
rm -f "$SECRET"
cedev stop
wait "$VIEW" || true

step "make view: Ctrl+C ends the view and stops the device"
# Started as from a terminal: a script's background job would ignore Ctrl+C's signal.
interactive() { exec $PY -c 'import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_DFL); os.execv(sys.argv[1], sys.argv[1:])' "$@"; }
for try in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 40000))
    : >"$TEST_DEVICES/$NAME.make"
    REGSAVE_BUILD=$BUILD_NAME VIEW_ARGS="--port $port" interactive "$SOURCE_DIR/scripts/run.sh" "$(dirname "$BIN")" view \
        >>"$TEST_DEVICES/$NAME.make" 2>&1 &
    maker=$!
    wait_until 60 "make view's view to start" grep -q -e 'ends the view' -e '^cedev:' "$TEST_DEVICES/$NAME.make"
    if ! grep -q "is in use" "$TEST_DEVICES/$NAME.make"; then break; fi
    wait $maker || true
done
grep -q 'ends the view' "$TEST_DEVICES/$NAME.make" || fail "make view's view did not start: $(cat "$TEST_DEVICES/$NAME.make")"
kill -INT $maker
rc=0
wait $maker || rc=$?
expect_eq "$rc" 130 "make view's exit code after Ctrl+C"
expect_error "device is off" cedev windows
rm -f "$TEST_DEVICES/$NAME.make"
