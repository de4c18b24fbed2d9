#!/usr/bin/env bash
# Creates the device template (a pristine Wine prefix) once, so that the tests that
# run in parallel only clone it.
set -euo pipefail
mkdir -p "$TEST_DEVICES"
dev=$TEST_DEVICES/template-check
"$CEDEV" --device "$dev" init --force >/dev/null
"$CEDEV" --device "$dev" stop
rm -rf "$dev"
