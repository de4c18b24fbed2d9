#!/usr/bin/env bash
# The ARM runner turns what would crash the handheld into one clear line and a
# nonzero exit, within seconds: an instruction the ARMv4T CPU lacks, a misaligned
# access, memory the program was not given (read, jumped to, passed to the core
# library, or run out of as stack, with the message being handled named), an import
# it does not answer, a program for another CPU. A program that ends well ends with
# its own exit code, and what it gets from the core library is what the handheld gives.
. "$(dirname "$0")/lib.sh"

ARM=$TEST_BIN/arm

# Runs a handheld program; it must end with CODE and say one line matching REGEX.
expect_fault() { # CODE REGEX PROGRAM [ARGS...]
    local code=$1 re=$2 out rc=0
    shift 2
    out=$(cedev run "$@" 2>&1 >/dev/null) || rc=$?
    [ "$rc" = "$code" ] || fail "'$*' ended with $rc, expected $code: $out"
    [[ $out =~ $re ]] || fail "'$*' said '$out', expected /$re/"
    [ "$(printf '%s\n' "$out" | grep -c .)" = 1 ] || fail "'$*' did not say one line: $out"
}

step "a program that ends well ends with its own exit code"
rc=0
cedev run "$ARM/faults.exe" || rc=$?
expect_eq "$rc" 7 "exit code"

step "what the program gets is in the handheld's layout and comes back: structures, messages, nested dialogs"
rc=0
cedev run "$ARM/api.exe" one "two three" || rc=$?
[ $rc = 0 ] || fail "check $rc of tests/ce-arm/api.cpp failed on the ARM runner"

step "an instruction the ARMv4T CPU lacks, at the entry point, is named with its address"
expect_fault 4 '^armrun: an instruction the ARMv4T CPU lacks at 0x[0-9a-f]{8} \(0xe16f0f10\)$' "$ARM/undef.exe"

step "each fault of a running program is one line naming what and where"
expect_fault 4 '^armrun: a misaligned read of 4 bytes at 0x[0-9a-f]*[26ae] by the instruction at 0x[0-9a-f]{8}$' \
    "$ARM/faults.exe" misaligned
expect_fault 4 '^armrun: a read of memory the program was not given, at 0x7ff00000, by the instruction at 0x[0-9a-f]{8}$' \
    "$ARM/faults.exe" unmapped
expect_fault 4 '^armrun: a jump to unmapped memory at 0x7ff01000 \(return address 0x[0-9a-f]{8}\)$' \
    "$ARM/faults.exe" jump
expect_fault 4 '^armrun: MessageBoxW was given 0x7ff00002 as a string, which is not memory the program was given$' \
    "$ARM/faults.exe" pointer
expect_fault 4 '^armrun: a write of memory the program was not given, at 0x[0-9a-f]{8}, by the instruction at 0x[0-9a-f]{8}$' \
    "$ARM/faults.exe" stack
expect_fault 4 '^armrun: a read of memory the program was not given, at 0x7ff00000, .* while handling WM_CREATE \(0x0001\)$' \
    "$ARM/faults.exe" message

step "a malformed image is refused at load in one line, within seconds, before anything is written outside it"
# Each is faults.exe made hostile in one way (tests/ce-arm/hostile.py).
hostile() { # KIND
    local img=$TEST_DEVICES/$NAME.$1.exe
    python3 "$SOURCE_DIR/tests/ce-arm/hostile.py" "$1" "$ARM/faults.exe" "$img"
    echo "$img"
}
refused() { # KIND REGEX
    local img start=$SECONDS
    img=$(hostile "$1")
    expect_fault 1 "^armrun: .*$NAME\\.$1\\.exe $2\$" "$img"
    [ $((SECONDS - start)) -le 10 ] || fail "the $1 image took $((SECONDS - start)) s to be refused"
    rm -f "$img"
}
refused headers 'has headers of 0x800000 bytes, which do not fit its image of 0x[0-9a-f]+ bytes'
refused slot 'has the import address table slot of CreateWindowExW at 0x7fff0000, outside its sections'
refused reloc 'has a base relocation at 0x[0-9a-f]+, outside its image of 0x[0-9a-f]+ bytes'
refused entry 'has its entry point at 0x7fff0000, outside its code'
refused overlap 'has section \.rdata at 0x1000, over section \.text \(up to 0x2000\)'
refused loop 'imports more than 4096 functions'
refused descriptors 'has more than 64 import descriptors'
refused longname 'has a name longer than 255 characters'

step "the library's name is compared without case, as the handheld's loader does"
rc=0
cedev run "$(hostile lowercase)" || rc=$?
expect_eq "$rc" 7 "exit code of faults.exe importing from coredll.dll"

step "an import the runner does not answer, and a CE program for another CPU, are refused at load"
expect_fault 1 '^armrun: .*unknown\.exe imports GetTickCount from COREDLL\.dll, which this runner does not provide$' \
    "$ARM/unknown.exe"
mips=$TEST_DEVICES/$NAME.mips.exe
cp "$ARM/faults.exe" "$mips"
at=$(od -An -tu4 -j60 -N4 "$mips" | tr -d ' ')
printf '\x66\x01' | dd of="$mips" bs=1 seek=$((at + 4)) conv=notrunc status=none
expect_fault 1 'is not an ARM Windows CE program \(machine 0x0166; ARM is 0x01c0 or 0x01c2\)$' "$mips"
rm -f "$mips"
