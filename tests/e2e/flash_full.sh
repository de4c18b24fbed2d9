#!/usr/bin/env bash
# Save on a flash disk with no room for the new hive fails and leaves the old one as
# it was; with no flash disk at all, Save fails too.
. "$(dirname "$0")/lib.sh"

FLASH="$CEDEV_DEVICE/drive_c/Flash Disk"
mounted=0
unmount() {
    if [ $mounted = 1 ]; then
        cedev stop >/dev/null 2>&1 || true
        umount "$FLASH" && mounted=0
    fi
}
trap 'unmount; cleanup' EXIT

step "an earlier save leaves a hive"
start_program
tap_and_expect_box Save "Save OK" "$SAVED"
old=$TEST_DEVICES/$NAME.old
cp "$HOST_HIVE" "$old"

step "the flash disk fills up: Save reports failure, the old hive is intact"
# The device sees a mount made while it is off, from its next start.
cedev stop
size=$(stat -c %s "$old")
# Room for the old hive and a little more, not for a second copy beside it; the
# device's own, as the folder it stands for.
owner=$(stat -c %u:%g "$CEDEV_DEVICE")
if ! mount -t tmpfs -o size=$((size + 256 * 1024)),uid=${owner%:*},gid=${owner#*:},mode=755 tmpfs "$FLASH" 2>/dev/null; then
    echo "SKIP: mounting a small tmpfs as the flash disk is not permitted here"
    exit 77
fi
mounted=1
cp "$old" "$HOST_HIVE"
chown "$owner" "$HOST_HIVE"
start_program
tap_and_expect_box Save "Save OK" "$SAVE_FAILED"
cmp -s "$old" "$HOST_HIVE" || fail "the old hive changed"
expect_eq "$(ls "$FLASH")" "registry.dat" "files on the flash disk"
cedev hive >/dev/null

step "Delete still works on the full disk"
start_program
tap_and_expect_box Delete "Delete OK" "$DELETED"
unmount
rm -f "$old"

step "no flash disk at all: Save reports failure"
# cedev keeps the device's own folders; the flash disk goes from the host's side.
cedev stop
rm -r "$FLASH"
start_program
tap_and_expect_box Save "Save OK" "$SAVE_FAILED" save_failed
expect_error "no such file" cedev ls '\Flash Disk'
