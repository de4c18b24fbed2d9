#!/bin/sh
# Links the handheld's image: ld.lld with its arguments, every warning an error but
# one. lld 14 warns at every ARMv4T link that it would use BLX, which that CPU lacks,
# to call between ARM and Thumb code; the image is ARM code alone, so no such call is
# made (the image check refuses any BLX).
set -u
LLD=$1
shift
log=$(mktemp) || exit 1
"$LLD" "$@" 2>"$log"
rc=$?
other=$(grep -v -E '^[^ ]*: warning: lld uses blx instruction, no object with architecture supporting feature detected$' "$log")
rm -f "$log"
[ -z "$other" ] || { printf '%s\n' "$other" >&2; [ $rc != 0 ] || rc=1; }
exit $rc
