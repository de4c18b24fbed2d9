#!/usr/bin/env bash
# The ARM runner turns what would crash the handheld into one clear line and a
# nonzero exit, within seconds: an instruction the ARMv4T CPU lacks, a misaligned
# access of any form, memory the program was not given (read, jumped to, passed to the
# core library whole or in part, or run out of as stack, with the message being
# handled named), a jump between ARM and Thumb code not made by BX, a format or
# message whose pointers the runner cannot vouch for, an import it does not answer, a
# program for another CPU, and an image whose headers, imports or relocations would
# take the loader outside it. A program that ends well ends with its own exit code,
# and what it gets from the core library is what the handheld gives.
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
out=$(cedev run "$ARM/faults.exe" 2>&1) || rc=$?
[ $rc = 7 ] || fail "faults.exe asked for no fault ended with $rc, expected 7: $out"

step "what the program gets is in the handheld's layout and comes back: structures, messages, nested dialogs, Thumb code"
rc=0
out=$(cedev run "$ARM/api.exe" one "two three" 2>&1) || rc=$?
[ $rc = 0 ] || [ -z "$out" ] || fail "tests/ce-arm/api.cpp ended with $rc: $out"
[ $rc -lt 100 ] || fail "step $((rc - 100)) of the Thumb checks of tests/ce-arm/api.cpp failed on the ARM runner"
[ $rc = 0 ] || fail "check $rc of tests/ce-arm/api.cpp failed on the ARM runner"

step "those checks call every function the runner answers, each through its import thunk"
# The runner's table is made from the core library's list, so these are its names.
answered=$("$COREEXPORTS" names "$SOURCE_DIR/platform/ce-arm/coredll.exports" | sort -u)
called=$(sed -n 's/^\t\.globl \([A-Za-z_]*\)$/\1/p' "$ARM/obj/api/imports.s" | grep -v '^__imp_' | sort -u)
[ "$(wc -l <<<"$answered")" -gt 40 ] || fail "the functions the runner answers were not found in coredll.exports"
missing=$(comm -23 <(echo "$answered") <(echo "$called") | tr '\n' ' ')
[ -z "$missing" ] || fail "tests/ce-arm/api.cpp does not call $missing"

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
refused slot 'has the import address table slot of [A-Za-z]+ at 0x7fff0000, outside its sections'
refused reloc 'has a base relocation at 0x[0-9a-f]+, outside its image of 0x[0-9a-f]+ bytes'
refused entry 'has its entry point at 0x7fff0000, outside its code'
refused overlap 'has section \.rdata at 0x1000, over section \.text \(up to 0x[0-9a-f]+\)'
refused loop 'imports more than 4096 functions'
refused descriptors 'has more than 64 import descriptors'
refused longname 'has a name longer than 255 characters'

step "the library's name is compared without case, as the handheld's loader does"
rc=0
lower=$(hostile lowercase)
out=$(cedev run "$lower" 2>&1) || rc=$?
rm -f "$lower"
[ $rc = 7 ] || fail "faults.exe importing from coredll.dll ended with $rc, expected 7: $out"

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

step "every buffer handed to the core library is checked against its size, and refused when it runs past the program's memory"
# CASE FUNCTION BYTES: faults.exe passes the last few bytes of its data's memory.
past='was given 0x[0-9a-f]{8}, which is not memory the program was given'
while read -r case fn bytes; do
    expect_fault 4 "^armrun: $fn $past \\($bytes bytes\\)\$" "$ARM/faults.exe" "$case"
done <<'BUFFERS'
size:RegCreateKeyExW RegCreateKeyExW 4
size:RegCreateKeyExW.disposition RegCreateKeyExW 4
size:RegOpenKeyExW RegOpenKeyExW 4
size:RegQueryValueExW RegQueryValueExW 64
size:RegQueryValueExW.size RegQueryValueExW 4
size:RegQueryValueExW.type RegQueryValueExW 4
size:RegSetValueExW RegSetValueExW 64
size:FindFirstFileW FindFirstFileW 560
size:SHGetSpecialFolderPath SHGetSpecialFolderPath 520
size:LoadStringW LoadStringW 128
size:GetMessageW GetMessageW 28
size:TranslateMessage TranslateMessage 28
size:DispatchMessageW DispatchMessageW 28
size:TranslateAcceleratorW TranslateAcceleratorW 28
size:BeginPaint BeginPaint 64
size:EndPaint EndPaint 64
size:GetClientRect GetClientRect 16
size:GetWindowRect GetWindowRect 16
size:RegisterClassW RegisterClassW 40
size:memcpy memcpy 64
size:memcpy.source memcpy 64
size:memset memset 64
size:wsprintfW wsprintfW 16
message:DefWindowProcW.WM_GETTEXT DefWindowProcW 128
message:DefWindowProcW.WM_GETTEXT.count DefWindowProcW 4294967295
BUFFERS
for case in size:DialogBoxIndirectParamW size:DialogBoxIndirectParamW.items; do
    expect_fault 4 '^armrun: DialogBoxIndirectParamW was given a dialog template that runs past the program.s memory, at 0x[0-9a-f]{8}$' \
        "$ARM/faults.exe" "$case"
done
for fn in MessageBoxW wcslen wsprintfW; do
    expect_fault 4 "^armrun: $fn was given a string at 0x[0-9a-f]{8} that runs past the program.s memory\$" \
        "$ARM/faults.exe" "string:$fn"
done

step "the program's own message with a pointer in it is checked, or refused, before the core library reads it"
expect_fault 4 '^armrun: DefWindowProcW was given 0x7ff00000 as a string, which is not memory the program was given$' \
    "$ARM/faults.exe" message:DefWindowProcW.WM_SETTEXT
expect_fault 4 '^armrun: DispatchMessageW was given WM_TIMER \(0x0113\) with a pointer the program made, which this runner does not pass on$' \
    "$ARM/faults.exe" message:DispatchMessageW.WM_TIMER

step "wsprintfW's arguments are read as the core library's formatter reads its format, or refused"
# "% d" and "%*d" are text to the formatter, so the string conversion after them takes
# the first argument: the runner checks that one as the string.
expect_fault 4 '^armrun: wsprintfW was given 0xfffffff0 as a string, which is not memory the program was given$' \
    "$ARM/faults.exe" format:space
expect_fault 4 '^armrun: wsprintfW was given 0x00000005 as a string, which is not memory the program was given$' \
    "$ARM/faults.exe" format:star
expect_fault 4 '^armrun: wsprintfW was given a 64-bit conversion \("%I64"\), which this runner does not pass on$' \
    "$ARM/faults.exe" format:I64
expect_fault 4 '^armrun: wsprintfW was given a pointer conversion \("%p"\), which this runner does not pass on$' \
    "$ARM/faults.exe" format:pointer

step "every 16- and 32-bit access is checked for alignment, in ARM and in Thumb code"
# FORM KIND BYTES: loads, stores, halfword forms, LDM/STM, a swap, and the stack.
while read -r form kind bytes; do
    [ "$bytes" = 4 ] && low='[26ae]' || low='[13579bdf]'
    expect_fault 4 "^armrun: a misaligned $kind of $bytes bytes at 0x[0-9a-f]{7}$low by the instruction at 0x[0-9a-f]{8}\$" \
        "$ARM/faults.exe" "$form"
done <<'FORMS'
arm-ldr read 4
arm-str write 4
arm-ldrh read 2
arm-strh write 2
arm-ldrsh read 2
arm-ldm read 4
arm-stm write 4
arm-swp read 4
arm-push write 4
arm-pop read 4
thumb-ldr read 4
thumb-str write 4
thumb-ldrh read 2
thumb-strh write 2
thumb-ldrsh read 2
thumb-ldm read 4
thumb-stm write 4
thumb-push write 4
thumb-pop read 4
FORMS

step "every jump out of the image and back is made by BX: a callback's return in either state, a call of the core library"
expect_fault 4 '^armrun: the procedure at 0x[0-9a-f]{8} returned without BX \(to Thumb code, in ARM state\) while handling WM_[A-Z]+ \(0x[0-9a-f]{4}\)$' \
    "$ARM/faults.exe" bx:arm-return
expect_fault 4 '^armrun: the procedure at 0x[0-9a-f]{8} returned without BX \(to ARM code, in Thumb state\) while handling WM_[A-Z]+ \(0x[0-9a-f]{4}\)$' \
    "$ARM/faults.exe" bx:thumb-return
expect_fault 4 "^armrun: a call of COREDLL.dll's wcslen not made by BX \\(the core library's code is Thumb; return address 0x[0-9a-f]{8}\\)\$" \
    "$ARM/faults.exe" bx:import

step "an import the runner does not answer, and a CE program for another CPU, are refused at load"
expect_fault 1 '^armrun: .*unknown\.exe imports GetTickCount from COREDLL\.dll, which this runner does not provide$' \
    "$ARM/unknown.exe"
mips=$TEST_DEVICES/$NAME.mips.exe
cp "$ARM/faults.exe" "$mips"
at=$(od -An -tu4 -j60 -N4 "$mips" | tr -d ' ')
printf '\x66\x01' | dd of="$mips" bs=1 seek=$((at + 4)) conv=notrunc status=none
expect_fault 1 'is not an ARM Windows CE program \(machine 0x0166; ARM is 0x01c0 or 0x01c2\)$' "$mips"
rm -f "$mips"
