#!/usr/bin/env bash
# makecab.sh CECAB GCAB DESCRIPTION.inf FILES OUT.cab
# The handheld's install cabinet: cecab writes the setup file and gathers the files
# under their cabinet names, gcab packs them uncompressed in cecab's order (the setup
# file first). Every file gets the same fixed time, and gcab runs in UTC, so two builds
# give the same bytes. The cabinet is written beside OUT and moved into place whole.
set -euo pipefail
cecab=$1 gcab=$2 inf=$3 files=$4 out=$5
stage=$(mktemp -d "${TMPDIR:-/tmp}/makecab.XXXXXX")
trap 'rm -rf "$stage" "$out.new"' EXIT
"$cecab" stage --files "$files" -o "$stage" "$inf" >"$stage/.order"
mapfile -t members <"$stage/.order"
(cd "$stage" && touch -d '2000-01-01 00:00:00 UTC' -- "${members[@]}")
TZ=UTC "$gcab" --create --nopath "$out.new" "${members[@]/#/$stage/}"
mv "$out.new" "$out"
