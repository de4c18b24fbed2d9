#!/usr/bin/env bash
# make bench: each figure of RegSave beside its floor, both measured in this run on the
# same simulated handheld, and judged by their ratio:
#
#   start-up        RegSave, from its start to its main window on screen, against a bare
#                   one-window program (bench/bare.cpp) started the same way
#   flush           RegFlushKey of the whole registry against the Wine server's own save
#                   of the same two roots made durable and moved into place as a flush
#                   must (and, for the record, the bare save and a plain durable write
#                   of the bytes the flush wrote)
#   tap to box      a tap on Save to its message box, against a bare program's box after
#                   a tap plus the server's save of the registry the tap writes
#   cold boot       cedev reset with the whole registry saved, against one with none
#   device creation cedev init, for the record beside a copy of the template as it
#                   makes one
#   first start     a new device's first command (cedev reg query), against a bare Wine
#                   start in the same sandbox asking Wine's own reg.exe the same
#   command         cedev ls, reg query and windows on a running device, against a bare
#                   round trip through the same channel to the resident helper; and
#                   cedev help, for the record
#   ARM build       the handheld's image on the ARM runner: start-up and tap to box
#                   against the x86-64 build's, and the runner's cost per COREDLL call
#
# Each timing is the median of its runs; the spread is the middle half of them. Prints
# one line per figure, keeps the table in BUILD/bench.md, and exits 1 when a ratio
# misses its bound.
set -euo pipefail
build=${1:-build}
cedev=$build/bin/cedev
bench=$build/bench-bin
export CEDEV_DEVICE=$build/bench-device
unset DISPLAY
report=$build/bench.md
tmp=$(mktemp -d "${TMPDIR:-/tmp}/regsave-bench.XXXXXX")
floor_pid=
cleanup() {
    [ -z "$floor_pid" ] || kill -KILL "$floor_pid" 2>/dev/null || true
    "$cedev" stop >/dev/null 2>&1 || true
    "$cedev" --device "$CEDEV_DEVICE.new" stop >/dev/null 2>&1 || true
    rm -rf "$CEDEV_DEVICE" "$CEDEV_DEVICE.new" "$CEDEV_DEVICE.copy" "$tmp"
}
trap cleanup EXIT

# How many times each timing is taken.
STARTUP_RUNS=21
TAP_RUNS=15
FLUSH_RUNS=21
RESET_RUNS=11
CREATION_RUNS=9
CALL_RUNS=9
COMMAND_RUNS=31
CALLS=100000

missed=0
table=()

# The statistics of some timings in ms: "median low high" (low..high: the middle half).
stats() { # VALUES...
    printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 }
        function q(p,  at, i) { at = p * (NR - 1) + 1; i = int(at); return i >= NR ? v[NR] : v[i] + (at - i) * (v[i + 1] - v[i]) }
        END { printf "%.1f %.1f %.1f\n", q(0.5), q(0.25), q(0.75) }'
}

# A line of bench.exe's output: "NAME median M ms  spread A..B ms ..." as "M A B".
figure() { # OUTPUT NAME
    awk -v n="$2" '$1 == n { split($6, s, /\.\./); printf "%s %s %s\n", $3, s[1], s[2] }' <<<"$1"
}

ms() { # "median low high"
    set -- $1
    printf '%s ms (%s..%s)' "$1" "$2" "$3"
}

# One figure beside its floor, with the verdict of their ratio.
judge() { # WHAT MEASURED-STATS FLOOR-NAME FLOOR-STATS BOUND
    local what=$1 measured=$2 floor_name=$3 floor=$4 bound=$5 ratio verdict
    ratio=$(awk -v a="${measured%% *}" -v b="${floor%% *}" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 999) }')
    if awk -v r="$ratio" -v b="$bound" 'BEGIN { exit !(r <= b) }'; then verdict=ok; else verdict=MISSED; missed=1; fi
    printf '  %-22s %-26s  %s %-26s  %5s x (<= %s)  %s\n' "$what" "$(ms "$measured")" "vs $floor_name" \
        "$(ms "$floor")" "$ratio" "$bound" "$verdict"
    table+=("| $what | $(ms "$measured") | $floor_name: $(ms "$floor") | $ratio | <= $bound | $verdict |")
}

# A figure kept for the record, without a verdict.
record() { # WHAT TEXT
    printf '  %-22s %s\n' "$1" "$2"
    table+=("| $1 | $2 | | | | for the record |")
}

# bench.exe inside the device; what it says when it fails is the reason.
measure() { # ARGS...
    local out
    out=$("$cedev" run "$bench/bench.exe" "$@") || { printf 'bench %s failed: %s\n' "$1" "$out" >&2; return 1; }
    echo "$out"
}

elapsed_us() { # COMMAND...: its wall-clock time in microseconds
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null
    end=$(date +%s%N)
    echo $(((end - start) / 1000))
}

# Microseconds as milliseconds, for stats.
in_ms() { # VALUES...
    local v
    for v in "$@"; do awk -v v="$v" 'BEGIN { printf "%.3f\n", v / 1000 }'; done
}

elapsed() { # COMMAND...: its wall-clock time in ms
    local us
    us=$(elapsed_us "$@")
    echo $((us / 1000))
}

echo "Measuring on a fresh device; $(nproc) processors, load average $(cut -d' ' -f1-3 /proc/loadavg)."
"$cedev" init --force >/dev/null
cp "$build/ce-arm/RegSave.exe" "$tmp/RegSaveARM.exe"
for f in "$build/bin/RegSave.exe" "$bench/bare.exe" "$tmp/RegSaveARM.exe" "$bench/armcalls.exe"; do
    "$cedev" put "$f" '\Program Files' >/dev/null
done

size=$(stat -c %s "$build/bin/RegSave.exe")
arm_size=$(stat -c %s "$build/ce-arm/RegSave.exe")
if [ "$size" -le 16384 ] && [ "$arm_size" -le "$size" ]; then verdict=ok; else verdict=MISSED; missed=1; fi
echo "Size"
printf '  %-22s %s bytes, the handheld'"'"'s image %s bytes (<= 16384, the image no larger)  %s\n' RegSave.exe \
    "$size" "$arm_size" "$verdict"
table+=("| size | RegSave.exe $size bytes, ARM image $arm_size bytes | | | <= 16384 | $verdict |")

echo "Start-up: from the program's start to its main window on screen"
out=$(measure startup "$STARTUP_RUNS")
judge "start-up" "$(figure "$out" startup-regsave)" "bare program" "$(figure "$out" startup-bare)" 1.2
judge "start-up, ARM image" "$(figure "$out" startup-regsave-arm)" "x86-64 build" "$(figure "$out" startup-regsave)" 3

echo "Flush of the whole registry"
out=$(measure flush "$FLUSH_RUNS")
flush=$(figure "$out" flush) save=$(figure "$out" server-save) durable=$(figure "$out" server-save-durable)
plain=$(figure "$out" plain-write)
judge "flush" "$flush" "server's durable save" "$durable" 1.5
record "flush: server's save" "$(ms "$save") for the bare save, not durable: the flush takes $(awk -v a="${flush%% *}" -v b="${save%% *}" 'BEGIN { printf "%.1f", a / b }') x that"
record "flush: plain write" "$(ms "$plain") to write the flush's $(sed -n 's/^hive \([0-9]*\) bytes.*/\1/p' <<<"$out") bytes durably: the flush takes $(awk -v a="${flush%% *}" -v b="${plain%% *}" 'BEGIN { printf "%.1f", a / b }') x that"

echo "Tap on the button to the message box on screen"
out=$(measure tap "$TAP_RUNS")
tap=$(figure "$out" tap-regsave) bare=$(figure "$out" tap-bare)
# A tap on Save shows a box once the registry is saved: its floor is both floors' sum.
judge "tap to box" "$tap" "bare box + save" "$(awk -v a="$bare" -v b="$save" 'BEGIN { split(a, x, " "); split(b, y, " ")
    printf "%.1f %.1f %.1f", x[1] + y[1], x[2] + y[2], x[3] + y[3] }')" 1.5
record "tap to box: bare box" "$(ms "$bare") for the bare program's box after a tap"
judge "tap to box, ARM image" "$(figure "$out" tap-regsave-arm)" "x86-64 build" "$tap" 3

echo "A command on the running device: cedev ls, reg query and windows, against a bare round trip to its helper"
"$cedev" run --detach "$build/bin/RegSave.exe" >/dev/null
"$cedev" wait window Registry
for command in ls reg windows ping; do eval "times_$command=()"; done
for run in $(seq "$COMMAND_RUNS"); do
    # Alternating, so that each command and the floor meet the same machine.
    times_ping+=("$(elapsed_us "$cedev" __ping)")
    times_ls+=("$(elapsed_us "$cedev" ls '\Flash Disk')")
    times_reg+=("$(elapsed_us "$cedev" reg query 'HKLM\Comm' BootCount)")
    times_windows+=("$(elapsed_us "$cedev" windows)")
done
ping=$(stats $(in_ms "${times_ping[@]}"))
for command in ls reg windows; do
    eval "values=(\"\${times_$command[@]}\")"
    figure_stats=$(stats $(in_ms "${values[@]}"))
    label="cedev $command"
    [ "$command" != reg ] || label="cedev reg query"
    judge "$label" "$figure_stats" "bare round trip" "$ping" 1.5
    awk -v m="${figure_stats%% *}" 'BEGIN { exit !(m <= 30) }' || {
        echo "  $label: its median ${figure_stats%% *} ms is past 30 ms" && missed=1
    }
done
help=()
for run in $(seq "$COMMAND_RUNS"); do help+=("$(elapsed_us "$cedev" help)"); done
record "cedev help" "$(ms "$(stats $(in_ms "${help[@]}"))") (<= 5 ms)"
"$cedev" key alt+f4 >/dev/null
"$cedev" wait exit >/dev/null

echo "The ARM runner's cost per COREDLL call"
out=$(measure calls "$CALLS" "$CALL_RUNS")
none=$(figure "$out" calls-arm-none) many=$(figure "$out" calls-arm) native=$(figure "$out" calls-native)
record "COREDLL call on ARM" "$(awk -v a="${many%% *}" -v b="${none%% *}" -v c="${native%% *}" -v n="$CALLS" \
    'BEGIN { printf "%.2f us a call of GetStockObject from the ARM image, %.3f us natively (%d calls: %.0f ms, none: %.0f ms)", (a - b) * 1000 / n, c * 1000 / n, n, a, b }')"

echo "Cold boot: cedev reset of the stopped device, with the whole registry saved and with none"
# The flushes above left the whole registry in \Flash Disk\registry.dat. Resets with and
# without it alternate, so that both meet the same machine.
hive="$CEDEV_DEVICE/drive_c/Flash Disk/registry.dat"
"$cedev" hive >/dev/null
"$cedev" stop
saved=() none=()
for run in $(seq "$RESET_RUNS"); do
    saved+=("$(elapsed "$cedev" reset)")
    mv "$hive" "$hive.aside"
    none+=("$(elapsed "$cedev" reset)")
    mv "$hive.aside" "$hive"
done
judge "cold boot, saved" "$(stats "${saved[@]}")" "none saved" "$(stats "${none[@]}")" 1.5

echo "Device creation and its first start"
# The floors: the template copied as cedev copies it, with nothing else; and Wine started
# bare, with its display, in a sandbox of the device's kind (its namespaces, the system
# read-only, the device's folder, a /tmp of its own): its desktop asked for as the device
# asks for it (GetDesktopWindow), then Wine's own reg.exe asked for the same value. The device's own sandbox takes its options through a descriptor, so the
# floor's is made here.
template=$(ls -td "${CEDEV_CACHE:-$(dirname "$(readlink -f "$cedev")")/../cache}"/prefix-*/ | head -n 1)
floor_sandbox() { # DEVICE
    local d
    argv=()
    # As the device's own processes run: an unprivileged uid (the device folder's owner).
    [ "$(id -u)" != 0 ] || argv+=(setpriv --reuid="$(stat -c %u "$1")" --regid="$(stat -c %g "$1")" --clear-groups)
    argv+=(bwrap --unshare-user --disable-userns --unshare-ipc --unshare-pid --unshare-net --unshare-uts
        --unshare-cgroup-try --uid 1000 --gid 1000 --hostname handheld --ro-bind /usr /usr)
    for d in bin sbin lib lib32 lib64 libx32; do
        if [ -L "/$d" ]; then argv+=(--symlink "$(readlink "/$d")" "/$d"); elif [ -d "/$d" ]; then argv+=(--ro-bind "/$d" "/$d"); fi
    done
    for d in /etc/fonts /etc/ld.so.cache /etc/localtime /etc/alternatives /var/cache/fontconfig /etc/passwd /etc/group; do
        [ -e "$d" ] && argv+=(--ro-bind "$d" "$d")
    done
    argv+=(--proc /proc --dev /dev --tmpfs /tmp --bind "$1" /device --tmpfs /device/.cedev --chdir /device/drive_c)
}
bare_start='Xvfb :0 -screen 0 240x320x24 -nolisten tcp -noreset >/dev/null 2>&1 &
until [ -e /tmp/.X11-unix/X0 ]; do sleep 0.01; done
/usr/bin/env DISPLAY=:0 "$@" rundll32 user32.dll,GetDesktopWindow &&
/usr/bin/env DISPLAY=:0 "$@" reg query "HKLM\\Comm" /v BootCount >/dev/null && date +%s%N'
creation=() copy=() first=() floor=()
for run in $(seq "$CREATION_RUNS"); do
    rm -rf "$CEDEV_DEVICE.new" "$CEDEV_DEVICE.copy"
    creation+=("$(elapsed "$cedev" --device "$CEDEV_DEVICE.new" init)")
    copy+=("$(elapsed sh -c 'mkdir "$2" && tar -C "$1" --exclude=./drive_c/windows/system32 --exclude=./drive_c/windows/winsxs \
        -cf - . | tar -C "$2" -xf - && cp -al "$1/drive_c/windows/system32" "$1/drive_c/windows/winsxs" "$2/drive_c/windows/"' \
        sh "$template" "$CEDEV_DEVICE.copy")")
    first+=("$(elapsed "$cedev" --device "$CEDEV_DEVICE.new" reg query 'HKLM\Comm' BootCount)")
    "$cedev" --device "$CEDEV_DEVICE.new" stop
    floor_sandbox "$CEDEV_DEVICE.new"
    # Timed until reg.exe has answered; its server and display end with the sandbox.
    start=$(date +%s%N)
    setsid "${argv[@]}" --die-with-parent --clearenv --setenv HOME /tmp --setenv PATH /usr/bin:/bin -- \
        /bin/sh -c "$bare_start" sh WINEPREFIX=/device WINEARCH=win64 WINEDEBUG=-all \
        'WINEDLLOVERRIDES=mscoree,mshtml=;winedbg.exe=d' setarch "$(uname -m)" -R /usr/lib/wine/wine64 \
        </dev/null >"$tmp/floor" &
    floor_pid=$!
    wait "$floor_pid" && end=$(cat "$tmp/floor") && [ -n "$end" ] ||
        { echo "Wine did not start bare in the device's sandbox" >&2; exit 1; }
    floor+=($(((end - start) / 1000000)))
    floor_pid=
done
rm -rf "$CEDEV_DEVICE.new" "$CEDEV_DEVICE.copy"
creation=$(stats "${creation[@]}") copy=$(stats "${copy[@]}")
record "device creation" "$(ms "$creation") for cedev init, $(ms "$copy") to copy the template as it does: $(awk \
    -v a="${creation%% *}" -v b="${copy%% *}" 'BEGIN { printf "%.1f", a / b }') x that"
judge "first start" "$(stats "${first[@]}")" "bare Wine start" "$(stats "${floor[@]}")" 1.5

{
    echo "# make bench, $(date '+%F %T')"
    echo
    echo "$(nproc) processors, load average $(cut -d' ' -f1-3 /proc/loadavg) at the end. Each time is the median of"
    echo "its runs, with the middle half of them in brackets; the verdict is the ratio of the figure to its floor."
    echo
    echo "| figure | measured | floor | ratio | bound | verdict |"
    echo "|---|---|---|---|---|---|"
    printf '%s\n' "${table[@]}"
} >"$report"
echo "The table is in $report."
exit $missed
