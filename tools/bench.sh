#!/usr/bin/env bash
# make bench: size, start-up, flush, cold boot and tap-to-box figures of RegSave on a
# fresh simulated handheld, each against its target. Exits 1 when a figure misses it.
set -euo pipefail
build=${1:-build}
cedev=$build/bin/cedev
export CEDEV_DEVICE=$build/bench-device
unset DISPLAY
trap '"$cedev" stop >/dev/null 2>&1 || true; rm -rf "$CEDEV_DEVICE"' EXIT

"$cedev" init --force >/dev/null
missed=0
check() { # WHAT VALUE LIMIT UNIT
    if awk -v v="$2" -v l="$3" 'BEGIN { exit !(v <= l) }'; then
        printf '  %-34s %10s %-3s (target <= %s)  ok\n' "$1" "$2" "$4" "$3"
    else
        printf '  %-34s %10s %-3s (target <= %s)  MISSED\n' "$1" "$2" "$4" "$3"
        missed=1
    fi
}
median() { sed -n "s/^$1 *median *\([0-9.]*\) ms.*/\1/p"; }

elapsed() { # COMMAND...: its wall-clock time in ms
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null || return
    end=$(date +%s%N)
    echo $(((end - start) / 1000000))
}
middle() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }

echo "Size"
check "RegSave.exe" "$(stat -c %s "$build/bin/RegSave.exe")" 16384 bytes
echo "COREDLL.dll: $(stat -c %s "$build/bin/COREDLL.dll") bytes"

echo "Flush of the whole registry (fresh device)"
"$cedev" put "$build/bin/RegSave.exe" '\Program Files' >/dev/null
flush=$("$cedev" run "$build/bench-bin/bench.exe" flush 10)
echo "$flush" | sed 's/^/    /'
check "flush, median" "$(echo "$flush" | median flush)" 250 ms
check "flush / plain write" "$(echo "$flush" | sed -n 's/^ratio *\([0-9.]*\).*/\1/p')" 3 ""

echo "Cold boot: cedev reset of the stopped device, with the whole registry saved and with none"
# The flushes above left the whole registry in \Flash Disk\registry.dat. Resets with and
# without it alternate, so that both meet the same machine.
hive="$CEDEV_DEVICE/drive_c/Flash Disk/registry.dat"
echo "    $("$cedev" hive)"
"$cedev" stop
saved=() none=()
for run in $(seq 11); do
    saved+=("$(elapsed "$cedev" reset)")
    mv "$hive" "$hive.aside"
    none+=("$(elapsed "$cedev" reset)")
    mv "$hive.aside" "$hive"
done
echo "    saved registry: median $(middle "${saved[@]}") ms   (runs: ${saved[*]})"
echo "    none:           median $(middle "${none[@]}") ms   (runs: ${none[*]})"
check "reset with saved registry, median" "$(middle "${saved[@]}")" 500 ms
check "reset saved / reset with none" "$(awk -v a="$(middle "${saved[@]}")" -v b="$(middle "${none[@]}")" \
    'BEGIN { printf "%.2f", a / b }')" 1.5 ""
# For the record: a running device's processes end with its sandbox, at once.
"$cedev" reg query 'HKLM\Comm' >/dev/null
echo "    reset of the running device: $(elapsed "$cedev" reset) ms"

echo "Device creation (cedev init of a new device from the template) and its first start"
creation=() first=()
for run in $(seq 5); do
    rm -rf "$CEDEV_DEVICE.new"
    creation+=("$(elapsed "$cedev" --device "$CEDEV_DEVICE.new" init)")
    first+=("$(elapsed "$cedev" --device "$CEDEV_DEVICE.new" reg query 'HKLM\Comm' BootCount)")
    "$cedev" --device "$CEDEV_DEVICE.new" stop
done
rm -rf "$CEDEV_DEVICE.new"
echo "    first start and one registry query: median $(middle "${first[@]}") ms   (runs: ${first[*]})"
check "device creation, median" "$(middle "${creation[@]}")" 1000 ms

echo "Start-up: program start to main window on screen"
startup=$("$cedev" run "$build/bench-bin/bench.exe" startup 10)
echo "$startup" | sed 's/^/    /'
check "start-up, median" "$(echo "$startup" | median startup)" 1000 ms

echo "Tap on Save to the box on screen (fresh device)"
"$cedev" init --force >/dev/null
"$cedev" put "$build/bin/RegSave.exe" '\Program Files' >/dev/null
tap=$("$cedev" run "$build/bench-bin/bench.exe" tap 5)
echo "$tap" | sed 's/^/    /'
check "tap to box, median" "$(echo "$tap" | median tap-to-box)" 400 ms
exit $missed
