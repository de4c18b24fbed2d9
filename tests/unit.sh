#!/usr/bin/env bash
# Runs the in-process unit tests on a device of their own.
set -euo pipefail
exe=$1
export CEDEV_DEVICE=$TEST_DEVICES/unit
trap '"$CEDEV" stop >/dev/null 2>&1 || true; rm -rf "$CEDEV_DEVICE"' EXIT
"$CEDEV" init --force >/dev/null
"$CEDEV" run "$exe" --gtest_color=no --gtest_repeat=2
