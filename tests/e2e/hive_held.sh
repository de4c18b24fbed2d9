#!/usr/bin/env bash
# A hive that another program holds open without delete sharing cannot be deleted:
# Delete says so, and the file is intact.
. "$(dirname "$0")/lib.sh"

step "a saved hive, held open by another program"
start_program
tap_and_expect_box Save "Save OK" "$SAVED"
copy=$TEST_DEVICES/$NAME.hive
cp "$HOST_HIVE" "$copy"
cedev run --detach "$TEST_BIN/holder.exe" "$HIVE"
cedev run "$TEST_BIN/holder.exe" --held
expect_eq "$(cedev windows)" "" "windows on the screen while the hive is held"

step "Delete reports failure and the hive is intact"
start_program
tap_and_expect_box Delete "Delete OK" "$DELETE_FAILED" delete_failed
cmp -s "$copy" "$HOST_HIVE" || fail "the held hive changed"
rm -f "$copy"

step "once it is let go, Delete removes it"
cedev run "$TEST_BIN/holder.exe" --release
start_program
tap_and_expect_box Delete "Delete OK" "$DELETED"
expect_error "no such file" cedev ls "$HIVE"
