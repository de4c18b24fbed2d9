#!/usr/bin/env bash
# A cold boot brings back exactly the registry that was saved: seeded random mixes of
# creations, changes and deletions over every type and kind of name, factory keys
# included, are flushed, cold-booted, and both roots compared key by key with a dump
# taken through the registry API at the flush. Only what cedev-coldboot names as the
# platform's may differ.
. "$(dirname "$0")/lib.sh"

BEFORE=$CEDEV_DEVICE/drive_c/before.txt
AFTER=$CEDEV_DEVICE/drive_c/after.txt

# The lines of two dumps that differ where nothing may: "<" at the flush, ">" after.
# Keys Wine rewrites at every start are left out; where it writes its defaults for
# what is missing, lines may only be added.
differences() {
    { diff "$BEFORE" "$AFTER" || true; } | awk -F'\t' '
        NR == FNR { if ($1 != "link") { kind[++n] = $1; top[n] = tolower($2) } next }
        /^[<>] / {
            key = tolower(substr($1, 3))
            for (i = 1; i <= n; ++i)
                if ((key == top[i] || index(key, top[i] "\\") == 1) && (kind[i] == "start" || /^>/)) next
            print
        }' <("$BIN/cedev-coldboot" platform) -
}

roundtrip() { # SEED OPERATIONS VALUES
    step "seed $1: $2 random changes after $3 added values, a flush, a cold boot"
    cedev init --force >/dev/null
    cedev run "$TEST_BIN/regmix.exe" mix "$1" "$2" "$3" 'C:\before.txt'
    cedev reset >/dev/null
    cedev run "$TEST_BIN/regmix.exe" dump 'C:\after.txt'
    local diffs
    diffs=$(differences)
    [ -z "$diffs" ] || fail "seed $1: after the cold boot the registry is not the one saved (< saved, > after):
$(head -n 8 <<<"$diffs" | cut -c1-300)"
}

# Two parts, each its own entry: random mixes over the factory registry, and one over a
# registry grown by 100000 values (more than a 16-bit count holds).
case ${E2E_PART:-} in
mixes)
    for seed in 1 2 3 4; do
        roundtrip $seed 400 0
    done ;;
bulk) roundtrip 5 200 100000 ;;
*) fail "E2E_PART is '${E2E_PART:-}': name the part to run, mixes or bulk" ;;
esac
